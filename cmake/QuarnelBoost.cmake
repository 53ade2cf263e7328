# Boost.Math (header-only) supplies the incomplete beta function behind the negative-
# binomial distribution functions, and lgamma. A Python build gets Boost from the
# cmeel-boost build requirement, whose CMake package sits under the cmeel.prefix that
# QuarnelEigen.cmake has already put on CMAKE_PREFIX_PATH; a plain CMake build uses the
# system's Boost (Debian: libboost-math-dev). Only the headers are used: nothing of Boost
# is linked.
find_package(Boost 1.74 CONFIG QUIET)
if(NOT TARGET Boost::headers)
  # Debian installs Boost's CMake package under an architecture's library folder, which a
  # cross build (the aarch64 check of tools/run-tests.sh) does not search. The headers are
  # the same for every architecture, so they are used directly, through a folder that
  # holds nothing but them: putting /usr/include itself on the include path would hand the
  # cross compiler the build machine's C library headers.
  find_path(QUARNEL_BOOST_INCLUDE_DIR boost/math/special_functions/beta.hpp)
  if(NOT QUARNEL_BOOST_INCLUDE_DIR)
    message(FATAL_ERROR "Boost.Math's headers are not found: install libboost-math-dev "
                        "(Debian), or build through pip, which brings them in cmeel-boost")
  endif()
  file(STRINGS "${QUARNEL_BOOST_INCLUDE_DIR}/boost/version.hpp" _quarnel_boost_version
       REGEX "^#define BOOST_VERSION [0-9]+")
  string(REGEX REPLACE "^#define BOOST_VERSION ([0-9]+).*" "\\1" _quarnel_boost_version
         "${_quarnel_boost_version}")
  if(_quarnel_boost_version LESS 107400)
    message(FATAL_ERROR "Boost ${_quarnel_boost_version} at ${QUARNEL_BOOST_INCLUDE_DIR} is older than 1.74")
  endif()
  set(_quarnel_boost_only "${CMAKE_BINARY_DIR}/quarnel-boost-headers")
  file(MAKE_DIRECTORY "${_quarnel_boost_only}")
  file(CREATE_LINK "${QUARNEL_BOOST_INCLUDE_DIR}/boost" "${_quarnel_boost_only}/boost" SYMBOLIC)
  add_library(Boost::headers INTERFACE IMPORTED)
  set_target_properties(Boost::headers PROPERTIES INTERFACE_INCLUDE_DIRECTORIES "${_quarnel_boost_only}")
endif()

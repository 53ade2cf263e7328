# Boost.Math (header-only) supplies the incomplete beta function behind the negative-
# binomial distribution functions, and lgamma. A Python build gets Boost from the
# cmeel-boost build requirement, whose CMake package sits under the cmeel.prefix that
# QuarnelEigen.cmake has already put on CMAKE_PREFIX_PATH; a plain CMake build uses the
# system's Boost (Debian: libboost-math-dev). Only the headers are used: nothing of Boost
# is linked.
find_package(Boost 1.74 REQUIRED CONFIG)
if(NOT TARGET Boost::headers)
  message(FATAL_ERROR "the Boost package found at ${Boost_DIR} has no Boost::headers target")
endif()

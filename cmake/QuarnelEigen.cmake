# Eigen 3.4 is header-only. A Python build gets it from the cmeel-eigen build requirement,
# which installs a CMake package under <site-packages>/cmeel.prefix; a plain CMake build
# uses the system's Eigen3 package.
find_package(Python COMPONENTS Interpreter QUIET)
if(Python_EXECUTABLE)
  execute_process(
    COMMAND "${Python_EXECUTABLE}" -c
      "import os, sys; print(';'.join(os.path.join(p, 'cmeel.prefix') for p in sys.path if os.path.isdir(os.path.join(p, 'cmeel.prefix'))))"
    OUTPUT_VARIABLE _quarnel_cmeel_prefixes
    OUTPUT_STRIP_TRAILING_WHITESPACE
    ERROR_QUIET)
  list(APPEND CMAKE_PREFIX_PATH ${_quarnel_cmeel_prefixes})
endif()
find_package(Eigen3 3.4 REQUIRED CONFIG)

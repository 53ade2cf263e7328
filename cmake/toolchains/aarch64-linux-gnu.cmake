# Cross-compiles for 64-bit ARM Linux with Debian's g++-aarch64-linux-gnu. The tests use it
# only to check that the core compiles without the x86 code paths; nothing built with it
# is linked or run, so the checks CMake makes of the compiler stop at static libraries.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
set(CMAKE_TRY_COMPILE_TARGET_TYPE STATIC_LIBRARY)

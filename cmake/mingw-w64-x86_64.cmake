# Cross-building for 64-bit Windows with Debian's mingw-w64 compilers.
# The posix thread model is named explicitly: the win32 one has no std::thread.
# QAR_WINDOWS_PREFIX is where scripts/test-windows.sh installs the static
# libraries (LZO, TinyXML-2, GoogleTest) built for Windows.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)

if(NOT QAR_WINDOWS_PREFIX)
  if(DEFINED ENV{QAR_WINDOWS_PREFIX})
    set(QAR_WINDOWS_PREFIX "$ENV{QAR_WINDOWS_PREFIX}")
  else()
    set(QAR_WINDOWS_PREFIX "${CMAKE_CURRENT_LIST_DIR}/../build-windows/deps/prefix")
  endif()
endif()
get_filename_component(QAR_WINDOWS_PREFIX "${QAR_WINDOWS_PREFIX}" ABSOLUTE)
# Passed on to the test programs' own configure runs.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES QAR_WINDOWS_PREFIX)

set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32 "${QAR_WINDOWS_PREFIX}")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Static executables import nothing beyond the system's own DLLs.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
# Header-only libraries installed into the prefix are found there.
set(CMAKE_C_FLAGS_INIT "-isystem ${QAR_WINDOWS_PREFIX}/include")
set(CMAKE_CXX_FLAGS_INIT "-isystem ${QAR_WINDOWS_PREFIX}/include")

# Test programs, and the test discovery, run under wine (through wine-run.sh,
# which starts a program again when wine failed to start it). Discovery waits
# for ctest, where the wine server is up, rather than running after each link.
set(CMAKE_CROSSCOMPILING_EMULATOR sh "${CMAKE_CURRENT_LIST_DIR}/wine-run.sh")
set(CMAKE_GTEST_DISCOVER_TESTS_DISCOVERY_MODE PRE_TEST)

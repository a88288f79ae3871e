# 64-bit Windows console program from Linux with MinGW-w64 (Debian g++-mingw-w64-x86-64).
# The posix threading flavour of the compiler; the tool is linked -static, so tolvern.exe
# needs only the system DLLs (kernel32, advapi32, msvcrt). Built for the wine tests on machines
# whose kernel runs no 32-bit code (README, Windows).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)
set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

# The same program for 64-bit Windows (Debian g++-mingw-w64-x86-64), for the wine tests on a
# machine whose kernel runs no 32-bit code (README, Windows).
set(mingw_arch x86_64)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)

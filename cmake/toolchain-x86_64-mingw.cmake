# Cross build for 64-bit Windows: a test build of the same sources, for
# machines whose kernel runs no 32-bit programs and so only 64-bit Wine.
set(TRELLICAST_MINGW_PREFIX x86_64-w64-mingw32)
set(TRELLICAST_WIN_ARCH x86_64)
set(CMAKE_SYSTEM_PROCESSOR AMD64)
include(${CMAKE_CURRENT_LIST_DIR}/toolchain-mingw-common.cmake)

# Cross build for 32-bit Windows: the module that ships.
set(TRELLICAST_MINGW_PREFIX i686-w64-mingw32)
set(TRELLICAST_WIN_ARCH i686)
set(CMAKE_SYSTEM_PROCESSOR x86)
include(${CMAKE_CURRENT_LIST_DIR}/toolchain-mingw-common.cmake)

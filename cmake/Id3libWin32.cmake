# id3lib 3.8.3 for the Windows module: Debian's source package compiled by
# cmake/id3lib-win32 for the toolchain's architecture as a static library
# against mingw's static zlib. The result is kept in .cache/id3lib-<arch>/
# (i686, x86_64) and rebuilt only when what it was built from and with
# changes (see CachedBuild.cmake).
#
# Defines the imported target Id3lib::Id3lib.
include(CachedBuild)

set(ID3LIB_WIN32_SRC_CACHE ${PROJECT_SOURCE_DIR}/.cache/id3lib-src CACHE PATH
    "Where apt-get source id3lib3.8.3 unpacks")
set(ID3LIB_WIN32_PREFIX ${PROJECT_SOURCE_DIR}/.cache/id3lib-${TRELLICAST_WIN_ARCH} CACHE PATH
    "Where the built static id3lib for this architecture is kept")

debian_source(ID3LIB_WIN32_SOURCE_DIR id3lib ${ID3LIB_WIN32_SRC_CACHE} id3lib3.8.3 3.8.3)
cached_build(Id3lib::Id3lib DESCRIPTION "id3lib for ${TRELLICAST_WIN_ARCH}"
  PREFIX ${ID3LIB_WIN32_PREFIX} LIBRARY lib/libid3.a
  SOURCE_DIR ${PROJECT_SOURCE_DIR}/cmake/id3lib-win32
  STAMP_FILES ${ID3LIB_WIN32_SOURCE_DIR_DSC} ${CMAKE_CURRENT_LIST_FILE}
              ${PROJECT_SOURCE_DIR}/cmake/id3lib-win32/CMakeLists.txt
              ${PROJECT_SOURCE_DIR}/cmake/Id3libConfig.cmake
  CMAKE_ARGS -DCMAKE_TOOLCHAIN_FILE=${CMAKE_TOOLCHAIN_FILE} -DCMAKE_BUILD_TYPE=Release
             -DID3LIB_SOURCE_DIR=${ID3LIB_WIN32_SOURCE_DIR})
set_target_properties(Id3lib::Id3lib PROPERTIES
  # Static linking, both for building the library and for using it.
  INTERFACE_COMPILE_DEFINITIONS "ID3LIB_LINKOPTION=1"
  INTERFACE_LINK_LIBRARIES ${TRELLICAST_MINGW_ZLIB})

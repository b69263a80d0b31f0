# TagLib 1.13 for the Windows module: Debian's source package compiled with
# TagLib's own CMake project for the toolchain's architecture as a static
# library against mingw's static zlib. The result is kept in
# .cache/taglib-<arch>/ (i686, x86_64) and rebuilt only when what it was
# built from and with changes (see CachedBuild.cmake).
#
# Defines the imported target TagLib::TagLib.
include(CachedBuild)

set(TAGLIB_WIN32_SRC_CACHE ${PROJECT_SOURCE_DIR}/.cache/taglib-src CACHE PATH
    "Where apt-get source taglib unpacks")
set(TAGLIB_WIN32_PREFIX ${PROJECT_SOURCE_DIR}/.cache/taglib-${TRELLICAST_WIN_ARCH} CACHE PATH
    "Where the built static TagLib for this architecture is kept")

debian_source(TAGLIB_WIN32_SOURCE_DIR TagLib ${TAGLIB_WIN32_SRC_CACHE} taglib 1.13)
# Debian's patches expect the system's utf8-cpp headers as <utf8/...>; the
# copy TagLib bundles (3rdparty/utf8-cpp) is offered under that name.
file(COPY ${TAGLIB_WIN32_SOURCE_DIR}/3rdparty/utf8-cpp/
     DESTINATION ${CMAKE_BINARY_DIR}/taglib-utf8/utf8)
# Static, no bindings, tests or examples, zlib by the path of its static
# library (a plain look-up finds the import library of zlib1.dll, which the
# module must not depend on).
cached_build(TagLib::TagLib DESCRIPTION "TagLib for ${TRELLICAST_WIN_ARCH}"
  PREFIX ${TAGLIB_WIN32_PREFIX} LIBRARY lib/libtag.a SOURCE_DIR ${TAGLIB_WIN32_SOURCE_DIR}
  STAMP_FILES ${TAGLIB_WIN32_SOURCE_DIR_DSC} ${CMAKE_CURRENT_LIST_FILE}
  CMAKE_ARGS -DCMAKE_TOOLCHAIN_FILE=${CMAKE_TOOLCHAIN_FILE} -DCMAKE_BUILD_TYPE=Release
             "-DCMAKE_CXX_FLAGS=-I${CMAKE_BINARY_DIR}/taglib-utf8 -w"
             -DBUILD_SHARED_LIBS=OFF -DBUILD_BINDINGS=OFF -DBUILD_TESTING=OFF
             -DBUILD_EXAMPLES=OFF -DWITH_ZLIB=ON -DZLIB_LIBRARY=${TRELLICAST_MINGW_ZLIB}
             -DZLIB_INCLUDE_DIR=/usr/${TRELLICAST_MINGW_PREFIX}/include)
set_target_properties(TagLib::TagLib PROPERTIES
  # Without it TagLib's headers declare their symbols as DLL imports.
  INTERFACE_COMPILE_DEFINITIONS TAGLIB_STATIC
  INTERFACE_LINK_LIBRARIES ${TRELLICAST_MINGW_ZLIB})

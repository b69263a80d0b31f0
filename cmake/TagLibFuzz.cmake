# TagLib for the fuzz build: Debian's TagLib 1.13 source (.cache/taglib-src,
# fetched by scripts/fuzz or the Windows build) compiled with the fuzz
# build's compiler, coverage and AddressSanitizer, so that libFuzzer sees
# inside it and faults in it are caught. Kept in the build tree and rebuilt
# only when what it was built from and with changes (see CachedBuild.cmake).
#
# Defines the imported target TagLib::TagLib.
include(CachedBuild)

set(_taglib_src_cache ${PROJECT_SOURCE_DIR}/.cache/taglib-src)
file(GLOB _taglib_source LIST_DIRECTORIES true ${_taglib_src_cache}/taglib-1.13*)
if(NOT _taglib_source)
  message(FATAL_ERROR "TagLib source not found in .cache/taglib-src: scripts/fuzz fetches it")
endif()
list(GET _taglib_source 0 _taglib_source)
file(GLOB _taglib_dsc ${_taglib_src_cache}/taglib_1.13*.dsc)
# Debian's patches expect utf8-cpp as <utf8/...>; TagLib bundles a copy.
file(COPY ${_taglib_source}/3rdparty/utf8-cpp/ DESTINATION ${CMAKE_BINARY_DIR}/taglib-utf8/utf8)

set(_flags "-I${CMAKE_BINARY_DIR}/taglib-utf8 -w -O1 -g -fno-omit-frame-pointer -fsanitize=address -fsanitize=fuzzer-no-link")
cached_build(TagLib::TagLib DESCRIPTION "the instrumented TagLib"
  PREFIX ${CMAKE_BINARY_DIR}/taglib-fuzz LIBRARY lib/libtag.a SOURCE_DIR ${_taglib_source}
  STAMP_FILES ${_taglib_dsc} ${CMAKE_CURRENT_LIST_FILE}
  CMAKE_ARGS -DCMAKE_C_COMPILER=${CMAKE_C_COMPILER} -DCMAKE_CXX_COMPILER=${CMAKE_CXX_COMPILER}
             -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_FLAGS=${_flags}
             -DCMAKE_POSITION_INDEPENDENT_CODE=ON -DBUILD_SHARED_LIBS=OFF -DBUILD_BINDINGS=OFF
             -DBUILD_TESTING=OFF -DBUILD_EXAMPLES=OFF -DWITH_ZLIB=ON)
find_package(ZLIB REQUIRED)
set_target_properties(TagLib::TagLib PROPERTIES INTERFACE_LINK_LIBRARIES ZLIB::ZLIB)

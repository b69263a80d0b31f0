# TagLib for the fuzz build: Debian's TagLib 1.13 source (.cache/taglib-src,
# fetched by scripts/fuzz or the Windows build) compiled with the fuzz
# build's compiler, coverage and AddressSanitizer, so that libFuzzer sees
# inside it and faults in it are caught. Built once per build tree.
#
# Defines the imported target TagLib::TagLib.

file(GLOB _taglib_src_dirs LIST_DIRECTORIES true
     ${PROJECT_SOURCE_DIR}/.cache/taglib-src/taglib-1.13*)
if(NOT _taglib_src_dirs)
  message(FATAL_ERROR "TagLib source not found in .cache/taglib-src: scripts/fuzz fetches it")
endif()
list(GET _taglib_src_dirs 0 _taglib_source)
set(_prefix ${CMAKE_BINARY_DIR}/taglib-fuzz)
set(_lib ${_prefix}/lib/libtag.a)

if(NOT EXISTS ${_lib})
  message(STATUS "Building an instrumented TagLib into ${_prefix}")
  # Debian's patches expect utf8-cpp as <utf8/...>; TagLib bundles a copy.
  file(COPY ${_taglib_source}/3rdparty/utf8-cpp/ DESTINATION ${_prefix}/build-include/utf8)
  set(_flags "-I${_prefix}/build-include -w -O1 -g -fno-omit-frame-pointer -fsanitize=address -fsanitize=fuzzer-no-link")
  execute_process(
    COMMAND ${CMAKE_COMMAND} -S ${_taglib_source} -B ${_prefix}/build
            -DCMAKE_C_COMPILER=${CMAKE_C_COMPILER} -DCMAKE_CXX_COMPILER=${CMAKE_CXX_COMPILER}
            -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_INSTALL_PREFIX=${_prefix}
            -DCMAKE_CXX_FLAGS=${_flags} -DCMAKE_POSITION_INDEPENDENT_CODE=ON
            -DBUILD_SHARED_LIBS=OFF -DBUILD_BINDINGS=OFF -DBUILD_TESTING=OFF
            -DBUILD_EXAMPLES=OFF -DWITH_ZLIB=ON
    RESULT_VARIABLE _rc OUTPUT_QUIET)
  if(_rc EQUAL 0)
    execute_process(COMMAND ${CMAKE_COMMAND} --build ${_prefix}/build -j2
                    RESULT_VARIABLE _rc OUTPUT_QUIET)
  endif()
  if(_rc EQUAL 0)
    execute_process(COMMAND ${CMAKE_COMMAND} --install ${_prefix}/build
                    RESULT_VARIABLE _rc OUTPUT_QUIET)
  endif()
  if(NOT _rc EQUAL 0 OR NOT EXISTS ${_lib})
    message(FATAL_ERROR "the instrumented TagLib did not build")
  endif()
endif()

find_package(ZLIB REQUIRED)
add_library(TagLib::TagLib STATIC IMPORTED GLOBAL)
set_target_properties(TagLib::TagLib PROPERTIES
  IMPORTED_LOCATION ${_lib}
  INTERFACE_INCLUDE_DIRECTORIES ${_prefix}/include
  INTERFACE_LINK_LIBRARIES ZLIB::ZLIB)

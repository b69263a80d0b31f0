# TagLib 1.13 for the Windows module: Debian's source package (with Debian's
# patches applied by apt-get source), compiled with TagLib's own CMake project
# for the toolchain's architecture as a static library against mingw's static
# zlib. The result is kept in .cache/taglib-<arch>/ (i686, x86_64) so a fresh
# build tree does not compile it again; a stamp records what it was built
# from and with.
#
# Debian's patches expect the system's utf8-cpp headers as <utf8/...>; the
# copy TagLib bundles (3rdparty/utf8-cpp) is offered under that name.
#
# Defines the imported target TagLib::TagLib.

set(TAGLIB_WIN32_SRC_CACHE ${PROJECT_SOURCE_DIR}/.cache/taglib-src CACHE PATH
    "Where apt-get source taglib unpacks")
set(TAGLIB_WIN32_PREFIX ${PROJECT_SOURCE_DIR}/.cache/taglib-${TRELLICAST_WIN_ARCH} CACHE PATH
    "Where the built static TagLib for this architecture is kept")
set(TAGLIB_WIN32_ZLIB /usr/${TRELLICAST_MINGW_PREFIX}/lib/libz.a)

if(NOT EXISTS ${TAGLIB_WIN32_ZLIB})
  message(FATAL_ERROR "mingw zlib not found at ${TAGLIB_WIN32_ZLIB}: run scripts/setup --win32")
endif()

file(GLOB _taglib_src_dirs LIST_DIRECTORIES true ${TAGLIB_WIN32_SRC_CACHE}/taglib-1.13*)
if(NOT _taglib_src_dirs)
  message(STATUS "Fetching TagLib's Debian source package into ${TAGLIB_WIN32_SRC_CACHE}")
  file(MAKE_DIRECTORY ${TAGLIB_WIN32_SRC_CACHE})
  execute_process(COMMAND apt-get source taglib
                  WORKING_DIRECTORY ${TAGLIB_WIN32_SRC_CACHE}
                  RESULT_VARIABLE _rc OUTPUT_QUIET)
  file(GLOB _taglib_src_dirs LIST_DIRECTORIES true ${TAGLIB_WIN32_SRC_CACHE}/taglib-1.13*)
  if(NOT _rc EQUAL 0 OR NOT _taglib_src_dirs)
    message(FATAL_ERROR "apt-get source taglib failed; scripts/setup --win32 adds the "
                        "deb-src lines it needs")
  endif()
endif()
list(GET _taglib_src_dirs 0 TAGLIB_WIN32_SOURCE_DIR)
# The source package's description by its contents, not its path, so that
# every checkout sharing the cache agrees on the stamp.
file(GLOB _taglib_dsc_files ${TAGLIB_WIN32_SRC_CACHE}/taglib_1.13*.dsc)
set(_taglib_dsc "")
foreach(_f ${_taglib_dsc_files})
  file(SHA256 ${_f} _sum)
  string(APPEND _taglib_dsc "${_sum}\n")
endforeach()

# How TagLib is configured: static, no bindings, tests or examples, zlib by
# the path of its static library (a plain look-up finds the import library
# of zlib1.dll, which the module must not depend on).
set(_taglib_options
    -DBUILD_SHARED_LIBS=OFF -DBUILD_BINDINGS=OFF -DBUILD_TESTING=OFF -DBUILD_EXAMPLES=OFF
    -DWITH_ZLIB=ON -DZLIB_LIBRARY=${TAGLIB_WIN32_ZLIB}
    -DZLIB_INCLUDE_DIR=/usr/${TRELLICAST_MINGW_PREFIX}/include)

execute_process(COMMAND ${CMAKE_CXX_COMPILER} --version OUTPUT_VARIABLE _cxx_version)
file(READ ${CMAKE_CURRENT_LIST_FILE} _recipe)
# Paths differ between checkouts; the recipe is compared without them.
string(REPLACE "${PROJECT_SOURCE_DIR}" "" _recipe "${_recipe}")
string(SHA256 _stamp "${_taglib_dsc}\n${_recipe}\n${_cxx_version}\n${TRELLICAST_MINGW_PREFIX}")
set(_stamp_file ${TAGLIB_WIN32_PREFIX}/stamp)
set(_lib ${TAGLIB_WIN32_PREFIX}/lib/libtag.a)
set(_have "")
if(EXISTS ${_stamp_file})
  file(READ ${_stamp_file} _have)
endif()

if(NOT EXISTS ${_lib} OR NOT _have STREQUAL _stamp)
  message(STATUS "Building TagLib for ${TRELLICAST_WIN_ARCH} into ${TAGLIB_WIN32_PREFIX}")
  file(REMOVE_RECURSE ${TAGLIB_WIN32_PREFIX})
  set(_utf8 ${TAGLIB_WIN32_PREFIX}/build-include)
  file(COPY ${TAGLIB_WIN32_SOURCE_DIR}/3rdparty/utf8-cpp/ DESTINATION ${_utf8}/utf8)
  execute_process(
    COMMAND ${CMAKE_COMMAND} -S ${TAGLIB_WIN32_SOURCE_DIR} -B ${TAGLIB_WIN32_PREFIX}/build
            -DCMAKE_TOOLCHAIN_FILE=${CMAKE_TOOLCHAIN_FILE}
            -DCMAKE_BUILD_TYPE=Release
            -DCMAKE_INSTALL_PREFIX=${TAGLIB_WIN32_PREFIX}
            "-DCMAKE_CXX_FLAGS=-I${_utf8} -w"
            ${_taglib_options}
    RESULT_VARIABLE _rc OUTPUT_QUIET)
  if(_rc EQUAL 0)
    execute_process(COMMAND ${CMAKE_COMMAND} --build ${TAGLIB_WIN32_PREFIX}/build -j2
                    RESULT_VARIABLE _rc OUTPUT_QUIET)
  endif()
  if(_rc EQUAL 0)
    execute_process(COMMAND ${CMAKE_COMMAND} --install ${TAGLIB_WIN32_PREFIX}/build
                    RESULT_VARIABLE _rc OUTPUT_QUIET)
  endif()
  if(NOT _rc EQUAL 0 OR NOT EXISTS ${_lib})
    message(FATAL_ERROR "TagLib for ${TRELLICAST_WIN_ARCH} did not build")
  endif()
  file(REMOVE_RECURSE ${TAGLIB_WIN32_PREFIX}/build ${_utf8})
  file(WRITE ${_stamp_file} "${_stamp}")
endif()

add_library(TagLib::TagLib STATIC IMPORTED GLOBAL)
set_target_properties(TagLib::TagLib PROPERTIES
  IMPORTED_LOCATION ${_lib}
  INTERFACE_INCLUDE_DIRECTORIES ${TAGLIB_WIN32_PREFIX}/include
  # Without it TagLib's headers declare their symbols as DLL imports.
  INTERFACE_COMPILE_DEFINITIONS TAGLIB_STATIC
  INTERFACE_LINK_LIBRARIES ${TAGLIB_WIN32_ZLIB})

# id3lib 3.8.3 for the Windows module: Debian's source package (with
# Debian's patches applied by apt-get source), compiled for the toolchain's
# architecture as a static library against mingw's static zlib. The result is
# kept in .cache/id3lib-<arch>/ (i686, x86_64) so a fresh build tree does not
# compile it again; a stamp records what it was built from and with.
#
# Defines the imported target Id3lib::Id3lib.

set(ID3LIB_WIN32_SRC_CACHE ${PROJECT_SOURCE_DIR}/.cache/id3lib-src CACHE PATH
    "Where apt-get source id3lib3.8.3 unpacks")
set(ID3LIB_WIN32_PREFIX ${PROJECT_SOURCE_DIR}/.cache/id3lib-${TRELLICAST_WIN_ARCH} CACHE PATH
    "Where the built static id3lib for this architecture is kept")
set(ID3LIB_WIN32_ZLIB /usr/${TRELLICAST_MINGW_PREFIX}/lib/libz.a)

if(NOT EXISTS ${ID3LIB_WIN32_ZLIB})
  message(FATAL_ERROR "mingw zlib not found at ${ID3LIB_WIN32_ZLIB}: run scripts/setup --win32")
endif()

file(GLOB _id3_src_dirs LIST_DIRECTORIES true ${ID3LIB_WIN32_SRC_CACHE}/id3lib3.8.3-*)
if(NOT _id3_src_dirs)
  message(STATUS "Fetching id3lib's Debian source package into ${ID3LIB_WIN32_SRC_CACHE}")
  file(MAKE_DIRECTORY ${ID3LIB_WIN32_SRC_CACHE})
  execute_process(COMMAND apt-get source id3lib3.8.3
                  WORKING_DIRECTORY ${ID3LIB_WIN32_SRC_CACHE}
                  RESULT_VARIABLE _rc OUTPUT_QUIET)
  file(GLOB _id3_src_dirs LIST_DIRECTORIES true ${ID3LIB_WIN32_SRC_CACHE}/id3lib3.8.3-*)
  if(NOT _rc EQUAL 0 OR NOT _id3_src_dirs)
    message(FATAL_ERROR "apt-get source id3lib3.8.3 failed; scripts/setup --win32 adds the "
                        "deb-src lines it needs")
  endif()
endif()
list(GET _id3_src_dirs 0 ID3LIB_WIN32_SOURCE_DIR)
file(GLOB _id3_dsc_files ${ID3LIB_WIN32_SRC_CACHE}/id3lib3.8.3_*.dsc)
# The source package by its description's contents, not its path: a
# checkout in another folder can reuse a cache built from the same source.
set(_id3_dsc "")
foreach(_f ${_id3_dsc_files})
  file(SHA256 ${_f} _sum)
  string(APPEND _id3_dsc "${_sum}\n")
endforeach()

# Everything the cached library depends on goes into the stamp.
file(READ ${PROJECT_SOURCE_DIR}/cmake/id3lib-win32/CMakeLists.txt _recipe)
file(READ ${PROJECT_SOURCE_DIR}/cmake/Id3libConfig.cmake _config_recipe)
execute_process(COMMAND ${CMAKE_CXX_COMPILER} --version OUTPUT_VARIABLE _cxx_version)
string(SHA256 _stamp
       "${_id3_dsc}\n${_recipe}\n${_config_recipe}\n${_cxx_version}\n${TRELLICAST_MINGW_PREFIX}")
set(_stamp_file ${ID3LIB_WIN32_PREFIX}/stamp)
set(_lib ${ID3LIB_WIN32_PREFIX}/lib/libid3.a)
set(_have "")
if(EXISTS ${_stamp_file})
  file(READ ${_stamp_file} _have)
endif()

if(NOT EXISTS ${_lib} OR NOT _have STREQUAL _stamp)
  message(STATUS "Building id3lib for ${TRELLICAST_WIN_ARCH} into ${ID3LIB_WIN32_PREFIX}")
  file(REMOVE_RECURSE ${ID3LIB_WIN32_PREFIX})
  execute_process(
    COMMAND ${CMAKE_COMMAND} -S ${PROJECT_SOURCE_DIR}/cmake/id3lib-win32
            -B ${ID3LIB_WIN32_PREFIX}/build
            -DCMAKE_TOOLCHAIN_FILE=${CMAKE_TOOLCHAIN_FILE}
            -DCMAKE_BUILD_TYPE=Release
            -DCMAKE_INSTALL_PREFIX=${ID3LIB_WIN32_PREFIX}
            -DID3LIB_SOURCE_DIR=${ID3LIB_WIN32_SOURCE_DIR}
    RESULT_VARIABLE _rc)
  if(_rc EQUAL 0)
    execute_process(COMMAND ${CMAKE_COMMAND} --build ${ID3LIB_WIN32_PREFIX}/build -j2
                    RESULT_VARIABLE _rc)
  endif()
  if(_rc EQUAL 0)
    execute_process(COMMAND ${CMAKE_COMMAND} --install ${ID3LIB_WIN32_PREFIX}/build
                    RESULT_VARIABLE _rc OUTPUT_QUIET)
  endif()
  if(NOT _rc EQUAL 0 OR NOT EXISTS ${_lib})
    message(FATAL_ERROR "id3lib for ${TRELLICAST_WIN_ARCH} did not build")
  endif()
  file(REMOVE_RECURSE ${ID3LIB_WIN32_PREFIX}/build)
  file(WRITE ${_stamp_file} "${_stamp}")
endif()

add_library(Id3lib::Id3lib STATIC IMPORTED GLOBAL)
set_target_properties(Id3lib::Id3lib PROPERTIES
  IMPORTED_LOCATION ${_lib}
  INTERFACE_INCLUDE_DIRECTORIES ${ID3LIB_WIN32_PREFIX}/include
  # Static linking, both for building the library and for using it.
  INTERFACE_COMPILE_DEFINITIONS "ID3LIB_LINKOPTION=1"
  # The static zlib by full path: -lz would pick the import library of
  # zlib1.dll.
  INTERFACE_LINK_LIBRARIES ${ID3LIB_WIN32_ZLIB})

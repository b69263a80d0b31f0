# Third-party libraries compiled here from Debian's source packages and kept
# in a folder of their own, so that a fresh build tree does not compile them
# again.

# debian_source(<var> <name> <folder> <package> <version>)
#
# Sets <var> to the unpacked source of Debian's source package <package>
# (upstream version <version>, in <folder>/<package>-<version>...) and
# <var>_DSC to its description file. When the source is absent it is fetched
# into <folder> with apt-get source, which applies Debian's patches. <name>
# names the library in messages.
function(debian_source var name folder package version)
  file(GLOB dirs LIST_DIRECTORIES true ${folder}/${package}-${version}*)
  if(NOT dirs)
    message(STATUS "Fetching ${name}'s Debian source package into ${folder}")
    file(MAKE_DIRECTORY ${folder})
    execute_process(COMMAND apt-get source ${package} WORKING_DIRECTORY ${folder}
                    RESULT_VARIABLE rc OUTPUT_QUIET)
    file(GLOB dirs LIST_DIRECTORIES true ${folder}/${package}-${version}*)
    if(NOT rc EQUAL 0 OR NOT dirs)
      message(FATAL_ERROR "apt-get source ${package} failed; scripts/setup --win32 adds the "
                          "deb-src lines it needs")
    endif()
  endif()
  list(GET dirs 0 dir)
  file(GLOB dsc ${folder}/${package}_${version}*.dsc)
  set(${var} ${dir} PARENT_SCOPE)
  set(${var}_DSC ${dsc} PARENT_SCOPE)
endfunction()

# cached_build(<target> DESCRIPTION <what> PREFIX <folder> LIBRARY <file>
#              SOURCE_DIR <folder> STAMP_FILES <file>... CMAKE_ARGS <arg>...)
#
# Configures the CMake project in SOURCE_DIR with CMAKE_ARGS, builds it and
# installs it into PREFIX, then defines the imported static library <target>:
# PREFIX/LIBRARY with the headers in PREFIX/include.
#
# PREFIX/stamp records what the library was built from and with: the
# STAMP_FILES (the source package's description, the recipes) and this file
# by their contents, so that a checkout in another folder agrees on it, the
# compiler's version and the mingw target triplet (none in a native build).
# A PREFIX holding the library and the same stamp is used as it is; anything
# else is built again from nothing. DESCRIPTION names the library in messages.
function(cached_build target)
  cmake_parse_arguments(PARSE_ARGV 1 ARG "" "DESCRIPTION;PREFIX;LIBRARY;SOURCE_DIR"
                        "STAMP_FILES;CMAKE_ARGS")
  set(stamp "")
  foreach(file ${ARG_STAMP_FILES} ${CMAKE_CURRENT_FUNCTION_LIST_FILE})
    file(SHA256 ${file} sum)
    string(APPEND stamp "${sum}\n")
  endforeach()
  execute_process(COMMAND ${CMAKE_CXX_COMPILER} --version OUTPUT_VARIABLE cxx_version)
  string(SHA256 stamp "${stamp}${cxx_version}\n${TRELLICAST_MINGW_PREFIX}")
  set(have "")
  if(EXISTS ${ARG_PREFIX}/stamp)
    file(READ ${ARG_PREFIX}/stamp have)
  endif()

  set(lib ${ARG_PREFIX}/${ARG_LIBRARY})
  if(NOT EXISTS ${lib} OR NOT have STREQUAL stamp)
    message(STATUS "Building ${ARG_DESCRIPTION} into ${ARG_PREFIX}")
    file(REMOVE_RECURSE ${ARG_PREFIX})
    execute_process(COMMAND ${CMAKE_COMMAND} -S ${ARG_SOURCE_DIR} -B ${ARG_PREFIX}/build
                            -DCMAKE_INSTALL_PREFIX=${ARG_PREFIX} ${ARG_CMAKE_ARGS}
                    RESULT_VARIABLE rc OUTPUT_QUIET)
    if(rc EQUAL 0)
      execute_process(COMMAND ${CMAKE_COMMAND} --build ${ARG_PREFIX}/build -j2
                      RESULT_VARIABLE rc OUTPUT_QUIET)
    endif()
    if(rc EQUAL 0)
      execute_process(COMMAND ${CMAKE_COMMAND} --install ${ARG_PREFIX}/build
                      RESULT_VARIABLE rc OUTPUT_QUIET)
    endif()
    if(NOT rc EQUAL 0 OR NOT EXISTS ${lib})
      message(FATAL_ERROR "${ARG_DESCRIPTION} did not build")
    endif()
    file(REMOVE_RECURSE ${ARG_PREFIX}/build)
    file(WRITE ${ARG_PREFIX}/stamp "${stamp}")
  endif()

  add_library(${target} STATIC IMPORTED GLOBAL)
  set_target_properties(${target} PROPERTIES IMPORTED_LOCATION ${lib}
                        INTERFACE_INCLUDE_DIRECTORIES ${ARG_PREFIX}/include)
endfunction()

# id3lib_write_config(SOURCE_DIR OUT_FILE [POSIX])
#
# Writes id3lib's Win32 configuration header (SOURCE_DIR/config.h.win32) to
# OUT_FILE as config.h, as this project compiles id3lib: compressed frames
# against zlib switched on, and the work-around for compilers with broken
# for-loop scoping (it redefines the keyword "for") switched off, since our
# compilers scope for loops correctly. With POSIX, the header also declares
# the POSIX headers and mkstemp, for compiling id3lib on Linux.
function(id3lib_write_config source_dir out_file)
  cmake_parse_arguments(ARG "POSIX" "" "" ${ARGN})
  file(READ ${source_dir}/config.h.win32 config)
  string(REPLACE "/* #undef HAVE_ZLIB */" "#define HAVE_ZLIB 1" config "${config}")
  string(REPLACE "/* #undef HAVE_ZLIB_H */" "#define HAVE_ZLIB_H 1" config "${config}")
  string(REPLACE "#define CXX_HAS_BUGGY_FOR_LOOPS 1" "/* #undef CXX_HAS_BUGGY_FOR_LOOPS */"
         config "${config}")
  if(ARG_POSIX)
    string(APPEND config "
#define HAVE_UNISTD_H 1
#define HAVE_SYS_STAT_H 1
#define HAVE_SYS_PARAM_H 1
#define HAVE_MKSTEMP 1
")
  endif()
  file(WRITE ${out_file} "${config}")
endfunction()

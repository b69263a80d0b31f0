# Finds the system's TagLib through pkg-config (Debian's libtag1-dev).
# Defines TagLib_FOUND and the imported target TagLib::TagLib; sources
# include its headers as <taglib/...>.
find_package(PkgConfig QUIET)
if(PkgConfig_FOUND)
  pkg_check_modules(PC_TagLib QUIET taglib)
endif()
find_path(TagLib_INCLUDE_DIR NAMES taglib/tag.h HINTS ${PC_TagLib_INCLUDEDIR})
find_library(TagLib_LIBRARY NAMES tag HINTS ${PC_TagLib_LIBDIR})
find_package(ZLIB QUIET)

include(FindPackageHandleStandardArgs)
find_package_handle_standard_args(TagLib REQUIRED_VARS TagLib_LIBRARY TagLib_INCLUDE_DIR
                                  VERSION_VAR PC_TagLib_VERSION)

if(TagLib_FOUND AND NOT TARGET TagLib::TagLib)
  add_library(TagLib::TagLib UNKNOWN IMPORTED)
  set_target_properties(TagLib::TagLib PROPERTIES
    IMPORTED_LOCATION "${TagLib_LIBRARY}"
    INTERFACE_INCLUDE_DIRECTORIES "${TagLib_INCLUDE_DIR}")
endif()
mark_as_advanced(TagLib_INCLUDE_DIR TagLib_LIBRARY)

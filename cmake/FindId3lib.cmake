# Finds the system's id3lib (header <id3.h>, library id3) and the zlib it
# needs for compressed frames. Defines Id3lib_FOUND and the imported target
# Id3lib::Id3lib.
find_path(Id3lib_INCLUDE_DIR NAMES id3.h)
find_library(Id3lib_LIBRARY NAMES id3)
find_package(ZLIB QUIET)

include(FindPackageHandleStandardArgs)
find_package_handle_standard_args(Id3lib REQUIRED_VARS Id3lib_LIBRARY Id3lib_INCLUDE_DIR
                                  ZLIB_FOUND)

if(Id3lib_FOUND AND NOT TARGET Id3lib::Id3lib)
  add_library(Id3lib::Id3lib UNKNOWN IMPORTED)
  set_target_properties(Id3lib::Id3lib PROPERTIES
    IMPORTED_LOCATION "${Id3lib_LIBRARY}"
    INTERFACE_INCLUDE_DIRECTORIES "${Id3lib_INCLUDE_DIR}"
    INTERFACE_LINK_LIBRARIES ZLIB::ZLIB)
endif()
mark_as_advanced(Id3lib_INCLUDE_DIR Id3lib_LIBRARY)

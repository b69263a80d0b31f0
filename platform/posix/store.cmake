# The settings store: the registry kept in one file.
posix_piece(posix_store SOURCES store.cpp)

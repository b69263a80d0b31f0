# The settings store: a config file.
posix_piece(posix_store SOURCES store.cpp)

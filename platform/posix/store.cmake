# The settings store: the registry kept in one file.
posix_piece(posix_store store.cpp)
target_link_libraries(posix_store PUBLIC posix_base)

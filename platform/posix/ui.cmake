# The event loop: windows, timers, delayed callbacks, input, message boxes.
posix_piece(posix_ui loop.cpp)
target_link_libraries(posix_ui PUBLIC posix_base)

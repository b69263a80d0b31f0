# The event loop: windows, timers, delayed callbacks, input, message boxes.
posix_piece(posix_ui SOURCES loop.cpp)

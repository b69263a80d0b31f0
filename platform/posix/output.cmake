# Whole-file replacement for the files for streamers (their thread is the
# port's worker, in posix_base).
posix_piece(posix_output SOURCES ${CMAKE_CURRENT_LIST_DIR}/output.cpp)

# The output writer's thread and whole-file replacement.
find_package(Threads REQUIRED)
posix_piece(posix_output SOURCES ${CMAKE_CURRENT_LIST_DIR}/output.cpp
            LIBS Threads::Threads ${CMAKE_DL_LIBS})

# The Discord worker's wake-up and the Unix socket to the Discord client.
find_package(Threads REQUIRED)
posix_piece(posix_discord SOURCES ${CMAKE_CURRENT_LIST_DIR}/discord.cpp
            LIBS Threads::Threads)

# The listening history's queue folder and requests (libcurl).
find_package(CURL REQUIRED)
find_package(Threads REQUIRED)
posix_piece(posix_listens SOURCES ${CMAKE_CURRENT_LIST_DIR}/listens.cpp
            LIBS CURL::libcurl)

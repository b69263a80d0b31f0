# The port's HTTP procedures on libcurl.
find_package(CURL REQUIRED)
posix_piece(posix_http http.cpp)
target_link_libraries(posix_http PUBLIC posix_base CURL::libcurl)

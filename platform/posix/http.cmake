# The port's HTTP procedures on libcurl.
find_package(CURL REQUIRED)
posix_piece(posix_http SOURCES http.cpp LIBS CURL::libcurl)

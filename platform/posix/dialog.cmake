# The dialog manager: modal dialogs built from form layouts. It runs its
# nested loop on the event loop's piece, which the shared library links.
posix_piece(posix_dialog dialog.cpp)
target_link_libraries(posix_dialog PUBLIC posix_base)

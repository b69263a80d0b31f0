# The dialog manager: modal dialogs built from form layouts. It runs its
# nested loop on the event loop's piece, which the shared library links.
posix_piece(posix_dialog SOURCES dialog.cpp)

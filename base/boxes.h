// The two failure boxes every part reports through.
#pragma once

// "<message>: (errcode=<last system error>)" in a box captioned "Error".
void reportError(const char* message);
// The text unchanged in a box captioned "Error", for failures that carry no
// system error code (what a server answered).
void showError(const char* text);
// The message unchanged in a box captioned "Lumtap"; returns 0.
int showNotice(const char* message);

// The two failure boxes every part reports through, and the one place the
// text of a system failure is made.
#pragma once

#include <cstddef>
#include <cstdint>

// Writes "<message>: (errcode=<code>)" into out (capacity bytes, cut to
// fit, terminated): how every failure that carries a system code reads, in
// a box and in the settings dialog's status line.
void formatFailure(char* out, size_t capacity, const char* message, uint32_t code);
// "<message>: (errcode=<last system error>)" in a box captioned "Error".
void reportError(const char* message);
// The same with the code a port result carried.
void reportFailure(const char* message, uint32_t code);
// The text unchanged in a box captioned "Error", for failures that carry no
// system error code (what a server answered).
void showError(const char* text);
// The message unchanged in a box captioned "Lumtap"; returns 0.
int showNotice(const char* message);

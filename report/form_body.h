// Writing the form body of one update into a fixed buffer.
#pragma once

#include <cstddef>

// Writes "wm_action=wm_data&wm_data[status]=<status>&wm_data[title]=<title>"
// into body (capacity bytes, terminator included), then, when fragment is
// given, "&" and the fragment. The text always fits: an escaped title too
// long for the buffer is cut at an escape boundary, and tag pairs that do
// not fit are dropped whole from the end. Returns the body's length.
size_t writeFormBody(char* body, size_t capacity, long status, const char* escapedTitle,
                     const char* fragment);

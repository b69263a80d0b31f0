// Texts as the tag readers hand them out, turned into UTF-8 for the form
// body.
#pragma once

#include <cstddef>

// Decodes units UTF-16 code units, each stored as two bytes high byte first,
// into out as UTF-8 and terminates it; out holds limit + 1 bytes. Stops at a
// zero unit or before the first character that would take the text past
// limit bytes, so a character is never split. A surrogate without its
// partner becomes U+FFFD. Returns the length written.
size_t utf16ToUtf8(const unsigned char* units, size_t count, char* out, size_t limit);

// Converts the Latin-1 text in (terminated) to UTF-8 in place: buffer holds
// limit + 1 bytes, and the text is cut before the first character that
// would take it past limit bytes. Returns the length.
size_t latin1ToUtf8InPlace(char* buffer, size_t limit);

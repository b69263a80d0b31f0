// The wm_id3 fragment of the form body, from a media file's tag frames.
#pragma once

#include <cstdint>

#include "shell/buffer.h"

constexpr size_t TAG_FRAGMENT_SIZE = 8192;

// "wm_id3[n]=text&..." in an 8192-byte buffer, or none. The fragment of the
// last file read is kept with the file's size and time of writing; asked
// again for that file unchanged, it is handed out without reading the file.
// The name is UTF-8 when utf8Name is set, else in the system's code page.
Buffer collectTagFields(const char* fileName, bool utf8Name = false);

// The same for a file the player names in UTF-16 (native byte order,
// terminated).
Buffer collectTagFieldsWide(const uint16_t* wideName);

// Forgets the kept fragment.
void forgetTagFields();

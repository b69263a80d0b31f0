// The wm_id3 fragment of the form body, from a media file's tag frames.
#pragma once

#include "shell/buffer.h"

constexpr size_t TAG_FRAGMENT_SIZE = 8192;

// "wm_id3[n]=text&..." in an 8192-byte buffer, or none. The fragment of the
// last file read is kept with the file's size and time of writing; asked
// again for that file unchanged, it is handed out without reading the file.
Buffer collectTagFields(const char* fileName);

// Forgets the kept fragment.
void forgetTagFields();

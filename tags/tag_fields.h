// The wm_id3 fragment of the form body, from a media file's tag frames.
#pragma once

#include "shell/buffer.h"

constexpr size_t TAG_FRAGMENT_SIZE = 8192;

// "wm_id3[n]=text&..." in an 8192-byte buffer, or none.
Buffer collectTagFields(const char* fileName);

// A check made before id3lib parses a file: walks the ID3v2 tags at the
// start of the file the way id3lib will, and says whether one of them holds
// something id3lib is known to fault on.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>

#include "tags/media_file.h"

// Reads up to count bytes at offset into out; returns how many it read.
using TagByteReader = std::function<size_t(uint64_t offset, unsigned char* out, size_t count)>;

struct Id3v2GuardRules {
  // Refuse frames stored compressed (id3lib hands zlib a 32-bit size
  // through a pointer to unsigned long, which breaks where that is wider).
  bool refuseCompressed;
};

// The rules for this platform's id3lib.
Id3v2GuardRules id3v2GuardRules();

// True when id3lib may parse the tags of a file of fileSize bytes that
// reader gives access to; false when a tag holds a frame or a header id3lib
// would fault on.
bool id3v2TagsSafe(const TagByteReader& reader, uint64_t fileSize, const Id3v2GuardRules& rules);

// The same for a file on disk. A file that cannot be read is safe: id3lib
// will not find anything in it either.
bool id3v2FileSafe(const char* fileName);

// The same for a file already open.
bool id3v2MediaSafe(MediaFile& media);

// A media file opened for reading only, read at offsets through a window of
// its bytes, so that a tag reader's many small reads cost a few system calls.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

#include "platform/port.h"

struct MediaFile {
  std::string name;  // UTF-8, for what the readers show and its extension
  std::FILE* file = nullptr;
  // The size the readers see: the file's, or with a head in place, the
  // head's and that of the file's bytes after what it stands for.
  uint64_t size = 0;
  uint64_t fileSize = 0;
  // Bytes the readers see in place of the file's first headStandsFor bytes
  // (a repaired tag); empty when they see the file as it is.
  std::string head;
  uint64_t headStandsFor = 0;
  // The window: the bytes of [windowStart, windowStart + windowLength).
  std::unique_ptr<unsigned char[]> window;
  uint64_t windowStart = 0;
  size_t windowLength = 0;
};

struct MediaFileCloser {
  void operator()(MediaFile* media) const;
};
using MediaFileOwner = std::unique_ptr<MediaFile, MediaFileCloser>;

// Bytes read from the file at a time for small reads.
constexpr size_t MEDIA_WINDOW_SIZE = 64 * 1024;

// The file opened read-only, or none when it cannot be opened or measured;
// throws std::bad_alloc when memory runs out.
MediaFileOwner openMediaFile(const platform::FileName& name);
// The same for a name in the system's code page.
MediaFileOwner openMediaFile(const char* name);

// Copies up to count bytes at offset into out; returns how many (fewer only
// at the end of the file or when the system fails a read). Offsets are
// those the readers see: with a head in place, the head comes first.
size_t readMediaFile(MediaFile& media, uint64_t offset, unsigned char* out, size_t count);

// The same from the file itself, whatever head is in place.
size_t readStoredBytes(MediaFile& media, uint64_t offset, unsigned char* out, size_t count);

// From now on the readers see head in place of the file's first standsFor
// bytes (standsFor at most the file's size); throws std::bad_alloc.
void setMediaHead(MediaFile& media, std::string head, uint64_t standsFor);

// A media file opened for reading only, read at offsets through a window of
// its bytes, so that a tag reader's many small reads cost a few system calls.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

struct MediaFile {
  std::string name;
  std::FILE* file = nullptr;
  uint64_t size = 0;
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
// throws std::bad_alloc when memory runs out. The name is UTF-8 when
// utf8Name is set, else in the system's code page.
MediaFileOwner openMediaFile(const char* name, bool utf8Name = false);

// Copies up to count bytes at offset into out; returns how many (fewer only
// at the end of the file or when the system fails a read).
size_t readMediaFile(MediaFile& media, uint64_t offset, unsigned char* out, size_t count);

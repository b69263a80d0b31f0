// The media file as a TagLib stream, for the readers that hand a file to
// TagLib (the tag walk and the cover lookup).
#pragma once

#include <taglib/tiostream.h>

#include <algorithm>
#include <climits>
#include <cstdint>

#include "tags/media_file.h"

// The media file as a TagLib stream: read-only, every write refused, never
// the file opened a second time.
class MediaStream : public TagLib::IOStream {
 public:
  explicit MediaStream(MediaFile& media) : media_(media) {}

  TagLib::FileName name() const override { return media_.name.c_str(); }
  TagLib::ByteVector readBlock(unsigned long length) override {
    const uint64_t left = cur_ < media_.size ? media_.size - cur_ : 0;
    const size_t n = static_cast<size_t>(std::min<uint64_t>(length, left));
    if (n == 0) return TagLib::ByteVector();
    TagLib::ByteVector block(static_cast<unsigned int>(n), '\0');
    const size_t got =
        readMediaFile(media_, cur_, reinterpret_cast<unsigned char*>(block.data()), n);
    block.resize(static_cast<unsigned int>(got));
    cur_ += got;
    return block;
  }
  void writeBlock(const TagLib::ByteVector&) override {}
  void insert(const TagLib::ByteVector&, unsigned long, unsigned long) override {}
  void removeBlock(unsigned long, unsigned long) override {}
  bool readOnly() const override { return true; }
  bool isOpen() const override { return true; }
  void seek(long offset, Position p) override {
    long long base = 0;
    if (p == Current) base = static_cast<long long>(cur_);
    if (p == End) base = static_cast<long long>(media_.size);
    const long long to = base + offset;
    cur_ = to < 0 ? 0 : static_cast<uint64_t>(to);
  }
  long tell() const override { return static_cast<long>(std::min<uint64_t>(cur_, LONG_MAX)); }
  long length() override { return static_cast<long>(std::min<uint64_t>(media_.size, LONG_MAX)); }
  void truncate(long) override {}

 private:
  MediaFile& media_;
  uint64_t cur_ = 0;
};

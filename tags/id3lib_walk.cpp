// id3lib's walk, fed from the media file's window instead of a stream of its
// own: the reader keeps the exact behaviour of the standard stream reader
// id3lib uses when it opens a file by name (positions, end-of-file and
// failure states), so the frames it finds are the same.
#include <id3.h>
#include <id3/reader.h>
#include <id3/tag.h>

#include <algorithm>
#include <cstring>
#include <string>

#include "platform/unicode.h"
#include "tags/frame_numbers.h"
#include "tags/id3v2_repair.h"
#include "tags/readers.h"

namespace {

class MediaReader : public ID3_Reader {
 public:
  explicit MediaReader(MediaFile& media) : media_(media) {}

  void close() override {}
  pos_type getBeg() override { return 0; }
  pos_type getCur() override { return failed_ ? static_cast<pos_type>(-1) : cur_; }
  pos_type getEnd() override {
    const pos_type cur = getCur();
    seekTo(media_.size);
    const pos_type end = getCur();
    setCur(cur);
    return end;
  }
  pos_type setCur(pos_type pos) override {
    seekTo(pos);
    return pos;
  }
  int_type peekChar() override {
    if (atEndOfFile_ || failed_) {
      failed_ = true;
      return END_OF_READER;
    }
    unsigned char c = 0;
    if (cur_ >= media_.size || readMediaFile(media_, cur_, &c, 1) != 1) {
      atEndOfFile_ = true;
      return END_OF_READER;
    }
    return c;
  }
  size_type readChars(char buf[], size_type len) override {
    return readChars(reinterpret_cast<char_type*>(buf), len);
  }
  size_type readChars(char_type buf[], size_type len) override {
    if (atEndOfFile_ || failed_) {
      failed_ = true;
      return 0;
    }
    const size_t n = readMediaFile(media_, cur_, buf, len);
    cur_ += n;
    if (n < len) atEndOfFile_ = failed_ = true;
    return static_cast<size_type>(n);
  }

 private:
  // A seek clears the end-of-file state and does nothing once a read has
  // failed, as on a standard stream.
  void seekTo(uint64_t pos) {
    atEndOfFile_ = false;
    if (!failed_) cur_ = pos;
  }

  MediaFile& media_;
  uint64_t cur_ = 0;
  bool atEndOfFile_ = false;
  bool failed_ = false;
};

// UTF-16 units read from a frame: every unit gives at least one UTF-8 byte,
// so this covers a full text plus a surrogate pair straddling the cut.
constexpr size_t UNICODE_UNITS = FRAME_TEXT_CHARS + 2;

// A UTF-16 text field as UTF-8 into text (FRAME_TEXT_CHARS + 1 bytes).
// id3lib keeps such text as big-endian byte pairs whatever byte order mark
// the frame had, and copies those bytes out unchanged, so the units are
// decoded byte by byte rather than as host integers. Its unicode getter
// measures the field in bytes but copies that many units, so it is asked
// for no more units than the field holds.
void readUnicodeText(const ID3Field* field, char* text) {
  size_t units = std::min(ID3Field_Size(field) / 2, UNICODE_UNITS);
  if (units == 0) return;
  unicode_t raw[UNICODE_UNITS];
  units = std::min(ID3Field_GetUNICODE(field, raw, units), units);
  unicode::utf16BytesToUtf8(reinterpret_cast<const unsigned char*>(raw), units, text,
                            FRAME_TEXT_CHARS);
}

// A frame's number and text into text (FRAME_TEXT_CHARS + 1 bytes, zeroed).
// The text field as id3lib reads it, else a link frame's address; a frame
// of an id id3lib does not know in this tag's version (TDRC in an ID3v2.3
// tag, ...) but has a number for gets that number, and a text frame of
// that kind its strings, read from its data as in an ID3v2.4 tag.
int frameText(const ID3_Frame& frame, char* text, Latin1Text latin1) {
  const ID3Frame* flat = reinterpret_cast<const ID3Frame*>(&frame);
  int number = static_cast<int>(frame.GetID());
  bool stored = true;  // Latin-1 bytes as stored
  if (number == ID3FID_NOFRAME) {
    const char* id = frame.GetTextID();
    if (id == nullptr || std::strlen(id) != 4) return number;
    number = frameNumber(id);
    const ID3Field* data = ID3Frame_GetField(flat, ID3FN_DATA);
    if (number == 0 || id[0] != 'T' || data == nullptr) return number;
    const auto* raw = reinterpret_cast<const ID3_Field*>(data)->GetRawBinary();
    const size_t size = ID3Field_Size(data);
    if (raw == nullptr) return number;
    const std::string value = encodedTextValue(raw, size);
    stored = encodedTextIsLatin1(raw, size);
    // Cut where a character starts (a Latin-1 byte always does).
    size_t cut = std::min(value.size(), FRAME_TEXT_CHARS);
    while (!stored && cut < value.size() && cut > 0 &&
           (static_cast<unsigned char>(value[cut]) & 0xC0) == 0x80)
      --cut;
    std::memcpy(text, value.data(), cut);
    text[cut] = '\0';
  } else {
    const ID3Field* field = ID3Frame_GetField(flat, ID3FN_TEXT);
    if (field == nullptr) field = ID3Frame_GetField(flat, ID3FN_URL);
    if (field != nullptr && ID3Field_GetASCII(field, text, FRAME_TEXT_CHARS) == 0 &&
        ID3Field_GetEncoding(field) == ID3TE_UTF16) {
      readUnicodeText(field, text);
      stored = false;
    }
  }
  if (stored && latin1 == Latin1Text::asUtf8) {
    const std::string utf8 = unicode::latin1ToUtf8(text);
    const size_t cut = unicode::utf8Prefix(utf8, FRAME_TEXT_CHARS);
    std::memcpy(text, utf8.data(), cut);
    text[cut] = '\0';
  }
  return number;
}

}  // namespace

size_t walkId3lib(MediaFile& media, FrameSink& sink, Latin1Text latin1) {
  size_t frames = 0;
  try {
    ID3_Tag tag;
    MediaReader reader(media);
    // Every tag type id3lib knows; a file without a tag yields no frames.
    // A tag id3lib gives up on keeps the frames it read before.
    try {
      tag.Link(reader, ID3TT_ALL);
    } catch (...) {
    }
    // The walk itself goes through id3lib's flat interface, as it always has.
    ID3Tag* flat = reinterpret_cast<ID3Tag*>(&tag);
    struct IteratorDeleter {
      void operator()(ID3TagIterator* iterator) const { ID3TagIterator_Delete(iterator); }
    };
    std::unique_ptr<ID3TagIterator, IteratorDeleter> iterator(ID3Tag_CreateIterator(flat));
    if (!iterator) return 0;
    char text[FRAME_TEXT_CHARS + 1];
    while (const ID3Frame* frame = ID3TagIterator_GetNext(iterator.get())) {
      ++frames;
      // Cleared per frame: a frame without a text field is sent empty, never
      // with the text of the frame before it.
      std::memset(text, 0, sizeof text);
      const int number = frameText(*reinterpret_cast<const ID3_Frame*>(frame), text, latin1);
      if (!sink(number, text)) return frames;
    }
  } catch (...) {
    // A frame id3lib cannot hand out ends the walk with what it gave so far.
  }
  return frames;
}

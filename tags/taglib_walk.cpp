// TagLib's side of the tag reading: ID3v2.4 tags, which id3lib skips, and
// every other format TagLib knows. TagLib's objects and exceptions stay in
// this file.
#include <taglib/commentsframe.h>
#include <taglib/fileref.h>
#include <taglib/id3v2framefactory.h>
#include <taglib/id3v2tag.h>
#include <taglib/mpegfile.h>
#include <taglib/textidentificationframe.h>
#include <taglib/tpropertymap.h>
#include <taglib/unsynchronizedlyricsframe.h>
#include <taglib/urllinkframe.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <string>

#include "tags/frame_numbers.h"
#include "tags/media_stream.h"
#include "tags/readers.h"

namespace {

// The text as UTF-8, or byte for byte when it was stored as Latin-1, cut to
// FRAME_TEXT_CHARS bytes without splitting a character. The encoding comes
// as a number: TagLib keeps a frame's encoding byte as it found it, which
// in a damaged frame is no value of its enumeration.
std::string frameText(const TagLib::String& text, int encoding, Latin1Text asLatin1) {
  const bool latin1 =
      encoding == static_cast<int>(TagLib::String::Latin1) && asLatin1 == Latin1Text::asStored;
  std::string bytes = text.to8Bit(!latin1);
  if (bytes.size() > FRAME_TEXT_CHARS) {
    size_t cut = FRAME_TEXT_CHARS;
    if (!latin1) {
      while (cut > 0 && (static_cast<unsigned char>(bytes[cut]) & 0xC0) == 0x80) --cut;
    }
    bytes.resize(cut);
  }
  // A value ends at its first zero, as the text of a v2.3 frame does.
  bytes.resize(std::strlen(bytes.c_str()));
  return bytes;
}

TagLib::String joined(const TagLib::StringList& values, unsigned first) {
  TagLib::String out;
  for (unsigned i = first; i < values.size(); ++i) {
    if (i > first) out += "/";
    out += values[i];
  }
  return out;
}

// The value a frame is sent with: the values of a text frame joined by "/",
// the text of a comment or of lyrics, the value of a user text frame, the
// address of a link frame; frames without text have the empty value.
std::string frameValue(const TagLib::ID3v2::Frame* frame, Latin1Text l) {
  using namespace TagLib::ID3v2;
  if (auto* user = dynamic_cast<const UserTextIdentificationFrame*>(frame)) {
    return frameText(joined(user->fieldList(), 1), static_cast<int>(user->textEncoding()), l);
  }
  if (auto* text = dynamic_cast<const TextIdentificationFrame*>(frame)) {
    return frameText(joined(text->fieldList(), 0), static_cast<int>(text->textEncoding()), l);
  }
  if (auto* comment = dynamic_cast<const CommentsFrame*>(frame)) {
    return frameText(comment->text(), static_cast<int>(comment->textEncoding()), l);
  }
  if (auto* lyrics = dynamic_cast<const UnsynchronizedLyricsFrame*>(frame)) {
    return frameText(lyrics->text(), static_cast<int>(lyrics->textEncoding()), l);
  }
  if (auto* link = dynamic_cast<const UrlLinkFrame*>(frame)) {
    return frameText(link->url(), static_cast<int>(TagLib::String::Latin1), l);
  }
  return std::string();
}

// Counts into frames as it goes, so that a walk cut short by an exception
// still says how many frames it gave.
size_t walkFrames(const TagLib::ID3v2::Tag& tag, FrameSink& sink, size_t& frames,
                  Latin1Text latin1) {
  for (const TagLib::ID3v2::Frame* frame : tag.frameList()) {
    ++frames;
    const TagLib::ByteVector id = frame->frameID();
    const int number = id.size() == 4 ? frameNumber(id.data()) : 0;
    // An id id3lib has no number for goes out empty, as in an id3lib walk.
    const std::string value = number != 0 ? frameValue(frame, latin1) : std::string();
    if (!sink(number, value.c_str())) return frames;
  }
  return frames;
}

}  // namespace

bool isMp4Name(const std::string& name) {
  static const char* const extensions[] = {"m4a", "m4r", "m4b", "m4p", "mp4", "3g2", "m4v"};
  const size_t dot = name.rfind('.');
  if (dot == std::string::npos) return false;
  std::string ext = name.substr(dot + 1);
  for (char& c : ext) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
  return std::find(std::begin(extensions), std::end(extensions), ext) != std::end(extensions);
}

bool startsWithId3v24(MediaFile& media) {
  unsigned char header[4] = {};
  return readMediaFile(media, 0, header, 4) == 4 && std::memcmp(header, "ID3", 3) == 0 &&
         header[3] == 4;
}

size_t walkId3v24(MediaFile& media, FrameSink& sink, Latin1Text latin1) {
  size_t frames = 0;
  try {
    MediaStream stream(media);
    TagLib::MPEG::File file(&stream, TagLib::ID3v2::FrameFactory::instance(), false);
    const TagLib::ID3v2::Tag* tag = file.isValid() ? file.ID3v2Tag(false) : nullptr;
    return tag != nullptr ? walkFrames(*tag, sink, frames, latin1) : 0;
  } catch (...) {
    // TagLib gave up (out of memory): what was walked stands.
    return frames;
  }
}

bool ownFormatSafe(MediaFile& media) {
  unsigned char head[8] = {};
  const bool mp4 = isMp4Name(media.name) ||
                   (readMediaFile(media, 0, head, 8) == 8 && std::memcmp(head + 4, "ftyp", 4) == 0);
  return (!mp4 || mp4NestingSafe(media)) && asfCountsSafe(media);
}

size_t walkOwnFormat(MediaFile& media, FrameSink& sink, Latin1Text latin1) {
  size_t frames = 0;
  try {
    if (!ownFormatSafe(media)) return 0;
    MediaStream stream(media);
    const TagLib::FileRef ref(&stream, false);
    if (ref.isNull()) return 0;
    TagLib::ID3v2::Tag scratch;
    scratch.setProperties(ref.file()->properties());
    return walkFrames(scratch, sink, frames, latin1);
  } catch (...) {
    // TagLib gave up (out of memory): what was walked stands.
    return frames;
  }
}

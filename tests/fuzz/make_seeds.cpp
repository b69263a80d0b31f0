// Writes the seed inputs of the tag walk's fuzz corpus into a folder:
// one small file per kind of tag the walk reads. Run by hand,
//   make_fuzz_seeds tests/fuzz/corpus
// and commit what it writes. Every seed stays under 8 KB.
#include <zlib.h>

#include <cstdio>
#include <string>
#include <vector>

#include "tests/support/id3_writer.h"

namespace {

using id3w::ByteOrder;
using id3w::Frame;

std::string deflate(const std::string& data) {
  uLongf size = compressBound(data.size());
  std::string out(size, '\0');
  if (compress(reinterpret_cast<Bytef*>(out.data()), &size,
               reinterpret_cast<const Bytef*>(data.data()), data.size()) != Z_OK)
    return {};
  out.resize(size);
  return out;
}

// A Lyrics3 v2 block (before an ID3v1 trailer): LYRICSBEGIN, fields of a
// three-letter name, a five-digit size and the data, the block's size in
// six digits and LYRICS200.
std::string lyrics3v2(const std::vector<std::pair<std::string, std::string>>& fields) {
  std::string block = "LYRICSBEGIN";
  for (const auto& [name, data] : fields) {
    char size[6];
    std::snprintf(size, sizeof size, "%05zu", data.size());
    block += name + size + data;
  }
  char total[7];
  std::snprintf(total, sizeof total, "%06zu", block.size());
  return block + total + "LYRICS200";
}

// A trailer in the layout of an older jukebox program's tag (version
// 3.00): a 7868-byte metadata section of length-prefixed texts, five
// section offsets and a 48-byte footer with its signature.
std::string jukeboxTrailer() {
  std::string meta;
  auto text = [&](const std::string& s) {
    meta += static_cast<char>(s.size() & 0xFF);
    meta += static_cast<char>((s.size() >> 8) & 0xFF);
    meta += s;
  };
  text("Jukebox Title");
  text("Jukebox Album");
  text("Jukebox Artist");
  text("Rock");
  text("Fast");
  text("Calm");
  text("Party");
  text("Good");
  text("3:25");
  meta.append(12, '\0');
  text("C:\\music\\a.mp3");
  text("0");
  meta.resize(7868, '\0');
  std::string offsets(20, '\0');  // all sections empty but the metadata
  std::string footer = "Brava Software Inc.             3.00";
  footer.resize(48, ' ');
  return meta + offsets + footer;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s FOLDER\n", argv[0]);
    return 2;
  }
  const std::string dir = argv[1];
  const std::string audio = id3w::fakeAudio(2);
  id3w::V1 v1{"Title", "Artist", "Album", "1999", "Comment", 7, 17};

  const Frame title = id3w::textFrame("TIT2", "Seed title");
  const Frame artist = id3w::textFrame("TPE1", "Seed artist");
  const std::vector<std::pair<std::string, std::string>> seeds = {
      {"seed-v1.mp3", audio + id3w::tagV1(v1)},
      {"seed-v23-text.mp3",
       id3w::tagV2(3,
                   {title, artist, id3w::textFrame("TALB", "Album"),
                    id3w::textFrame("TRCK", "3/12"), id3w::textFrame("TYER", "2001")},
                   16) +
           audio},
      {"seed-v24-text.mp3",
       id3w::tagV2(4, {title, id3w::textFrameUtf8("TPE1", "Ärtist ✓")}) + audio},
      {"seed-v23-utf16.mp3",
       id3w::tagV2(3, {id3w::textFrameUtf16("TIT2", u"Grüße \U0001F3B5", ByteOrder::little),
                       id3w::textFrameUtf16("TPE1", u"Big endian", ByteOrder::big)}) +
           audio},
      {"seed-v23-comm-apic.mp3",
       id3w::tagV2(3, {id3w::commentFrame("eng", "desc", "A comment"),
                       id3w::pictureFrame("image/png", 3, "cover", 64), title}) +
           audio},
      {"seed-v23-other.mp3",
       id3w::tagV2(3,
                   {id3w::rawFrame("XYZW", "unknown"), id3w::rawFrame("PCNT", "\x00\x00\x01\x00"),
                    id3w::rawFrame("WXXX", std::string("\0desc\0http://a.b/", 17)),
                    id3w::rawFrame("TXXX", std::string("\0key\0value", 10))}) +
           audio},
      {"seed-v23-compressed.mp3",
       id3w::tagV2(3, {id3w::compressedFrame(title, 3), artist}) + audio},
      {"seed-v24-compressed.mp3",
       id3w::tagV2(4, {id3w::compressedFrame(title, 4), artist}) + audio},
      {"seed-v22.mp3",
       id3w::tagV22(0, {id3w::textFrame("TT2", "Two two"), id3w::textFrame("TP1", "Artist")}) +
           audio},
      {"seed-v22-cdm.mp3",
       id3w::tagV22(
           1, {id3w::rawFrame("CDM",
                              [] {
                                const std::string inner =
                                    id3w::tagV22(0, {id3w::textFrame("TT2", "Title")});
                                const std::string frames = inner.substr(10);  // the frame alone
                                return "z" +
                                       id3w::bigEndian32(static_cast<uint32_t>(frames.size())) +
                                       deflate(frames);
                              }())}) +
           audio},
      {"seed-v23-v1.mp3", id3w::tagV2(3, {title}) + audio + id3w::tagV1(v1)},
      {"seed-lyrics3.mp3", audio +
                               lyrics3v2({{"IND", "11"},
                                          {"ETT", "Lyrics title"},
                                          {"EAR", "Lyrics artist"},
                                          {"LYR", "[00:01]Line one\r\n[00:02]Line two"}}) +
                               id3w::tagV1(v1)},
      {"seed-jukebox-trailer.mp3", jukeboxTrailer()},
  };
  for (const auto& [name, bytes] : seeds) {
    if (!id3w::writeFile(dir + "/" + name, bytes)) {
      std::fprintf(stderr, "cannot write %s/%s\n", dir.c_str(), name.c_str());
      return 1;
    }
  }
  return 0;
}

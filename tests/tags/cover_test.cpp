// The cover lookup: covers in files made by real tools (lame, metaflac,
// opusenc, mutagen), in hand-made tags and beside the file; the front
// cover first; the MIME type from the bytes; the limit; the kept covers
// across threads; and the text read, which never sees picture data.
#include "tags/cover.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "platform/port.h"
#include "tags/readers.h"
#include "tags/sha1.h"
#include "tests/support/tag_files.h"
#include "tests/support/tag_fragment.h"

namespace {

std::string be32(uint32_t v) {
  return {static_cast<char>(v >> 24), static_cast<char>(v >> 16), static_cast<char>(v >> 8),
          static_cast<char>(v)};
}

// A valid PNG of width × 1 grey pixels whose values start at seed, so
// that each seed makes other bytes; the tools below read its header.
std::string png(uint32_t width, int seed) {
  auto chunk = [](const std::string& type, const std::string& data) {
    const std::string typed = type + data;
    const uLong crc =
        crc32(0, reinterpret_cast<const Bytef*>(typed.data()), static_cast<uInt>(typed.size()));
    return be32(static_cast<uint32_t>(data.size())) + typed + be32(static_cast<uint32_t>(crc));
  };
  std::string row(1, '\0');
  for (uint32_t i = 0; i < width; ++i) row += static_cast<char>((seed + i * 31) & 0xFF);
  uLongf size = compressBound(static_cast<uLong>(row.size()));
  std::string packed(size, '\0');
  compress(reinterpret_cast<Bytef*>(packed.data()), &size,
           reinterpret_cast<const Bytef*>(row.data()), static_cast<uLong>(row.size()));
  packed.resize(size);
  const std::string ihdr = be32(width) + be32(1) + std::string("\x08\x00\x00\x00\x00", 5);
  return std::string("\x89PNG\r\n\x1A\n") + chunk("IHDR", ihdr) + chunk("IDAT", packed) +
         chunk("IEND", "");
}

std::string jpeg(size_t bytes, char fill) {
  std::string out = "\xFF\xD8\xFF\xE0";
  out.resize(bytes, fill);
  return out;
}

bool run(const std::string& command) {
  return std::system((command + " >/dev/null 2>&1").c_str()) == 0;
}

platform::FileName nameOf(const std::string& path) {
  platform::FileName name;
  EXPECT_EQ(platform::fileNameFromCodePage(path.c_str(), &name), 0u);
  return name;
}

CoverPtr coverOf(const std::string& path, const std::string* art = nullptr) {
  const platform::FileName artName = nameOf(art != nullptr ? *art : std::string());
  return lookUpCover(nameOf(path), art != nullptr ? &artName : nullptr);
}

class Covers : public testing_support::TagFilesTest {
 protected:
  void SetUp() override {
    TagFilesTest::SetUp();
    forgetCovers();
  }
  // One second of a quiet tone as raw 16-bit mono samples at 8 kHz.
  std::string rawAudio() {
    std::string samples;
    for (int i = 0; i < 8000; ++i) {
      const int v = (i % 40 < 20 ? 1 : -1) * 2000;
      samples += static_cast<char>(v & 0xFF);
      samples += static_cast<char>((v >> 8) & 0xFF);
    }
    return write("tone.raw", samples);
  }
  // A file of its own folder, so the folder's images are its alone.
  std::string alone(const std::string& name, const std::string& bytes) {
    const std::string folder = dir.path(fresh("d", ""));
    EXPECT_TRUE(run("mkdir -p " + folder));
    const std::string path = folder + "/" + name;
    EXPECT_TRUE(id3w::writeFile(path, bytes));
    return path;
  }
};

TEST_F(Covers, RealToolsFilesGiveTheBytesStored) {
  const std::string raw = rawAudio();
  const std::string image = write("art.png", png(40, 1));
  const std::string mp3 = dir.path("lame.mp3"), flac = dir.path("meta.flac"),
                    opus = dir.path("a.opus"), ogg = dir.path("a.ogg"), m4a = dir.path("a.m4a");
  ASSERT_TRUE(run("lame --quiet -r -s 8 -m m --bitwidth 16 --tt T --ta A --ti " + image + " " +
                  raw + " " + mp3));
  ASSERT_TRUE(
      run("flac -s --force-raw-format --endian=little --sign=signed --channels=1 --bps=16 "
          "--sample-rate=8000 -T TITLE=T -o " +
          flac + " " + raw + " && metaflac --import-picture-from=" + image + " " + flac));
  ASSERT_TRUE(run("opusenc --quiet --raw --raw-bits 16 --raw-rate 8000 --raw-chan 1 --picture " +
                  image + " " + raw + " " + opus));
  ASSERT_TRUE(run("oggenc -Q -r -C 1 -R 8000 -B 16 -o " + ogg + " " + raw));
  // mutagen writes what no command-line tool here does: the Ogg's picture
  // comment and the MP4's covr item (into an M4A of our own).
  const std::string m4aBytes =
      be32(24) + "ftypM4A " + be32(0) + "M4A mp42" + be32(8) + "moov" + be32(8) + "mdat";
  ASSERT_TRUE(id3w::writeFile(m4a, m4aBytes));
  ASSERT_TRUE(
      run("/usr/bin/python3 -c \"import sys, base64; from mutagen.oggvorbis import OggVorbis; "
          "from mutagen.flac import Picture; from mutagen.mp4 import MP4, MP4Cover; "
          "data = open(sys.argv[1], 'rb').read(); p = Picture(); p.type = 3; p.mime = 'image/png'; "
          "p.data = data; o = OggVorbis(sys.argv[2]); "
          "o['metadata_block_picture'] = [base64.b64encode(p.write()).decode()]; o.save(); "
          "m = MP4(sys.argv[3]); m['covr'] = [MP4Cover(data, MP4Cover.FORMAT_PNG)]; m.save()\" " +
          image + " " + ogg + " " + m4a));
  const std::string stored = png(40, 1);
  for (const std::string& path : {mp3, flac, opus, ogg, m4a}) {
    SCOPED_TRACE(path);
    const CoverPtr cover = coverOf(path);
    ASSERT_NE(cover, nullptr);
    EXPECT_EQ(cover->bytes, stored);
    EXPECT_STREQ(cover->mimeType, "image/png");
    EXPECT_EQ(cover->size(), stored.size());
    EXPECT_EQ(cover->sha1, sha1Hex(stored));
  }
}

TEST_F(Covers, TagsFolderAndArtFileInTheirOrder) {
  const std::string front = jpeg(3000, 'F'), back = jpeg(2000, 'B');
  const id3w::Frame title = id3w::textFrame("TIT2", "T");
  auto apic = [](uint8_t type, const std::string& data, const char* mime = "image/png") {
    id3w::Frame f = id3w::pictureFrame(mime, type, "d", 0);
    f.body += data;
    return f;
  };
  auto pic22 = [](uint8_t type, const std::string& data) {
    id3w::Frame f = id3w::rawFrame(
        "PIC ", std::string("\0PNG", 4) + static_cast<char>(type) + std::string(1, '\0') + data);
    return f;
  };
  const std::string audio = id3w::fakeAudio(2);
  const std::string folderPng = png(8, 7);
  struct Case {
    const char* name;
    std::string file;
    std::vector<std::pair<std::string, std::string>> beside;  // name, bytes
    std::string expected;                                     // empty: none
  } cases[] = {
      {"v2.3: the front cover after another picture",
       id3w::tagV2(3, {title, apic(4, back), apic(3, front)}) + audio,
       {},
       front},
      {"v2.4: no front cover, the first picture",
       id3w::tagV2(4, {apic(0, back), apic(4, front)}),
       {},
       back},
      {"v2.2 PIC", id3w::tagV22(0, {pic22(3, front)}) + audio, {}, front},
      {"the tag's MIME field is not trusted",
       id3w::tagV2(3, {apic(3, front, "image/gif")}),
       {},
       front},
      {"a picture of no known image kind is none, the folder's is taken",
       id3w::tagV2(3, {apic(3, std::string(500, 'x'))}) + audio,
       {{"Folder.PNG", folderPng}},
       folderPng},
      {"folder names in their order, any case",
       id3w::tagV2(3, {title}) + audio,
       {{"albumart.jpg", back}, {"FRONT.jpeg", front}, {"Cover.txt", "x"}},
       front},
      {"cover before folder, jpg before png",
       id3w::tagV2(3, {title}) + audio,
       {{"folder.jpg", back}, {"cover.png", folderPng}, {"cover.jpg", front}},
       front},
      {"a damaged v2.3 tag's picture, read after the repair",
       id3w::unsynchronisedSizesCountedAfter(
           {title, apic(4, std::string("\xFF\xD8\xFF\x00\xFF\x00", 6) + std::string(100, 'z')),
            apic(3, front)}) +
           audio,
       {},
       front},
      {"no cover anywhere", id3w::tagV2(3, {title}) + audio, {{"back.jpg", back}}, ""},
      {"over the limit counts as none",
       id3w::tagV2(3, {apic(3, jpeg(COVER_SIZE_LIMIT + 1, 'L'))}) + audio,
       {},
       ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string path = alone("song.mp3", c.file);
    const std::string folder = path.substr(0, path.rfind('/') + 1);
    for (const auto& [name, bytes] : c.beside) ASSERT_TRUE(id3w::writeFile(folder + name, bytes));
    const CoverPtr cover = coverOf(path);
    if (c.expected.empty()) {
      EXPECT_EQ(cover, nullptr);
      continue;
    }
    ASSERT_NE(cover, nullptr);
    EXPECT_EQ(cover->bytes, c.expected);
    EXPECT_STREQ(cover->mimeType, imageMimeType(c.expected));
  }
  // A track without a readable file takes the player's art file; a
  // readable one never does.
  const std::string art = write("art.jpg", front);
  const CoverPtr fromArt = coverOf(dir.path("gone.mp3"), &art);
  ASSERT_NE(fromArt, nullptr);
  EXPECT_EQ(fromArt->bytes, front);
  const std::string plain = alone("p.mp3", id3w::tagV2(3, {title}) + audio);
  EXPECT_EQ(coverOf(plain, &art), nullptr);
  EXPECT_EQ(coverOf(dir.path("gone.mp3")), nullptr);
}

TEST(CoverBytes, MimeTypeAndDigest) {
  struct Case {
    std::string bytes;
    const char* mime;
  } cases[] = {
      {"\xFF\xD8\xFF\xDB", "image/jpeg"},
      {"\x89PNG\r\n\x1A\n", "image/png"},
      {"GIF89a", "image/gif"},
      {"GIF87a", "image/gif"},
      {std::string("RIFF\x10\0\0\0WEBPVP8 ", 16), "image/webp"},
      {"BM" + std::string(12, '\0'), "image/bmp"},
      {"\xFF\xD8", nullptr},
      {std::string("RIFF\x10\0\0\0WAVEfmt ", 16), nullptr},
      {"<html>", nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.bytes);
    const char* mime = imageMimeType(c.bytes);
    EXPECT_EQ(mime == nullptr ? std::string("none") : std::string(mime),
              c.mime == nullptr ? std::string("none") : std::string(c.mime));
  }
  // FIPS 180 examples, and lengths around the padding's block edge.
  EXPECT_EQ(sha1Hex(""), "da39a3ee5e6b4b0d3255bfef95601890afd80709");
  EXPECT_EQ(sha1Hex("abc"), "a9993e364706816aba3e25717850c26c9cd0d89d");
  EXPECT_EQ(sha1Hex("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"),
            "84983e441c3bd26ebaae4aa1f95129e5e54670f1");
  EXPECT_EQ(sha1Hex(std::string(1000000, 'a')), "34aa973cd4c4daa4f61eeb2bdbad27316534016f");
}

TEST_F(Covers, KeptPerFileVersionAndSharedAcrossThreads) {
  const std::string audio = id3w::fakeAudio(2);
  auto tagged = [&](char fill) {
    id3w::Frame f = id3w::pictureFrame("image/jpeg", 3, "", 0);
    f.body += jpeg(5000, fill);
    return id3w::tagV2(3, {f}) + audio;
  };
  const std::string path = alone("k.mp3", tagged('a'));
  std::vector<CoverPtr> seen(4);
  std::vector<std::thread> threads;
  for (CoverPtr& slot : seen) threads.emplace_back([&slot, &path] { slot = coverOf(path); });
  for (std::thread& t : threads) t.join();
  for (const CoverPtr& c : seen) {
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(c->bytes, jpeg(5000, 'a'));
  }
  const CoverPtr kept = coverOf(path);
  EXPECT_EQ(coverOf(path), kept) << "the same object while the file is unchanged";
  // Re-tagged (another size): read again.
  ASSERT_TRUE(id3w::writeFile(path, tagged('b') + "x"));
  const CoverPtr again = coverOf(path);
  ASSERT_NE(again, nullptr);
  EXPECT_EQ(again->bytes, jpeg(5000, 'b'));
  EXPECT_EQ(kept->bytes, jpeg(5000, 'a')) << "a cover handed out never changes";
}

// The text read leaves picture data out, yet every frame, the picture's
// included, goes out as before.
TEST_F(Covers, TextReadGivesThePairsOfTagsWithLargePictures) {
  const id3w::Frame title = id3w::textFrame("TIT2", "Title");
  const id3w::Frame artist = id3w::textFrame("TPE1", "Artist");
  const id3w::Frame picture = id3w::pictureFrame("image/jpeg", 3, "desc", 200000);
  const std::string audio = id3w::fakeAudio(2);
  struct Case {
    const char* name;
    std::string bytes;
    std::string ext;
    std::string fragment;
  } cases[] = {
      {"v2.3", id3w::tagV2(3, {title, picture, artist}, 64) + audio, ".mp3",
       "wm_id3[47]=Title&wm_id3[2]=&wm_id3[61]=Artist"},
      {"v2.4", id3w::tagV2(4, {title, picture, artist}) + audio, ".mp3",
       "wm_id3[47]=Title&wm_id3[2]=&wm_id3[61]=Artist"},
      {"v2.4 with plain sizes", id3w::tagV24PlainSizes({title, picture, artist}) + audio, ".mp3",
       "wm_id3[47]=Title&wm_id3[2]=&wm_id3[61]=Artist"},
      {"v2.4, the picture after a plain-sized frame",
       id3w::tagV24PlainSizes(
           {id3w::commentFrame("eng", "", std::string(300, 'n')), picture, artist}) +
           audio,
       ".mp3", "wm_id3[4]=" + std::string(300, 'n') + "&wm_id3[2]=&wm_id3[61]=Artist"},
      {"v2.2",
       id3w::tagV22(
           0, {id3w::textFrame("TT2 ", "Title"),
               id3w::rawFrame("PIC ", std::string("\0JPG\x03\0", 6) + std::string(200000, 'p')),
               id3w::textFrame("TP1 ", "Artist")}) +
           audio,
       ".mp3", "wm_id3[47]=Title&wm_id3[2]=&wm_id3[61]=Artist"},
      {"v2.3 repaired too",
       id3w::tagV2(3, {id3w::rawFrame(
                           "TIT2", "\x01" + id3w::utf16Units(u"Zo\u00eb", id3w::ByteOrder::little)),
                       picture, artist}) +
           audio,
       ".mp3", "wm_id3[47]=Zo%C3%AB&wm_id3[2]=&wm_id3[61]=Artist"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(testing_support::tagFragment(write(fresh("x", c.ext), c.bytes)), c.fragment);
  }
}

// An ASF attribute list that declares more attributes than the rest of
// the file could hold is refused before TagLib reads it (for the text walk
// and the cover lookup alike); one that fits is read.
TEST_F(Covers, AsfListsLongerThanTheFileAreRefused) {
  const std::string header("\x30\x26\xB2\x75\x8E\x66\xCF\x11\xA6\xD9\x00\xAA\x00\x62\xCE\x6C", 16);
  const std::string extended("\x40\xA4\xD0\xD2\x07\xE3\xD2\x11\x97\xF0\x00\xA0\xC9\x5E\xA8\x50",
                             16);
  auto asf = [&](uint16_t count, size_t tail) {
    std::string out = header + std::string(14, '\0') + extended + std::string(8, '\0');
    out += static_cast<char>(count & 0xFF);
    out += static_cast<char>(count >> 8);
    return out + std::string(tail, '\0');
  };
  struct Case {
    const char* name;
    std::string bytes;
    bool safe;
  } cases[] = {
      {"65535 attributes in 300 bytes", asf(65535, 300), false},
      {"10 attributes in 59 bytes", asf(10, 59), false},
      {"10 attributes in 60 bytes", asf(10, 60), true},
      {"not ASF", "x" + asf(65535, 0), true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const MediaFileOwner media = openMediaFile(write(fresh("a", ".wma"), c.bytes).c_str());
    ASSERT_TRUE(media);
    EXPECT_EQ(asfCountsSafe(*media), c.safe);
  }
}

}  // namespace

// Not a test: what reading a file's tags costs per tick, against a bare
// loopback POST of the same bytes on a new connection, measured in one run.
// For a tag of 30 text frames (ID3v2.3 through id3lib, ID3v2.4 and FLAC
// through TagLib), each alone and with a 5 MB picture: the first read of the
// file, and the next tick on the unchanged file (the kept fragment); then
// the cover lookup of a 5 MB picture, cold and cached.
//   bench_tag_walk [repetitions]      (build with CMAKE_BUILD_TYPE=Release)
#include <curl/curl.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "tags/cover.h"
#include "tags/tag_fields.h"
#include "tests/gauntlet/fault_server.h"
#include "tests/support/bare_post.h"
#include "tests/support/id3_writer.h"
#include "tests/support/tag_fragment.h"

namespace {

using Clock = std::chrono::steady_clock;

double microseconds(Clock::duration d) {
  return std::chrono::duration<double, std::micro>(d).count();
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

using bench::barePost;

std::string le32(uint32_t v) {
  return {static_cast<char>(v), static_cast<char>(v >> 8), static_cast<char>(v >> 16),
          static_cast<char>(v >> 24)};
}
std::string be32(uint32_t v) {
  return {static_cast<char>(v >> 24), static_cast<char>(v >> 16), static_cast<char>(v >> 8),
          static_cast<char>(v)};
}
std::string flacBlock(int type, bool last, const std::string& body) {
  const uint32_t n = static_cast<uint32_t>(body.size());
  return std::string(1, static_cast<char>(type | (last ? 0x80 : 0))) + be32(n).substr(1) + body;
}

// A FLAC file's metadata: stream information, the comments, and a picture
// of pictureBytes bytes when asked for.
std::string flacFile(const std::vector<std::string>& comments, size_t pictureBytes) {
  std::string info = "\x10\x00\x10\x00" + std::string(6, '\0');
  info += std::string("\x0A\xC4\x40\xF0\x00\x00\x00\x00", 8) + std::string(16, '\0');
  std::string vorbis = le32(4) + "test" + le32(static_cast<uint32_t>(comments.size()));
  for (const auto& c : comments) vorbis += le32(static_cast<uint32_t>(c.size())) + c;
  std::string out = "fLaC" + flacBlock(0, false, info) + flacBlock(4, pictureBytes == 0, vorbis);
  if (pictureBytes > 0) {
    const std::string picture = be32(3) + be32(10) + "image/jpeg" + be32(0) +
                                std::string(16, '\0') + be32(static_cast<uint32_t>(pictureBytes)) +
                                std::string(pictureBytes, '\x5A');
    out += flacBlock(6, true, picture);
  }
  return out;
}

struct Timing {
  double first;  // median first read
  double kept;   // median next tick on the unchanged file
  double post;   // median bare POST of the same bytes
};

Timing measure(const std::string& path, const std::string& url, int repetitions) {
  std::vector<double> first, kept, post;
  for (int i = 0; i < repetitions; ++i) {
    forgetTagFields();
    auto t0 = Clock::now();
    // Each read as a tick makes it: the pairs, then the fragment written.
    const std::string fragment = testing_support::tagFragment(path);
    auto t1 = Clock::now();
    const std::string again = testing_support::tagFragment(path);
    auto t2 = Clock::now();
    if (fragment.empty() || fragment == "<none>" || fragment != again) {
      std::fprintf(stderr, "no fragment, or a different one, from %s\n", path.c_str());
      std::exit(1);
    }
    const std::string body = "wm_action=wm_data&wm_data[status]=1&wm_data[title]=x&" + fragment;
    auto t3 = Clock::now();
    if (!barePost(url, body)) std::fprintf(stderr, "bare post failed\n");
    auto t4 = Clock::now();
    first.push_back(microseconds(t1 - t0));
    kept.push_back(microseconds(t2 - t1));
    post.push_back(microseconds(t4 - t3));
  }
  return {median(first), median(kept), median(post)};
}

}  // namespace

int main(int argc, char** argv) {
  const int repetitions = argc > 1 ? std::max(1, std::atoi(argv[1])) : 41;
  for (const char* name : {"http_proxy", "https_proxy", "all_proxy", "HTTPS_PROXY", "ALL_PROXY"})
    unsetenv(name);
  gauntlet::FaultServer server;
  if (!server.ok()) {
    std::fprintf(stderr, "bench_tag_walk: cannot listen on 127.0.0.1\n");
    return 1;
  }
  server.stopKeeping();
  const std::string url = "http://127.0.0.1:" + std::to_string(server.port()) + "/np";

  static const char* const ids[] = {"TIT2", "TPE1", "TALB", "TCON", "TCOM",
                                    "TPE2", "TPE3", "TIT1", "TIT3", "TPUB"};
  static const char* const keys[] = {"TITLE",       "ARTIST",    "ALBUM",    "GENRE",    "COMPOSER",
                                     "ALBUMARTIST", "CONDUCTOR", "GROUPING", "SUBTITLE", "LABEL"};
  constexpr size_t PICTURE = 5 * 1024 * 1024;
  std::vector<id3w::Frame> texts;
  std::vector<std::string> comments;
  for (int i = 0; i < 30; ++i) {
    const std::string value = "Text of frame " + std::to_string(i);
    texts.push_back(id3w::textFrame(ids[i % 10], value));
    comments.push_back(std::string(keys[i % 10]) + "=" + value);
  }
  std::vector<id3w::Frame> withPicture = texts;
  withPicture.push_back(id3w::pictureFrame("image/jpeg", 3, "", PICTURE));

  id3w::TempDir dir;
  struct Kind {
    const char* name;
    std::string path;
    std::string bytes;
  } kinds[] = {
      {"ID3v2.3, 30 frames", dir.path("v23.mp3"), id3w::tagV2(3, texts) + id3w::fakeAudio(16)},
      {"ID3v2.3, + 5 MB picture", dir.path("v23p.mp3"),
       id3w::tagV2(3, withPicture) + id3w::fakeAudio(16)},
      {"ID3v2.4, 30 frames", dir.path("v24.mp3"), id3w::tagV2(4, texts) + id3w::fakeAudio(16)},
      {"ID3v2.4, + 5 MB picture", dir.path("v24p.mp3"),
       id3w::tagV2(4, withPicture) + id3w::fakeAudio(16)},
      {"FLAC, 30 comments", dir.path("a.flac"), flacFile(comments, 0)},
      {"FLAC, + 5 MB picture", dir.path("p.flac"), flacFile(comments, PICTURE)},
  };
  for (const auto& k : kinds) {
    if (!id3w::writeFile(k.path, k.bytes)) {
      std::fprintf(stderr, "cannot write %s\n", k.path.c_str());
      return 1;
    }
  }
  // Warm up: library set-up, first connections, the files in the page cache.
  for (const auto& k : kinds) measure(k.path, url, 3);

  std::printf("repetitions: %d (medians); POST = bare libcurl POST of the same body on 127.0.0.1\n",
              repetitions);
  std::printf("%-26s %10s %10s %10s %8s %8s\n", "file", "first us", "next us", "POST us", "first/P",
              "next/P");
  std::vector<Timing> timings;
  for (const auto& k : kinds) {
    const Timing t = measure(k.path, url, repetitions);
    timings.push_back(t);
    std::printf("%-26s %10.1f %10.1f %10.1f %8.2f %8.3f\n", k.name, t.first, t.kept, t.post,
                t.first / t.post, t.kept / t.post);
  }
  std::printf(
      "picture / no picture, first read: ID3v2.3 %.2f, ID3v2.4 %.2f, FLAC %.2f"
      "  (goal <= 3 each)\n",
      timings[1].first / timings[0].first, timings[3].first / timings[2].first,
      timings[5].first / timings[4].first);
  std::printf("goals: next tick <= 0.2 x POST; ID3v2.3 first read <= 1000 us\n");

  // The cover lookup of a 5 MB JPEG in an APIC frame: cold (nothing kept)
  // and cached (the same unchanged file again).
  id3w::Frame jpeg = id3w::pictureFrame("image/jpeg", 3, "", 0);
  jpeg.body += "\xFF\xD8\xFF\xE0";
  jpeg.body += std::string(PICTURE, '\x5A');
  const std::string coverPath = dir.path("cover.mp3");
  if (!id3w::writeFile(coverPath, id3w::tagV2(3, {texts[0], jpeg}) + id3w::fakeAudio(16))) return 1;
  platform::FileName coverName;
  platform::fileNameFromCodePage(coverPath.c_str(), &coverName);
  std::vector<double> cold, cached;
  for (int i = 0; i < repetitions; ++i) {
    forgetCovers();
    const auto t0 = Clock::now();
    const CoverPtr cover = lookUpCover(coverName, nullptr);
    const auto t1 = Clock::now();
    const CoverPtr again = lookUpCover(coverName, nullptr);
    const auto t2 = Clock::now();
    if (!cover || again != cover || cover->size() != PICTURE + 4) {
      std::fprintf(stderr, "bench_tag_walk: no cover found\n");
      return 1;
    }
    cold.push_back(microseconds(t1 - t0));
    cached.push_back(microseconds(t2 - t1));
  }
  std::printf("cover lookup, 5 MB APIC: cold %.1f us, cached %.1f us\n", median(cold),
              median(cached));
  return 0;
}

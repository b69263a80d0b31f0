// Fuzz target for the whole tag read: every input is checked as a tag by
// the repair pass, then written out as a media file and read back through
// collectTagFields, which picks id3lib or TagLib
// by the file's first bytes; the input's last byte picks the file's
// extension, which is what TagLib looks at first to decide the format; then
// the cover lookup reads the same file. Built for libFuzzer by
// scripts/fuzz (clang, -fsanitize=fuzzer), and with a plain main() that
// replays a corpus folder as a regression test in the ordinary builds.
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <string>

#include "base/state.h"
#include "platform/port.h"
#include "tags/cover.h"
#include "tags/id3v2_guard.h"
#include "tags/id3v2_repair.h"
#include "tags/tag_fields.h"
#include "tests/support/tag_fragment.h"

namespace {

const char* const EXTENSIONS[] = {".mp3", "",    ".m4a", ".flac", ".ogg", ".opus", ".oga", ".wma",
                                  ".ape", ".wv", ".mpc", ".wav",  ".aif", ".tta",  ".spx", ".mp4"};

std::string scratchPath(const uint8_t* data, size_t size) {
  static const std::string base = [] {
    const char* dir = std::getenv("TMPDIR");
    return std::string(dir != nullptr && *dir != '\0' ? dir : "/tmp") + "/trellicast-fuzz-" +
           std::to_string(getpid());
  }();
  const size_t pick = size > 0 ? data[size - 1] % std::size(EXTENSIONS) : 0;
  return base + EXTENSIONS[pick];
}

// The repair pass on the input as a tag: a repaired tag needs no repair
// again, and holds nothing id3lib faults on, whatever its build.
void checkRepair(const uint8_t* data, size_t size) {
  std::string repaired;
  if (!repairId3v2Tag(data, size, repaired)) return;
  std::string again;
  const auto* bytes = reinterpret_cast<const unsigned char*>(repaired.data());
  if (repairId3v2Tag(bytes, repaired.size(), again)) __builtin_trap();
  const TagByteReader reader = [&](uint64_t offset, unsigned char* out, size_t count) -> size_t {
    if (offset >= repaired.size()) return 0;
    const size_t n = std::min<size_t>(count, repaired.size() - offset);
    std::memcpy(out, bytes + offset, n);
    return n;
  };
  if (repaired[3] != 4 && !id3v2TagsSafe(reader, repaired.size(), Id3v2GuardRules{true}))
    __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  checkRepair(data, size);
  const std::string path = scratchPath(data, size);
  // The input's last byte but one picks the text mode.
  utf8Setting = size < 2 || (data[size - 2] & 1) != 0;
  // Every input is read afresh, never handed out from the kept fragment of
  // the input before it.
  forgetTagFields();
  FILE* f = std::fopen(path.c_str(), "wb");
  if (f == nullptr) return 0;
  if (size > 0 && std::fwrite(data, 1, size, f) != size) {
    std::fclose(f);
    return 0;
  }
  std::fclose(f);

  const std::optional<TagPairs> pairs = collectTagFields(path.c_str());
  if (pairs) {
    // The fragment must stay below its size and hold only form-safe bytes:
    // pairs of wm_id3[n]=escaped text joined by '&'.
    const std::string fragment = testing_support::tagFragment(pairs);
    if (fragment.size() >= TAG_FRAGMENT_SIZE) __builtin_trap();
    for (const char b : fragment) {
      const auto c = static_cast<unsigned char>(b);
      if (c <= 0x20 || c >= 0x7F) __builtin_trap();
    }
    if (!fragment.empty() && fragment.compare(0, 7, "wm_id3[") != 0) __builtin_trap();
  }
  // The cover lookup on the same file (its tag's pictures through TagLib,
  // pictures and all): a cover it gives is an image of a known kind within
  // the limit, its digest that of its bytes.
  forgetCovers();
  platform::FileName name;
  if (platform::fileNameFromCodePage(path.c_str(), &name) == 0) {
    const CoverPtr cover = lookUpCover(name, nullptr);
    if (cover && (cover->size() > COVER_SIZE_LIMIT || cover->mimeType == nullptr ||
                  imageMimeType(cover->bytes) != cover->mimeType || cover->sha1.size() != 40))
      __builtin_trap();
  }
  std::remove(path.c_str());
  return 0;
}

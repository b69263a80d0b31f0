// Reads media files through the tag walk as the plug-in does, for the
// corpus check (tests/tags/corpus_check.py):
//   tag_corpus_read [--stored] FILE...   a line per file: microseconds of its
//                                        first read, whether its leading tag
//                                        needs repair (1/0),
//                                        the path, then number:hex-of-text
//                                        for each pair; --stored reads with
//                                        utf8Setting off
//   tag_corpus_read --write-cases DIR    writes the hand-made tags of each
//                                        kind of damage, and their pairs
//                                        expected in DIR/expected.txt
//   tag_corpus_read --numbers ID...      id3lib's number for each frame id
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>

#include "base/state.h"
#include "tags/frame_numbers.h"
#include "tags/id3v2_repair.h"
#include "tags/media_file.h"
#include "tags/tag_fields.h"
#include "tests/support/id3_writer.h"
#include "tests/tags/repair_cases.h"

namespace {

// "1" when the file's leading tag needs repair.
const char* repairedMark(const char* path) {
  try {
    const MediaFileOwner media = openMediaFile(path);
    if (!media) return "0";
    repairLeadingTag(*media);
    return media->head.empty() ? "0" : "1";
  } catch (...) {
    return "0";
  }
}

int writeCases(const std::string& dir) {
  std::FILE* expected = std::fopen((dir + "/expected.txt").c_str(), "w");
  if (expected == nullptr) return 1;
  int i = 0;
  for (const repair_cases::Case& c : repair_cases::all()) {
    const std::string name = "case" + std::to_string(i++) + c.ext;
    if (!id3w::writeFile(dir + "/" + name, c.bytes)) return 1;
    std::fprintf(expected, "%s\t%s\t", name.c_str(), c.name);
    for (const char ch : c.pairs) std::fprintf(expected, "%02x", static_cast<unsigned char>(ch));
    std::fprintf(expected, "\n");
  }
  return std::fclose(expected) == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 3 && std::strcmp(argv[1], "--write-cases") == 0) return writeCases(argv[2]);
  if (argc >= 2 && std::strcmp(argv[1], "--numbers") == 0) {
    for (int i = 2; i < argc; ++i) {
      const bool four = std::strlen(argv[i]) == 4;
      std::printf("%s %d\n", argv[i], four ? frameNumber(argv[i]) : 0);
    }
    return 0;
  }
  int first = 1;
  if (argc >= 2 && std::strcmp(argv[1], "--stored") == 0) {
    utf8Setting = false;
    first = 2;
  }
  for (int i = first; i < argc; ++i) {
    forgetTagFields();
    const auto start = std::chrono::steady_clock::now();
    const std::optional<TagPairs> pairs = collectTagFields(argv[i]);
    const auto us = std::chrono::duration_cast<std::chrono::microseconds>(
                        std::chrono::steady_clock::now() - start)
                        .count();
    std::printf("%lld\t%s\t%s\t", static_cast<long long>(us), repairedMark(argv[i]), argv[i]);
    if (pairs) {
      for (const TagPair& p : *pairs) {
        std::printf("%d:", p.number);
        for (const char ch : p.text) std::printf("%02x", static_cast<unsigned char>(ch));
        std::printf(" ");
      }
    }
    std::printf("\n");
  }
  return 0;
}

// Not a test: the time collectTagFields takes on a tag with 30 text frames
// and a 5 MB picture, against the same 30 text frames alone.
//   bench_tag_walk [repetitions]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "tags/tag_fields.h"
#include "tests/support/id3_writer.h"

namespace {

double medianMicroseconds(const std::string& path, int repetitions) {
  std::vector<double> times;
  for (int i = 0; i < repetitions; ++i) {
    const auto start = std::chrono::steady_clock::now();
    const Buffer fragment = collectTagFields(path.c_str());
    const auto end = std::chrono::steady_clock::now();
    if (!fragment || fragment[0] == '\0') {
      std::fprintf(stderr, "no fragment from %s\n", path.c_str());
      std::exit(1);
    }
    times.push_back(std::chrono::duration<double, std::micro>(end - start).count());
  }
  std::sort(times.begin(), times.end());
  return times[times.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  const int repetitions = argc > 1 ? std::max(1, std::atoi(argv[1])) : 15;
  static const char* const ids[] = {"TIT2", "TPE1", "TALB", "TYER", "TCON",
                                    "TCOM", "TPE2", "TPE3", "TIT1", "TIT3"};
  std::vector<id3w::Frame> texts;
  for (int i = 0; i < 30; ++i)
    texts.push_back(id3w::textFrame(ids[i % 10], "Text of frame " + std::to_string(i)));
  std::vector<id3w::Frame> withPicture = texts;
  withPicture.push_back(id3w::pictureFrame("image/jpeg", 3, "", 5 * 1024 * 1024));

  id3w::TempDir dir;
  const std::string plain = dir.path("texts.mp3");
  const std::string picture = dir.path("texts-picture.mp3");
  if (!id3w::writeFile(plain, id3w::tagV2(3, texts) + id3w::fakeAudio(16)) ||
      !id3w::writeFile(picture, id3w::tagV2(3, withPicture) + id3w::fakeAudio(16))) {
    std::fprintf(stderr, "cannot write the test files\n");
    return 1;
  }
  const double textOnly = medianMicroseconds(plain, repetitions);
  const double withApic = medianMicroseconds(picture, repetitions);
  std::printf("repetitions: %d (median)\n", repetitions);
  std::printf("30 text frames:               %10.1f us\n", textOnly);
  std::printf("30 text frames + 5 MB APIC:   %10.1f us\n", withApic);
  std::printf("ratio:                        %10.1f\n", withApic / textOnly);
  return 0;
}

// id3lib fed through our reader finds exactly the frames it finds when it
// opens the file by name itself: the whole fuzz corpus (damaged tags of every
// kind id3lib reads) and the unchanged ID3v1/v2.2/v2.3 posts.
#include <gtest/gtest.h>
#include <id3.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "base/buffer.h"
#include "tags/id3v2_guard.h"
#include "tags/media_file.h"
#include "tags/readers.h"
#include "tags/tag_fields.h"
#include "tests/support/fake_platform.h"
#include "tests/support/id3_writer.h"

namespace {

// The frames (number and value) id3lib gives when it links the file by name.
std::vector<std::pair<int, std::string>> framesByName(const std::string& path) {
  std::vector<std::pair<int, std::string>> out;
  ID3Tag* tag = ID3Tag_New();
  ID3Tag_Link(tag, path.c_str());
  ID3TagIterator* it = ID3Tag_CreateIterator(tag);
  while (const ID3Frame* frame = ID3TagIterator_GetNext(it)) {
    char text[FRAME_TEXT_CHARS + 1] = {};
    const ID3Field* field = ID3Frame_GetField(frame, ID3FN_TEXT);
    if (field != nullptr) ID3Field_GetASCII(field, text, FRAME_TEXT_CHARS);
    out.emplace_back(static_cast<int>(ID3Frame_GetID(frame)), text);
  }
  ID3TagIterator_Delete(it);
  ID3Tag_Delete(tag);
  return out;
}

// The same through walkId3lib and our reader (single-byte text only, as
// above: the UTF-16 decoding is the same code either way).
std::vector<std::pair<int, std::string>> framesByReader(MediaFile& media) {
  std::vector<std::pair<int, std::string>> out;
  FrameSink sink = [&](int number, const char* value) {
    out.emplace_back(number, value);
    return true;
  };
  walkId3lib(media, sink, Latin1Text::asStored);
  return out;
}

TEST(ReaderParity, CorpusFramesAsWhenId3libOpensTheFile) {
  fake::reset();
  std::vector<std::filesystem::path> inputs;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(TRELLICAST_FUZZ_CORPUS)) {
    if (entry.is_regular_file()) inputs.push_back(entry.path());
  }
  std::sort(inputs.begin(), inputs.end());
  ASSERT_GT(inputs.size(), 100u);
  size_t compared = 0, withFrames = 0;
  for (const auto& input : inputs) {
    const std::string path = input.string();
    const MediaFileOwner media = openMediaFile(path.c_str());
    ASSERT_TRUE(media) << path;
    // Only what id3lib may parse at all, and what it is still asked for.
    if (!id3v2MediaSafe(*media) || startsWithId3v24(*media)) continue;
    SCOPED_TRACE(path);
    const auto byName = framesByName(path);
    auto byReader = framesByReader(*media);
    // UTF-16 values: by name the getter above leaves them empty.
    for (size_t i = 0; i < byReader.size() && i < byName.size(); ++i) {
      if (byName[i].second.empty()) byReader[i].second.clear();
    }
    EXPECT_EQ(byReader, byName);
    ++compared;
    if (!byName.empty()) ++withFrames;
  }
  EXPECT_GT(compared, 100u);
  EXPECT_GT(withFrames, 50u);
}

}  // namespace

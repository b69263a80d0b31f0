#include "tags/tag_fields.h"

#include <new>

#include "base/boxes.h"
#include "base/state.h"
#include "platform/port.h"
#include "tags/media_file.h"
#include "tags/readers.h"

namespace {

// The last file read: its name, its stamp at the time and its pairs.
struct KeptPairs {
  bool valid = false;
  std::string name;       // the file name's native form
  bool utf8Text = false;  // utf8Setting when they were read
  platform::FileStamp stamp{};
  TagPairs pairs;
};
KeptPairs kept;

}  // namespace

std::optional<TagPairs> collectTagFields(const platform::FileName& fileName) {
  try {
    platform::FileStamp stamp{};
    const bool stamped = platform::fileStamp(fileName, &stamp);
    if (stamped && kept.valid && kept.name == fileName.native && kept.utf8Text == utf8Setting &&
        kept.stamp.size == stamp.size && kept.stamp.modified == stamp.modified) {
      return kept.pairs;
    }
    kept.valid = false;
    TagPairs pairs;
    // A file that cannot be opened gives no pairs.
    const MediaFileOwner media = openMediaFile(fileName);
    if (!media) return pairs;
    size_t total = 0;
    bool outOfMemory = false;
    FrameSink sink = [&](int number, const char* value) {
      try {
        pairs.push_back({number, value});
      } catch (const std::bad_alloc&) {
        outOfMemory = true;
        return false;
      }
      total += pairs.back().text.size();
      return total <= TAG_FRAGMENT_SIZE;
    };
    walkMediaFile(*media, sink, utf8Setting ? Latin1Text::asUtf8 : Latin1Text::asStored);
    if (outOfMemory) throw std::bad_alloc();
    if (stamped) {
      kept.name = fileName.native;
      kept.utf8Text = utf8Setting;
      kept.pairs = pairs;
      kept.stamp = stamp;
      kept.valid = true;
    }
    return pairs;
  } catch (const std::bad_alloc&) {
    kept.valid = false;
    reportError("Out of memory");
    return std::nullopt;
  }
}

void forgetTagFields() { kept.valid = false; }

namespace {

// The pairs of a file by a name the player gave, once in the system's form
// (error 0): no pairs for a name no file can have; none, after the box, when
// memory runs out.
std::optional<TagPairs> collectByName(uint32_t error, const platform::FileName& name) {
  if (error == 0) return collectTagFields(name);
  if (error != platform::NOT_ENOUGH_MEMORY) return TagPairs();
  reportError("Out of memory");
  return std::nullopt;
}

}  // namespace

std::optional<TagPairs> collectTagFields(const char* fileName) {
  platform::FileName name;
  return collectByName(platform::fileNameFromCodePage(fileName, &name), name);
}

std::optional<TagPairs> collectTagFieldsWide(const uint16_t* wideName) {
  platform::FileName name;
  return collectByName(platform::fileNameFromWide(wideName, &name), name);
}

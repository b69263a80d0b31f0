#include "tags/tag_fields.h"

#include <new>

#include "base/boxes.h"
#include "base/state.h"
#include "platform/port.h"
#include "tags/media_file.h"
#include "tags/readers.h"
#include "tags/unicode_text.h"

namespace {

// The last file read: its name, its stamp at the time and its pairs.
struct KeptPairs {
  bool valid = false;
  std::string name;
  bool utf8Name = false;
  bool utf8Text = false;  // utf8Setting when they were read
  platform::FileStamp stamp{};
  TagPairs pairs;
};
KeptPairs kept;

}  // namespace

std::optional<TagPairs> collectTagFields(const char* fileName, bool utf8Name) {
  try {
    platform::FileStamp stamp{};
    const bool stamped = platform::fileStamp(fileName, utf8Name, &stamp);
    if (stamped && kept.valid && kept.name == fileName && kept.utf8Name == utf8Name &&
        kept.utf8Text == utf8Setting && kept.stamp.size == stamp.size &&
        kept.stamp.modified == stamp.modified) {
      return kept.pairs;
    }
    kept.valid = false;
    TagPairs pairs;
    // A file that cannot be opened gives no pairs.
    const MediaFileOwner media = openMediaFile(fileName, utf8Name);
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
    walkMediaFile(*media, sink, utf8Setting ? Latin1Text::AsUtf8 : Latin1Text::AsStored);
    if (outOfMemory) throw std::bad_alloc();
    if (stamped) {
      kept.name = fileName;
      kept.utf8Name = utf8Name;
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

std::optional<TagPairs> collectTagFieldsWide(const uint16_t* wideName) {
  // Longer than any path the system opens.
  constexpr size_t MAX_UNITS = 32768;
  size_t units = 0;
  while (units < MAX_UNITS && wideName[units] != 0) ++units;
  if (units == MAX_UNITS) return TagPairs();
  try {
    std::string bigEndian(2 * units, '\0');
    for (size_t i = 0; i < units; ++i) {
      bigEndian[2 * i] = static_cast<char>(wideName[i] >> 8);
      bigEndian[2 * i + 1] = static_cast<char>(wideName[i] & 0xFF);
    }
    // Every unit gives at most three UTF-8 bytes (a surrogate pair four).
    std::string name(3 * units + 1, '\0');
    utf16ToUtf8(reinterpret_cast<const unsigned char*>(bigEndian.data()), units, name.data(),
                3 * units);
    return collectTagFields(name.c_str(), true);
  } catch (const std::bad_alloc&) {
    reportError("Out of memory");
    return std::nullopt;
  }
}

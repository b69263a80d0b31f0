#include "tags/tag_fields.h"

#include <cstring>
#include <string>

#include "platform/port.h"
#include "tags/fragment.h"
#include "tags/id3v2_guard.h"
#include "tags/media_file.h"
#include "tags/readers.h"
#include "tags/unicode_text.h"

namespace {

// The last file read: its name, its stamp at the time and its fragment.
struct KeptFragment {
  bool valid = false;
  std::string name;
  bool utf8Name = false;
  platform::FileStamp stamp{};
  std::string fragment;
};
KeptFragment kept;

}  // namespace

Buffer collectTagFields(const char* fileName, bool utf8Name) {
  Buffer fragment = allocZeroed(TAG_FRAGMENT_SIZE);
  if (!fragment) return nullptr;
  platform::FileStamp stamp{};
  const bool stamped = platform::fileStamp(fileName, utf8Name, &stamp);
  if (stamped && kept.valid && kept.name == fileName && kept.utf8Name == utf8Name &&
      kept.stamp.size == stamp.size && kept.stamp.modified == stamp.modified) {
    std::memcpy(fragment.get(), kept.fragment.data(), kept.fragment.size());
    return fragment;
  }
  kept.valid = false;
  // A file that cannot be opened gives the empty fragment.
  const MediaFileOwner media = openMediaFile(fileName, utf8Name);
  if (!media) return fragment;
  FragmentBuilder builder{fragment.get()};
  FrameSink sink{[&](int number, const char* value) { return appendFrame(builder, number, value); },
                 [&] { finishFragment(builder); }};
  walkMediaFile(*media, sink);
  // A fragment that lost a value for want of memory is not kept: the next
  // tick tries again.
  if (stamped && !builder.lossy) {
    try {
      kept.name = fileName;
      kept.utf8Name = utf8Name;
      kept.fragment.assign(fragment.get(), builder.used);
      kept.stamp = stamp;
      kept.valid = true;
    } catch (...) {
      // Without memory for the copy, the next tick reads the file again.
    }
  }
  return fragment;
}

void forgetTagFields() { kept.valid = false; }

Buffer collectTagFieldsWide(const uint16_t* wideName) {
  // Longer than any path the system opens.
  constexpr size_t MAX_UNITS = 32768;
  size_t units = 0;
  while (units < MAX_UNITS && wideName[units] != 0) ++units;
  if (units == MAX_UNITS) return allocZeroed(TAG_FRAGMENT_SIZE);
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
}

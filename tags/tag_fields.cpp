#include "tags/tag_fields.h"

#include <cstring>
#include <string>

#include "platform/port.h"
#include "tags/fragment.h"
#include "tags/id3v2_guard.h"
#include "tags/media_file.h"
#include "tags/readers.h"

namespace {

// The last file read: its name, its stamp at the time and its fragment.
struct KeptFragment {
  bool valid = false;
  std::string name;
  platform::FileStamp stamp{};
  std::string fragment;
};
KeptFragment kept;

}  // namespace

Buffer collectTagFields(const char* fileName) {
  Buffer fragment = allocZeroed(TAG_FRAGMENT_SIZE);
  if (!fragment) return nullptr;
  platform::FileStamp stamp{};
  const bool stamped = platform::fileStamp(fileName, &stamp);
  if (stamped && kept.valid && kept.name == fileName && kept.stamp.size == stamp.size &&
      kept.stamp.modified == stamp.modified) {
    std::memcpy(fragment.get(), kept.fragment.data(), kept.fragment.size());
    return fragment;
  }
  kept.valid = false;
  // A file that cannot be opened gives the empty fragment.
  const MediaFileOwner media = openMediaFile(fileName);
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

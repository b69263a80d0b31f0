#include "report/snapshot.h"

#include <new>
#include <string>
#include <utility>
#include <vector>

#include "base/boxes.h"
#include "base/buffer.h"
#include "base/player.h"
#include "base/state.h"
#include "report/title.h"
#include "tags/tag_fields.h"

namespace {

// The terminated UTF-16 text in UTF-8; empty when it cannot be converted.
std::string utf8OfWide(const uint16_t* wide) {
  const int size = platform::wideToMultiByte(platform::UTF8_CODE_PAGE, wide, -1, nullptr, 0);
  if (size <= 1) return {};
  std::string out(static_cast<size_t>(size), '\0');
  if (platform::wideToMultiByte(platform::UTF8_CODE_PAGE, wide, -1, out.data(), size) != size)
    return {};
  out.pop_back();  // the terminator
  return out;
}

// The terminated text in the player's code page, in UTF-8.
std::string utf8OfCodePage(const char* text) {
  if (platform::ansiCodePage() == platform::UTF8_CODE_PAGE) return text;
  const int units = platform::multiByteToWide(platform::ANSI_CODE_PAGE, text, -1, nullptr, 0);
  if (units <= 1) return {};
  std::vector<uint16_t> wide(static_cast<size_t>(units));
  if (platform::multiByteToWide(platform::ANSI_CODE_PAGE, text, -1, wide.data(), units) != units)
    return {};
  return utf8OfWide(wide.data());
}

std::vector<SnapshotFrame> framesOf(const TagPairs& pairs) {
  std::vector<SnapshotFrame> frames;
  frames.reserve(pairs.size());
  for (const TagPair& pair : pairs) frames.push_back({pair.number, pair.text});
  return frames;
}

void readInto(platform::WindowHandle window, PlayerSnapshot& snapshot) {
  snapshot.status = static_cast<long>(platform::sendUserMessage(window, 0, GET_STATUS));
  snapshot.position = platform::sendUserMessage(window, 0, GET_LIST_POSITION);
  {
    Buffer converted;
    snapshot.title = entryTitle(window, snapshot.position, converted);
  }
  // The post's title is UTF-8 already unless it is the code page's.
  snapshot.titleUtf8 = utf8Setting ? snapshot.title : utf8OfCodePage(snapshot.title.c_str());

  // The file, by its wide name first, so that names outside the code page
  // open too.
  const auto entry = static_cast<uintptr_t>(snapshot.position);
  std::optional<TagPairs> pairs;
  const intptr_t wideName = platform::sendUserMessage(window, entry, GET_FILE_NAME_WIDE);
  if (wideName != 0 && wideName != 1) {
    const auto* name = reinterpret_cast<const uint16_t*>(wideName);
    snapshot.hasFile = true;
    snapshot.fileName = utf8OfWide(name);
    pairs = collectTagFieldsWide(name);
  } else {
    const auto* name =
        reinterpret_cast<const char*>(platform::sendUserMessage(window, entry, GET_FILE_NAME));
    if (name != nullptr) {
      snapshot.hasFile = true;
      snapshot.fileName = utf8OfCodePage(name);
      pairs = collectTagFields(name);
    }
  }
  if (pairs) snapshot.frames = framesOf(*pairs);
}

}  // namespace

std::optional<PlayerSnapshot> readPlayer(platform::WindowHandle window) {
  try {
    PlayerSnapshot snapshot;
    readInto(window, snapshot);
    return snapshot;
  } catch (const std::bad_alloc&) {
    reportError("Out of memory");
    return std::nullopt;
  }
}

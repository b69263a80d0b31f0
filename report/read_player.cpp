#include "report/read_player.h"

#include <new>
#include <string>
#include <utility>
#include <vector>

#include "base/boxes.h"
#include "base/buffer.h"
#include "base/player.h"
#include "base/state.h"
#include "platform/unicode.h"
#include "report/title.h"
#include "tags/tag_fields.h"

namespace {

// The terminated text in the player's code page, in UTF-8; empty when it
// cannot be converted.
std::string utf8OfCodePage(const char* text) {
  std::string utf8;
  if (platform::codePageToUtf8(text, &utf8) != 0) return {};
  return utf8;
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
  const intptr_t elapsed = platform::sendUserMessage(window, 0, GET_OUTPUT_TIME);
  const intptr_t seconds = platform::sendUserMessage(window, 1, GET_OUTPUT_TIME);
  snapshot.elapsedMs = elapsed >= 0 ? static_cast<int64_t>(elapsed) : -1;
  snapshot.lengthMs = seconds > 0 ? static_cast<int64_t>(seconds) * 1000 : -1;
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
    size_t units = 0;
    if (platform::wideNameUnits(name, &units))
      snapshot.fileName = unicode::utf16ToUtf8(name, units);
    (void)platform::fileNameFromWide(name, &snapshot.file);
    pairs = collectTagFieldsWide(name);
  } else {
    const auto* name =
        reinterpret_cast<const char*>(platform::sendUserMessage(window, entry, GET_FILE_NAME));
    if (name != nullptr) {
      snapshot.hasFile = true;
      snapshot.fileName = utf8OfCodePage(name);
      (void)platform::fileNameFromCodePage(name, &snapshot.file);
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

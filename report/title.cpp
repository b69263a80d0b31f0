#include "report/title.h"

#include <cstring>
#include <new>
#include <string>

#include "base/boxes.h"
#include "base/player.h"
#include "base/state.h"
#include "platform/unicode.h"

namespace {

// The UTF-8 text in a new buffer; none when it cannot be allocated.
Buffer bufferOf(const std::string& text) {
  Buffer out = allocZeroed(text.size() + 1);
  if (out) std::memcpy(out.get(), text.c_str(), text.size() + 1);
  return out;
}

// The terminated UTF-16 text as UTF-8 in a new buffer; none when it cannot
// be converted or allocated.
Buffer utf8FromWide(const uint16_t* wide) {
  try {
    size_t units = 0;
    while (wide[units] != 0) ++units;
    return bufferOf(unicode::utf16ToUtf8(wide, units));
  } catch (const std::bad_alloc&) {
    reportError("Out of memory");
    return nullptr;
  }
}

// The terminated code-page text as UTF-8 in a new buffer; none when it
// cannot be converted or allocated.
Buffer utf8FromCodePage(const char* text) {
  std::string utf8;
  const uint32_t error = platform::codePageToUtf8(text, &utf8);
  if (error == platform::NOT_ENOUGH_MEMORY) reportError("Out of memory");
  if (error != 0) return nullptr;
  return bufferOf(utf8);
}

const char* held(Buffer& converted, Buffer text) {
  converted = std::move(text);
  return converted ? converted.get() : "";
}

}  // namespace

const char* entryTitle(platform::WindowHandle window, intptr_t position, Buffer& converted) {
  const auto entry = static_cast<uintptr_t>(position);
  if (utf8Setting) {
    const intptr_t wide = platform::sendUserMessage(window, entry, GET_TITLE_WIDE);
    if (wide != 0 && wide != 1) {
      return held(converted, utf8FromWide(reinterpret_cast<const uint16_t*>(wide)));
    }
  }
  const auto* title =
      reinterpret_cast<const char*>(platform::sendUserMessage(window, entry, GET_TITLE));
  if (title == nullptr) return "";
  if (!utf8Setting || platform::codePageIsUtf8()) return title;
  return held(converted, utf8FromCodePage(title));
}

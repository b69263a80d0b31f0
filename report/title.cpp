#include "report/title.h"

#include "base/player.h"
#include "base/state.h"

namespace {

// The terminated UTF-16 text as UTF-8 in a new buffer; none when it cannot
// be converted or allocated.
Buffer utf8FromWide(const uint16_t* wide) {
  const int size = platform::wideToMultiByte(platform::UTF8_CODE_PAGE, wide, -1, nullptr, 0);
  if (size <= 0) return nullptr;
  Buffer out = allocZeroed(static_cast<size_t>(size));
  if (!out) return nullptr;
  if (platform::wideToMultiByte(platform::UTF8_CODE_PAGE, wide, -1, out.get(), size) != size)
    return nullptr;
  return out;
}

// The terminated code-page text as UTF-8 in a new buffer, through UTF-16;
// none when it cannot be converted or allocated.
Buffer utf8FromCodePage(const char* text) {
  const int units = platform::multiByteToWide(platform::ANSI_CODE_PAGE, text, -1, nullptr, 0);
  if (units <= 0) return nullptr;
  const Buffer wide = allocZeroed(static_cast<size_t>(units) * sizeof(uint16_t));
  if (!wide) return nullptr;
  auto* units16 = reinterpret_cast<uint16_t*>(wide.get());
  if (platform::multiByteToWide(platform::ANSI_CODE_PAGE, text, -1, units16, units) != units)
    return nullptr;
  return utf8FromWide(units16);
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
  if (!utf8Setting || platform::ansiCodePage() == platform::UTF8_CODE_PAGE) return title;
  return held(converted, utf8FromCodePage(title));
}

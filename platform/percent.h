// Percent-escaping: every byte a caller does not keep is written as "%XX"
// with upper-case hex digits. The form body's values keep A-Z a-z 0-9 - . _ ~
// (escapeValue); the POSIX settings file keeps printable ASCII but space and
// "%"; the POSIX HTTP client's request target keeps visible ASCII but "#".
// Header-only, so the POSIX backend shares it without the core.
#pragma once

#include <string_view>

// Writes bytes to out, escaping every byte for which keep is false; returns
// the position after the last byte written.
template <typename Keep, typename Out>
Out percentEscape(std::string_view bytes, Keep keep, Out out) {
  constexpr char HEX[] = "0123456789ABCDEF";
  for (const char c : bytes) {
    const auto b = static_cast<unsigned char>(c);
    if (keep(b)) {
      *out++ = c;
    } else {
      *out++ = '%';
      *out++ = HEX[b >> 4];
      *out++ = HEX[b & 0x0F];
    }
  }
  return out;
}

// Reads a posted form body back into its fields, undoing the %XX escapes,
// so tests can check that what arrived is what the player said.
#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace gauntlet {

using Fields = std::vector<std::pair<std::string, std::string>>;

inline int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;  // the plug-in writes upper-case escapes only
}

// Undoes %XX escapes; none when an escape is cut or not hex, or when a byte
// appears raw that the plug-in always escapes.
inline std::optional<std::string> unescape(const std::string& text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '%') {
      if (i + 2 >= text.size()) return std::nullopt;
      const int hi = hexValue(text[i + 1]);
      const int lo = hexValue(text[i + 2]);
      if (hi < 0 || lo < 0) return std::nullopt;
      out += static_cast<char>(hi * 16 + lo);
      i += 2;
    } else if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
               c == '-' || c == '.' || c == '_' || c == '~') {
      out += c;
    } else {
      return std::nullopt;
    }
  }
  return out;
}

// "k=v&k=v..." into (key, unescaped value) pairs. A trailing "&" (a file
// without tags) gives no pair. Keys are kept as written.
inline std::optional<Fields> parseForm(const std::string& body) {
  Fields fields;
  size_t at = 0;
  while (at < body.size()) {
    size_t end = body.find('&', at);
    if (end == std::string::npos) end = body.size();
    const std::string pair = body.substr(at, end - at);
    const size_t eq = pair.find('=');
    if (eq == std::string::npos) return std::nullopt;
    auto value = unescape(pair.substr(eq + 1));
    if (!value) return std::nullopt;
    fields.emplace_back(pair.substr(0, eq), *value);
    at = end + 1;
  }
  return fields;
}

}  // namespace gauntlet

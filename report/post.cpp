#include "report/post.h"

#include <cstdio>
#include <cstring>

#include "base/buffer.h"

namespace {

constexpr const char* AGENT = "Trellicast";
constexpr const char* HEADER_FORMAT =
    "Content-Type: application/x-www-form-urlencoded\nHost: %s\nContent-Length: %ld\n";
constexpr size_t HEADER_BLOCK_SIZE = 1024;

void copySpan(char* out, const char* text, size_t length) {
  std::memcpy(out, text, length);
  out[length] = '\0';
}

// The Host header's value: the URL's host (with its brackets when it is an
// IPv6 literal) and, when the URL names one, ":port"; nothing after the
// authority. False when it would not fit the header block.
bool makeHostToken(const char* url, const platform::UrlComponents& parts, char* token) {
  const char* start = parts.host.text;
  if (start > url && start[-1] == '[') --start;
  const char* end = parts.host.text + parts.host.length;
  while (*end != '\0' && *end != '/' && *end != '?' && *end != '#') ++end;
  const size_t length = static_cast<size_t>(end - start);
  if (length > HOST_TOKEN_MAX) return false;
  copySpan(token, start, length);
  return true;
}

// Path and query, never the fragment; "/" stands for an empty path.
void makeTarget(const platform::UrlComponents& parts, char* target) {
  size_t n = 0;
  if (parts.path.length == 0) {
    target[n++] = '/';
  } else {
    std::memcpy(target, parts.path.text, parts.path.length);
    n = parts.path.length;
  }
  for (size_t i = 0; i < parts.extra.length && parts.extra.text[i] != '#'; ++i)
    target[n++] = parts.extra.text[i];
  target[n] = '\0';
}

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

}  // namespace

void percentDecode(const char* text, size_t length, char* out, size_t capacity) {
  if (capacity == 0) return;
  size_t n = 0;
  for (size_t i = 0; i < length && n + 1 < capacity; ++i) {
    const int high = i + 2 < length && text[i] == '%' ? hexValue(text[i + 1]) : -1;
    const int low = high >= 0 ? hexValue(text[i + 2]) : -1;
    if (low >= 0 && (high | low) != 0) {
      out[n++] = static_cast<char>(high << 4 | low);
      i += 2;
    } else {
      out[n++] = text[i];
    }
  }
  out[n] = '\0';
}

bool splitDestination(const char* url, Destination* destination, uint32_t* error) {
  platform::UrlComponents parts{};
  if (!platform::crackUrl(url, std::strlen(url), &parts) ||
      !makeHostToken(url, parts, destination->hostToken)) {
    *error = platform::lastError();
    return false;
  }
  copySpan(destination->host, parts.host.text, parts.host.length);
  percentDecode(parts.user.text, parts.user.length, destination->user, URL_PIECE_SIZE);
  percentDecode(parts.password.text, parts.password.length, destination->password, URL_PIECE_SIZE);
  makeTarget(parts, destination->target);
  destination->port = parts.port;
  destination->secure = parts.secure;
  destination->hasUser = parts.user.length > 0;
  return true;
}

std::optional<platform::PostStartResult> startPost(const Destination& destination, const char* body,
                                                   size_t length) {
  const Buffer headers = allocZeroed(HEADER_BLOCK_SIZE);
  if (!headers) return std::nullopt;
  const int headersLength = std::snprintf(headers.get(), HEADER_BLOCK_SIZE, HEADER_FORMAT,
                                          destination.hostToken, static_cast<long>(length));
  if (headersLength < 0 || static_cast<size_t>(headersLength) >= HEADER_BLOCK_SIZE)
    return std::nullopt;
  return startPostWithHeaders(destination, headers.get(), static_cast<size_t>(headersLength), body,
                              length);
}

platform::PostStartResult startPostWithHeaders(const Destination& destination, const char* headers,
                                               size_t headersLength, const char* body,
                                               size_t length) {
  const platform::HttpPost post = {AGENT,
                                   destination.host,
                                   destination.port,
                                   destination.secure,
                                   destination.hasUser ? destination.user : nullptr,
                                   destination.hasUser ? destination.password : nullptr,
                                   destination.target,
                                   headers,
                                   static_cast<uint32_t>(headersLength),
                                   body,
                                   static_cast<uint32_t>(length)};
  return platform::httpPost(post);
}

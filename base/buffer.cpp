#include "base/buffer.h"

#include <cstring>

#include "base/boxes.h"
#include "platform/percent.h"

void* (*rawAllocate)(size_t size) = std::malloc;

Buffer allocZeroed(size_t size) {
  // malloc(0) may give none on success; one byte keeps "none" meaning failure.
  void* p = rawAllocate(size == 0 ? 1 : size);
  if (p == nullptr) {
    reportError("Out of memory");
    return nullptr;
  }
  std::memset(p, 0, size == 0 ? 1 : size);
  return Buffer(static_cast<char*>(p));
}

namespace {

bool isUnreserved(unsigned char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
         c == '.' || c == '_' || c == '~';
}

}  // namespace

Buffer escapeValue(const char* text) {
  const size_t n = std::strlen(text);
  Buffer out = allocZeroed(3 * n + 1);
  if (!out) return nullptr;
  *percentEscape(std::string_view(text, n), isUnreserved, out.get()) = '\0';
  return out;
}

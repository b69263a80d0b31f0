#include "base/boxes.h"

#include <cstdio>

#include "platform/port.h"

namespace {

// The longest failure text a box shows.
constexpr size_t FAILURE_TEXT_SIZE = 1024;

}  // namespace

void formatFailure(char* out, size_t capacity, const char* message, uint32_t code) {
  if (capacity == 0) return;
  std::snprintf(out, capacity, "%s: (errcode=%u)", message, static_cast<unsigned>(code));
}

void reportFailure(const char* message, uint32_t code) {
  char text[FAILURE_TEXT_SIZE];
  formatFailure(text, sizeof text, message, code);
  platform::messageBox(text, "Error");
}

// Reads the code first: formatting must not disturb it.
void reportError(const char* message) { reportFailure(message, platform::lastError()); }

void showError(const char* text) { platform::messageBox(text, "Error"); }

int showNotice(const char* message) {
  platform::messageBox(message, "Lumtap");
  return 0;
}

#include "base/boxes.h"

#include <cstdio>

#include "platform/port.h"

void reportError(const char* message) {
  // Read the code first: formatting must not disturb it.
  const uint32_t code = platform::lastError();
  char text[1024];
  std::snprintf(text, sizeof text, "%s: (errcode=%u)", message, static_cast<unsigned>(code));
  platform::messageBox(text, "Error");
}

void showError(const char* text) { platform::messageBox(text, "Error"); }

int showNotice(const char* message) {
  platform::messageBox(message, "Lumtap");
  return 0;
}

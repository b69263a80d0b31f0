#include "base/settings.h"

#include <cstdio>
#include <cstring>

#include "base/boxes.h"
#include "base/state.h"

namespace {

struct KeyCloser {
  void operator()(void* key) const { platform::regCloseKey(key); }
};
using KeyOwner = std::unique_ptr<void, KeyCloser>;

void noticeWriteFailure(long code) {
  char text[64];
  std::snprintf(text, sizeof text, "Error: %u", static_cast<unsigned>(code));
  showNotice(text);
}

// Utf8 is 0 (the player's code-page title, Latin-1 frames as stored) or 1;
// anything else, absent or not a REG_DWORD, is the default.
bool readUtf8(platform::KeyHandle key) {
  uint32_t value = 0;
  uint32_t size = sizeof value;
  uint32_t type = 0;
  if (platform::regQueryValue(key, "Utf8", &value, &size, &type) != platform::REG_SUCCESS ||
      type != platform::REG_TYPE_DWORD || size != sizeof value || value > 1) {
    return DEFAULT_UTF8;
  }
  return value == 1;
}

}  // namespace

uint32_t updateTimerPeriod(uint32_t seconds) {
  const uint64_t ms = static_cast<uint64_t>(seconds) * 1000u;
  return ms > platform::TIMER_MAX_PERIOD_MS ? platform::TIMER_MAX_PERIOD_MS
                                            : static_cast<uint32_t>(ms);
}

platform::KeyHandle openSettingsKey() {
  platform::KeyHandle key = nullptr;
  if (platform::regCreateKey(SETTINGS_SUBKEY, &key) != platform::REG_SUCCESS) {
    reportError("Cannot open registry key");
    return nullptr;
  }
  return key;
}

void loadSettings() {
  KeyOwner key(openSettingsKey());
  if (!key) return;

  // Without a URL buffer (start-up ran out of memory) the other settings
  // are still read, but nothing is armed: a tick would have no URL to use.
  if (urlSetting) {
    std::memset(urlSetting.get(), 0, URL_MAX_CHARS + 1);
    uint32_t size = URL_MAX_CHARS + 1;
    if (platform::regQueryValue(key.get(), "URL", urlSetting.get(), &size) !=
        platform::REG_SUCCESS) {
      urlSetting[0] = '\0';
    }
    // A value that fills the whole buffer has no room for its terminator:
    // such a URL cannot have come from the dialog and is read as empty.
    if (urlSetting[URL_MAX_CHARS] != '\0') std::memset(urlSetting.get(), 0, URL_MAX_CHARS + 1);
  }

  uint32_t size = sizeof enabledSetting;
  if (platform::regQueryValue(key.get(), "Enabled", &enabledSetting, &size) !=
      platform::REG_SUCCESS) {
    enabledSetting = DEFAULT_ENABLED;
  }
  size = sizeof intervalSetting;
  if (platform::regQueryValue(key.get(), "Interval", &intervalSetting, &size) !=
      platform::REG_SUCCESS) {
    intervalSetting = DEFAULT_INTERVAL;
  }
  utf8Setting = readUtf8(key.get());
  key.reset();

  if (!urlSetting || !bodyBuffer) return;
  if (settingsLoadedHook != nullptr) settingsLoadedHook();
}

void saveSettings(const char* url, int32_t enabled, int32_t interval, std::optional<bool> utf8) {
  KeyOwner key(openSettingsKey());
  if (!key) return;
  long rc = platform::regSetValue(key.get(), "URL", platform::REG_TYPE_SZ, url,
                                  static_cast<uint32_t>(std::strlen(url)));
  if (rc != platform::REG_SUCCESS) noticeWriteFailure(rc);
  rc = platform::regSetValue(key.get(), "Enabled", platform::REG_TYPE_DWORD, &enabled,
                             sizeof enabled);
  if (rc != platform::REG_SUCCESS) noticeWriteFailure(rc);
  rc = platform::regSetValue(key.get(), "Interval", platform::REG_TYPE_DWORD, &interval,
                             sizeof interval);
  if (rc != platform::REG_SUCCESS) noticeWriteFailure(rc);
  if (utf8) {
    const int32_t value = *utf8 ? 1 : 0;
    rc = platform::regSetValue(key.get(), "Utf8", platform::REG_TYPE_DWORD, &value, sizeof value);
    if (rc != platform::REG_SUCCESS) noticeWriteFailure(rc);
  }
  key.reset();
  loadSettings();
}

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

// A text value of at most OUTPUT_TEXT_MAX_CHARS characters; fallback when
// absent, too long or not text.
std::string readText(platform::KeyHandle key, const char* name, const char* fallback) {
  char text[OUTPUT_TEXT_MAX_CHARS + 1] = {};
  uint32_t size = sizeof text - 1;
  uint32_t type = 0;
  if (platform::regQueryValue(key, name, text, &size, &type) != platform::REG_SUCCESS ||
      type != platform::REG_TYPE_SZ) {
    return fallback;
  }
  return std::string(text, strnlen(text, size));
}

// A 0 or 1 value; anything else, absent or not a REG_DWORD, is fallback.
bool readFlag(platform::KeyHandle key, const char* name, bool fallback) {
  uint32_t value = 0;
  uint32_t size = sizeof value;
  uint32_t type = 0;
  if (platform::regQueryValue(key, name, &value, &size, &type) != platform::REG_SUCCESS ||
      type != platform::REG_TYPE_DWORD || size != sizeof value || value > 1) {
    return fallback;
  }
  return value == 1;
}

void writeText(platform::KeyHandle key, const char* name, const std::string& text) {
  const long rc = platform::regSetValue(key, name, platform::REG_TYPE_SZ, text.c_str(),
                                        static_cast<uint32_t>(text.size()));
  if (rc != platform::REG_SUCCESS) noticeWriteFailure(rc);
}

void writeFlag(platform::KeyHandle key, const char* name, bool flag) {
  const int32_t value = flag ? 1 : 0;
  const long rc = platform::regSetValue(key, name, platform::REG_TYPE_DWORD, &value, sizeof value);
  if (rc != platform::REG_SUCCESS) noticeWriteFailure(rc);
}

}  // namespace

OutputSettings outputSettings;
bool sendCoverSetting = DEFAULT_SEND_COVER;

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
  outputSettings.folder = readText(key.get(), "OutputFolder", "");
  outputSettings.pattern = readText(key.get(), "OutputTemplate", DEFAULT_OUTPUT_TEMPLATE);
  outputSettings.stopped = readText(key.get(), "OutputStopped", "");
  sendCoverSetting = readFlag(key.get(), "SendCover", DEFAULT_SEND_COVER);
  key.reset();

  if (!urlSetting || !bodyBuffer) return;
  if (settingsLoadedHook != nullptr) settingsLoadedHook();
}

void saveSettings(const char* url, int32_t enabled, int32_t interval, const MoreSettings& more) {
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
  if (more.utf8) writeFlag(key.get(), "Utf8", *more.utf8);
  if (more.outputFolder) writeText(key.get(), "OutputFolder", *more.outputFolder);
  if (more.outputTemplate) writeText(key.get(), "OutputTemplate", *more.outputTemplate);
  if (more.sendCover) writeFlag(key.get(), "SendCover", *more.sendCover);
  key.reset();
  loadSettings();
}

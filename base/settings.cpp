#include "base/settings.h"

#include <cstdio>

#include "base/boxes.h"
#include "base/state.h"

namespace {

using platform::Setting;
using platform::SettingKind;

// The store itself cannot be opened: one box with the store's own code.
void reportStoreFailure(long code) {
  char text[64];
  std::snprintf(text, sizeof text, "Cannot open registry key: (errcode=%u)",
                static_cast<unsigned>(code));
  showError(text);
}

}  // namespace

uint32_t updateTimerPeriod(uint32_t seconds) {
  const uint64_t ms = static_cast<uint64_t>(seconds) * 1000u;
  return ms > platform::TIMER_MAX_PERIOD_MS ? platform::TIMER_MAX_PERIOD_MS
                                            : static_cast<uint32_t>(ms);
}

void loadSettings() {
  // Without a URL buffer (start-up ran out of memory) the other settings
  // are still read, but nothing is armed: a tick would have no URL to use.
  Setting read[] = {
      {.name = "URL",
       .kind = SettingKind::text,
       .buffer = urlSetting.get(),
       .capacity = URL_MAX_CHARS + 1},
      {.name = "Enabled",
       .kind = SettingKind::number,
       .number = static_cast<uint32_t>(enabledSetting)},
      {.name = "Interval", .kind = SettingKind::number, .number = intervalSetting},
      // Utf8 is 0 (the player's code-page title, Latin-1 frames as stored)
      // or 1; anything else is the default.
      {.name = "Utf8", .kind = SettingKind::number, .typedOnly = true},
  };
  const size_t first = urlSetting ? 0 : 1;
  const long rc = platform::readSettings(read + first, std::size(read) - first);
  if (rc != 0) {
    reportStoreFailure(rc);
    return;
  }
  enabledSetting = read[1].error == 0 ? static_cast<int32_t>(read[1].number) : DEFAULT_ENABLED;
  intervalSetting = read[2].error == 0 ? read[2].number : DEFAULT_INTERVAL;
  utf8Setting = read[3].error == 0 && read[3].number <= 1 ? read[3].number == 1 : DEFAULT_UTF8;

  if (!urlSetting || !bodyBuffer) return;
  if (settingsLoadedHook != nullptr) settingsLoadedHook();
}

void saveSettings(const char* url, int32_t enabled, int32_t interval, std::optional<bool> utf8) {
  Setting write[] = {
      {.name = "URL", .kind = SettingKind::text, .text = url},
      {.name = "Enabled", .kind = SettingKind::number, .number = static_cast<uint32_t>(enabled)},
      {.name = "Interval", .kind = SettingKind::number, .number = static_cast<uint32_t>(interval)},
      {.name = "Utf8", .kind = SettingKind::number, .number = utf8.value_or(false) ? 1u : 0u},
  };
  const long rc = platform::writeSettings(write, utf8 ? 4 : 3);
  if (rc != 0) {
    reportStoreFailure(rc);
    return;
  }
  // One notice for each value that could not be written, with its code.
  for (const Setting& s : write) {
    if (s.error == 0) continue;
    char text[64];
    std::snprintf(text, sizeof text, "Error: %u", static_cast<unsigned>(s.error));
    showNotice(text);
  }
  loadSettings();
}

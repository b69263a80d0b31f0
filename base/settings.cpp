#include "base/settings.h"

#include <cstdio>
#include <vector>

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

// A text setting as read: its value, or fallback when it could not be read.
std::string textRead(const Setting& s, const char* fallback) {
  return s.error == 0 ? std::string(s.buffer) : std::string(fallback);
}

// A 0-or-1 setting as read: anything else is the default.
bool flagRead(const Setting& s, bool fallback) {
  return s.error == 0 && s.number <= 1 ? s.number == 1 : fallback;
}

}  // namespace

OutputSettings outputSettings;
ListenSettings listenSettings;
bool sendCoverSetting = DEFAULT_SEND_COVER;

uint32_t updateTimerPeriod(uint32_t seconds) {
  const uint64_t ms = static_cast<uint64_t>(seconds) * 1000u;
  return ms > platform::TIMER_MAX_PERIOD_MS ? platform::TIMER_MAX_PERIOD_MS
                                            : static_cast<uint32_t>(ms);
}

void loadSettings() {
  char folder[OUTPUT_TEXT_MAX_CHARS + 1];
  char pattern[OUTPUT_TEXT_MAX_CHARS + 1];
  char stopped[OUTPUT_TEXT_MAX_CHARS + 1];
  char listenUrl[URL_MAX_CHARS + 1];
  char listenToken[OUTPUT_TEXT_MAX_CHARS + 1];
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
      // or 1; anything else is the default. SendCover likewise.
      {.name = "Utf8", .kind = SettingKind::number, .typedOnly = true},
      {.name = "SendCover", .kind = SettingKind::number, .typedOnly = true},
      {.name = "OutputFolder",
       .kind = SettingKind::text,
       .buffer = folder,
       .capacity = sizeof folder},
      {.name = "OutputTemplate",
       .kind = SettingKind::text,
       .buffer = pattern,
       .capacity = sizeof pattern},
      {.name = "OutputStopped",
       .kind = SettingKind::text,
       .buffer = stopped,
       .capacity = sizeof stopped},
      {.name = "ListenUrl",
       .kind = SettingKind::text,
       .buffer = listenUrl,
       .capacity = sizeof listenUrl},
      {.name = "ListenToken",
       .kind = SettingKind::text,
       .buffer = listenToken,
       .capacity = sizeof listenToken},
  };
  const size_t first = urlSetting ? 0 : 1;
  const long rc = platform::readSettings(read + first, std::size(read) - first);
  if (rc != 0) {
    reportStoreFailure(rc);
    return;
  }
  enabledSetting = read[1].error == 0 ? static_cast<int32_t>(read[1].number) : DEFAULT_ENABLED;
  intervalSetting = read[2].error == 0 ? read[2].number : DEFAULT_INTERVAL;
  utf8Setting = flagRead(read[3], DEFAULT_UTF8);
  sendCoverSetting = flagRead(read[4], DEFAULT_SEND_COVER);
  outputSettings.folder = textRead(read[5], "");
  outputSettings.pattern = textRead(read[6], DEFAULT_OUTPUT_TEMPLATE);
  outputSettings.stopped = textRead(read[7], "");
  listenSettings.url = textRead(read[8], "");
  listenSettings.token = textRead(read[9], "");

  if (!urlSetting || !bodyBuffer) return;
  if (settingsLoadedHook != nullptr) settingsLoadedHook();
}

void saveSettings(const char* url, int32_t enabled, int32_t interval, const MoreSettings& more) {
  std::vector<Setting> write = {
      {.name = "URL", .kind = SettingKind::text, .text = url},
      {.name = "Enabled", .kind = SettingKind::number, .number = static_cast<uint32_t>(enabled)},
      {.name = "Interval", .kind = SettingKind::number, .number = static_cast<uint32_t>(interval)},
  };
  const auto flag = [&](const char* name, const std::optional<bool>& value) {
    if (value) write.push_back({.name = name, .kind = SettingKind::number, .number = *value});
  };
  const auto text = [&](const char* name, const std::optional<std::string>& value) {
    if (value) write.push_back({.name = name, .kind = SettingKind::text, .text = value->c_str()});
  };
  flag("Utf8", more.utf8);
  text("OutputFolder", more.outputFolder);
  text("OutputTemplate", more.outputTemplate);
  flag("SendCover", more.sendCover);
  text("ListenUrl", more.listenUrl);
  text("ListenToken", more.listenToken);
  const long rc = platform::writeSettings(write.data(), write.size());
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

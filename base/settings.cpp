#include "base/settings.h"

#include <algorithm>
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
DiscordSettings discordSettings;

void resetSettings() {
  outputSettings = OutputSettings();
  sendCoverSetting = DEFAULT_SEND_COVER;
  discordSettings = DiscordSettings();
  listenSettings = ListenSettings();
}

uint32_t updateTimerPeriod(uint32_t seconds) {
  const uint64_t ms = static_cast<uint64_t>(seconds) * 1000u;
  return ms > platform::TIMER_MAX_PERIOD_MS ? platform::TIMER_MAX_PERIOD_MS
                                            : static_cast<uint32_t>(ms);
}

void loadSettings() {
  char folder[OUTPUT_TEXT_MAX_CHARS + 1];
  char pattern[OUTPUT_TEXT_MAX_CHARS + 1];
  char stopped[OUTPUT_TEXT_MAX_CHARS + 1];
  char appId[DISCORD_APP_ID_MAX_CHARS + 1];
  char paused[8];
  char listenUrl[URL_MAX_CHARS + 1];
  char listenToken[OUTPUT_TEXT_MAX_CHARS + 1];
  // Where each setting sits in read; URL first, so it can be left out.
  enum LoadSlot : size_t {
    URL,
    ENABLED,
    INTERVAL,
    UTF8,
    SEND_COVER,
    OUTPUT_FOLDER,
    OUTPUT_TEMPLATE,
    OUTPUT_STOPPED,
    DISCORD,
    DISCORD_APP_ID,
    DISCORD_PAUSED,
    LISTEN_URL,
    LISTEN_TOKEN,
    SLOTS
  };
  Setting read[SLOTS] = {
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
      {.name = "Discord", .kind = SettingKind::number, .typedOnly = true},
      {.name = "DiscordAppId",
       .kind = SettingKind::text,
       .buffer = appId,
       .capacity = sizeof appId},
      {.name = "DiscordPaused",
       .kind = SettingKind::text,
       .buffer = paused,
       .capacity = sizeof paused},
      {.name = "ListenUrl",
       .kind = SettingKind::text,
       .buffer = listenUrl,
       .capacity = sizeof listenUrl},
      {.name = "ListenToken",
       .kind = SettingKind::text,
       .buffer = listenToken,
       .capacity = sizeof listenToken},
  };
  // Without a URL buffer (start-up ran out of memory) the other settings
  // are still read, but nothing is armed: a tick would have no URL to use.
  const size_t first = urlSetting ? URL : ENABLED;
  const long rc = platform::readSettings(read + first, SLOTS - first);
  if (rc != 0) {
    reportStoreFailure(rc);
    return;
  }
  enabledSetting =
      read[ENABLED].error == 0 ? static_cast<int32_t>(read[ENABLED].number) : DEFAULT_ENABLED;
  intervalSetting = read[INTERVAL].error == 0 ? read[INTERVAL].number : DEFAULT_INTERVAL;
  utf8Setting = flagRead(read[UTF8], DEFAULT_UTF8);
  sendCoverSetting = flagRead(read[SEND_COVER], DEFAULT_SEND_COVER);
  outputSettings.folder = textRead(read[OUTPUT_FOLDER], "");
  outputSettings.pattern = textRead(read[OUTPUT_TEMPLATE], DEFAULT_OUTPUT_TEMPLATE);
  outputSettings.stopped = textRead(read[OUTPUT_STOPPED], "");
  discordSettings.on = flagRead(read[DISCORD], false);
  discordSettings.appId = textRead(read[DISCORD_APP_ID], "");
  discordSettings.paused = textRead(read[DISCORD_PAUSED], "") == DISCORD_PAUSED_SHOW
                               ? DISCORD_PAUSED_SHOW
                               : DISCORD_PAUSED_CLEAR;
  listenSettings.url = textRead(read[LISTEN_URL], "");
  listenSettings.token = textRead(read[LISTEN_TOKEN], "");

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
  flag("Discord", more.discord);
  text("DiscordAppId", more.discordAppId);
  text("DiscordPaused", more.discordPaused);
  text("ListenUrl", more.listenUrl);
  text("ListenToken", more.listenToken);
  const long rc = platform::writeSettings(write.data(), write.size());
  if (rc != 0) {
    reportStoreFailure(rc);
    return;
  }
  // One notice for each code the failed writes came to: a store that fails
  // a save whole (the config file, rewritten at once) shows one box, not one
  // for each setting.
  std::vector<long> shown;
  for (const Setting& s : write) {
    if (s.error == 0 || std::find(shown.begin(), shown.end(), s.error) != shown.end()) continue;
    shown.push_back(s.error);
    char text[64];
    std::snprintf(text, sizeof text, "Error: %u", static_cast<unsigned>(s.error));
    showNotice(text);
  }
  loadSettings();
}

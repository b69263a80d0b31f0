// The settings in the store. Reading them calls settingsLoadedHook, which
// the plug-in wires to arm the update timer. URL, Enabled, Interval and
// Utf8 are read into base/state.h, which the update cycle reads; the
// values declared here are this file's own.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "platform/port.h"

// The update timer's period for an interval in seconds, capped at the
// platform's longest.
uint32_t updateTimerPeriod(uint32_t seconds);
void loadSettings();

// The files for streamers (OutputFolder, OutputTemplate, OutputStopped) and
// whether posts carry the cover (SendCover), read with the others.
constexpr const char* DEFAULT_OUTPUT_TEMPLATE = "%artist% - %title%";
constexpr uint32_t OUTPUT_TEXT_MAX_CHARS = 1024;  // each of the three texts
constexpr bool DEFAULT_SEND_COVER = false;
struct OutputSettings {
  std::string folder;  // empty: no files
  std::string pattern = DEFAULT_OUTPUT_TEMPLATE;
  std::string stopped;  // what the texts say when nothing plays
};
extern OutputSettings outputSettings;
// The listening history's server (empty: off) and token.
struct ListenSettings {
  std::string url;
  std::string token;
};
extern ListenSettings listenSettings;
extern bool sendCoverSetting;

// Discord's "Listening to" (Discord, DiscordAppId, DiscordPaused).
constexpr const char* DISCORD_PAUSED_CLEAR = "clear";
constexpr const char* DISCORD_PAUSED_SHOW = "show";
constexpr uint32_t DISCORD_APP_ID_MAX_CHARS = 64;
struct DiscordSettings {
  bool on = false;
  std::string appId;                          // empty: nothing can be shown
  std::string paused = DISCORD_PAUSED_CLEAR;  // what a pause shows: "clear" or "show"
};
extern DiscordSettings discordSettings;

// Puts the values above back to their defaults (tests, between cases; the
// plug-in's reset calls it beside resetState).
void resetSettings();

// What the dialog sets beside URL, Enabled and Interval; each is written
// when given.
struct MoreSettings {
  std::optional<bool> utf8 = std::nullopt;
  std::optional<std::string> outputFolder = std::nullopt;
  std::optional<std::string> outputTemplate = std::nullopt;
  std::optional<bool> sendCover = std::nullopt;
  std::optional<bool> discord = std::nullopt;
  std::optional<std::string> discordAppId = std::nullopt;
  std::optional<std::string> discordPaused = std::nullopt;
  std::optional<std::string> listenUrl = std::nullopt;
  std::optional<std::string> listenToken = std::nullopt;
};
// Writes URL, Enabled, Interval and what more is given, then reads them
// all back (and so arms the timer again).
void saveSettings(const char* url, int32_t enabled, int32_t interval,
                  const MoreSettings& more = {});

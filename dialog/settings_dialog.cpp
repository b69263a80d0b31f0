#include "dialog/settings_dialog.h"

#include <cstddef>
#include <cstdio>
#include <optional>
#include <string>

#include "base/boxes.h"
#include "base/settings.h"
#include "base/state.h"
#include "dialog/resources/resource.h"

namespace {

constexpr uint32_t URL_LIMIT = 1024;            // what the URL edit lets the user type
constexpr uint32_t INTERVAL_LIMIT = 4;          // what the interval edit lets the user type
constexpr uint32_t INTERVAL_MAX_CHARS = 7;      // the longest interval text OK accepts
constexpr size_t INTERVAL_SHOWN_SIZE = 10 + 1;  // any 32-bit value in decimal

// The open settings dialog, whose status line follows every outcome taken
// while it is open.
platform::WindowHandle openDialog = nullptr;

constexpr const char* DISCORD_NEEDS_APP_ID = "Discord needs an application id";
// Whether the status line says so now: outcomes that arrive meanwhile wait
// until it is given or Discord is off.
bool discordHintShown = false;

void showStatus(const char* line) {
  if (openDialog == nullptr) return;
  if (const platform::WindowHandle status = platform::dialogItem(openDialog, IDC_STATUS))
    platform::setControlText(status, line);
}

void followStatus(const char* line) {
  if (!discordHintShown) showStatus(line);
}

void closeDialog(platform::WindowHandle dialog) {
  updateStatusListener = nullptr;
  openDialog = nullptr;
  discordHintShown = false;
  platform::endDialog(dialog, 0);
}

struct Controls {
  platform::WindowHandle url;
  platform::WindowHandle interval;
};

// The files for streamers: their folder and the template of nowplaying.txt.
// Either edit may be missing from a template of old; then its setting is
// left as it is.
void initialiseOutput(platform::WindowHandle dialog) {
  if (const platform::WindowHandle folder = platform::dialogItem(dialog, IDC_OUTPUT_FOLDER)) {
    platform::limitText(folder, OUTPUT_TEXT_MAX_CHARS);
    platform::setControlText(folder, outputSettings.folder.c_str());
  }
  if (const platform::WindowHandle pattern = platform::dialogItem(dialog, IDC_OUTPUT_TEMPLATE)) {
    platform::limitText(pattern, OUTPUT_TEXT_MAX_CHARS);
    platform::setControlText(pattern, outputSettings.pattern.c_str());
  }
  platform::checkDialogButton(dialog, IDC_SEND_COVER, sendCoverSetting);
  if (const platform::WindowHandle url = platform::dialogItem(dialog, IDC_LISTEN_URL)) {
    platform::limitText(url, URL_LIMIT);
    platform::setControlText(url, listenSettings.url.c_str());
  }
  if (const platform::WindowHandle token = platform::dialogItem(dialog, IDC_LISTEN_TOKEN)) {
    platform::limitText(token, OUTPUT_TEXT_MAX_CHARS);
    platform::setControlText(token, listenSettings.token.c_str());
  }
}

// Discord's rows, as stored. A template of old without them leaves the
// settings as they are.
void initialiseDiscord(platform::WindowHandle dialog) {
  if (const platform::WindowHandle appId = platform::dialogItem(dialog, IDC_DISCORD_APP_ID)) {
    platform::limitText(appId, DISCORD_APP_ID_MAX_CHARS);
    platform::setControlText(appId, discordSettings.appId.c_str());
  }
  platform::checkDialogButton(dialog, IDC_DISCORD, discordSettings.on);
  platform::checkDialogButton(dialog, IDC_DISCORD_PAUSED,
                              discordSettings.paused == DISCORD_PAUSED_SHOW);
}

// "Show in Discord" checked and no application id: the status line says
// what is missing; once given (or Discord off) it shows the last outcome
// again.
void showDiscordHint(platform::WindowHandle dialog) {
  const platform::WindowHandle appId = platform::dialogItem(dialog, IDC_DISCORD_APP_ID);
  const bool missing = appId != nullptr && platform::isDialogButtonChecked(dialog, IDC_DISCORD) &&
                       platform::controlTextLength(appId) == 0;
  if (missing)
    showStatus(DISCORD_NEEDS_APP_ID);
  else if (discordHintShown)
    showStatus(updateStatus);
  discordHintShown = missing;
}

// An edit's whole text (at most OUTPUT_TEXT_MAX_CHARS characters), or none
// with its notice shown when it is longer.
std::optional<std::string> outputField(platform::WindowHandle dialog, int id, const char* tooBig) {
  const platform::WindowHandle edit = platform::dialogItem(dialog, id);
  if (edit == nullptr) return std::nullopt;
  const uint32_t length = platform::controlTextLength(edit);
  if (length > OUTPUT_TEXT_MAX_CHARS) {
    showNotice(tooBig);
    return std::nullopt;
  }
  std::string text(length + 1, '\0');
  text.resize(platform::controlText(edit, text.data(), length + 1));
  return text;
}

// "Browse…": the system's folder picker, starting at the folder typed; a
// system without one takes the path as typed.
void browse(platform::WindowHandle dialog) {
  const platform::WindowHandle edit = platform::dialogItem(dialog, IDC_OUTPUT_FOLDER);
  if (edit == nullptr) return;
  char folder[OUTPUT_TEXT_MAX_CHARS + 1] = {};
  platform::controlText(edit, folder, sizeof folder);
  switch (platform::browseForFolder(dialog, folder, sizeof folder)) {
    case platform::FolderPick::chosen:
      platform::setControlText(edit, folder);
      break;
    case platform::FolderPick::cancelled:
      break;
    case platform::FolderPick::unavailable:
      showStatus("Type the folder's path in the field");
      break;
  }
}

void initialise(platform::WindowHandle dialog, const Controls& controls) {
  platform::limitText(controls.url, URL_LIMIT);
  // Without a URL buffer (start-up ran out of memory) the edit starts empty.
  platform::setControlText(controls.url, urlSetting ? urlSetting.get() : "");

  platform::checkDialogButton(dialog, IDC_ENABLED, enabledSetting == 1);
  platform::checkDialogButton(dialog, IDC_UTF8, utf8Setting);

  platform::limitText(controls.interval, INTERVAL_LIMIT);
  char shown[INTERVAL_SHOWN_SIZE];
  std::snprintf(shown, sizeof shown, "%u", static_cast<unsigned>(intervalSetting));
  platform::setControlText(controls.interval, shown);

  initialiseOutput(dialog);
  initialiseDiscord(dialog);

  openDialog = dialog;
  discordHintShown = false;
  showStatus(updateStatus);
  showDiscordHint(dialog);
  updateStatusListener = followStatus;
}

// "Send now": the current status, posted at once to the URL as typed. Its
// outcome shows in the status line alone, never in a box.
void sendNow(const Controls& controls) {
  char url[URL_MAX_CHARS + 1] = {};
  const uint32_t length = platform::controlTextLength(controls.url);
  if (length == 0 || length > URL_MAX_CHARS) {
    showStatus(length == 0 ? "Not sent: no URL entered" : "Not sent: the URL is too long");
    return;
  }
  platform::controlText(controls.url, url, length + 1);
  showStatus("Sending...");
  if (sendNowHook == nullptr || !sendNowHook(url))
    showStatus("Not sent: the last update is still under way");
}

// "Test": asks the listening history's server whether the token typed is
// valid there; the answer comes to the status line.
void testListenToken(platform::WindowHandle dialog) {
  const std::optional<std::string> url = outputField(dialog, IDC_LISTEN_URL, "Listen URL too big");
  const std::optional<std::string> token = outputField(dialog, IDC_LISTEN_TOKEN, "Token too big");
  if (!url || !token) return;
  if (url->empty() || token->empty()) {
    showStatus(url->empty() ? "Not tested: no listen URL entered" : "Not tested: no token entered");
    return;
  }
  showStatus("Testing the token...");
  if (listenTestHook != nullptr) listenTestHook(url->c_str(), token->c_str());
}

// The value of the text's leading decimal digits (0 when there are none).
// At most INTERVAL_MAX_CHARS digits arrive here, so the sum cannot overflow.
int32_t leadingDecimal(const char* text) {
  int32_t value = 0;
  for (const char* p = text; *p >= '0' && *p <= '9'; ++p) value = value * 10 + (*p - '0');
  return value;
}

// Reads an edit's text of at most maxChars characters into text (maxChars
// + 1 bytes). An empty edit shows the missing error, a longer text the
// tooBig notice; either gives false.
bool readField(platform::WindowHandle edit, uint32_t maxChars, const char* missing,
               const char* tooBig, char* text) {
  const uint32_t length = platform::controlTextLength(edit);
  if (length == 0) {
    reportError(missing);
    return false;
  }
  if (length > maxChars) {
    showNotice(tooBig);
    return false;
  }
  platform::controlText(edit, text, length + 1);
  return true;
}

intptr_t confirm(platform::WindowHandle dialog, const Controls& controls) {
  char url[URL_MAX_CHARS + 1] = {};
  if (!readField(controls.url, URL_MAX_CHARS, "Url not entered", "Url too big", url)) return false;
  char intervalText[INTERVAL_MAX_CHARS + 1] = {};
  if (!readField(controls.interval, INTERVAL_MAX_CHARS, "Interval not entered", "Interval too big",
                 intervalText)) {
    return false;
  }
  const int32_t interval = leadingDecimal(intervalText);

  const std::optional<std::string> folder =
      outputField(dialog, IDC_OUTPUT_FOLDER, "Output folder too big");
  if (!folder && platform::dialogItem(dialog, IDC_OUTPUT_FOLDER) != nullptr) return false;
  // A folder must exist; none at all means no files.
  if (folder && !folder->empty() && !platform::folderExists(*folder)) {
    showNotice("Output folder not found");
    return false;
  }
  std::optional<std::string> pattern = outputField(dialog, IDC_OUTPUT_TEMPLATE, "Template too big");
  if (!pattern && platform::dialogItem(dialog, IDC_OUTPUT_TEMPLATE) != nullptr) return false;
  // An emptied template stands for the default one.
  if (pattern && pattern->empty()) pattern = DEFAULT_OUTPUT_TEMPLATE;

  const int32_t enabled = platform::isDialogButtonChecked(dialog, IDC_ENABLED) ? 1 : 0;
  const bool utf8 = platform::isDialogButtonChecked(dialog, IDC_UTF8);
  std::optional<bool> sendCover;
  if (platform::dialogItem(dialog, IDC_SEND_COVER) != nullptr)
    sendCover = platform::isDialogButtonChecked(dialog, IDC_SEND_COVER);

  const std::optional<std::string> listenUrl =
      outputField(dialog, IDC_LISTEN_URL, "Listen URL too big");
  if (!listenUrl && platform::dialogItem(dialog, IDC_LISTEN_URL) != nullptr) return false;
  const std::optional<std::string> listenToken =
      outputField(dialog, IDC_LISTEN_TOKEN, "Token too big");
  if (!listenToken && platform::dialogItem(dialog, IDC_LISTEN_TOKEN) != nullptr) return false;
  MoreSettings more{utf8, folder, pattern, sendCover};
  if (platform::dialogItem(dialog, IDC_DISCORD) != nullptr)
    more.discord = platform::isDialogButtonChecked(dialog, IDC_DISCORD);
  if (platform::dialogItem(dialog, IDC_DISCORD_PAUSED) != nullptr)
    more.discordPaused = platform::isDialogButtonChecked(dialog, IDC_DISCORD_PAUSED)
                             ? DISCORD_PAUSED_SHOW
                             : DISCORD_PAUSED_CLEAR;
  if (platform::dialogItem(dialog, IDC_DISCORD_APP_ID) != nullptr) {
    // The edit holds at most DISCORD_APP_ID_MAX_CHARS; spaces around a
    // pasted id are not part of it.
    std::optional<std::string> appId =
        outputField(dialog, IDC_DISCORD_APP_ID, "Application id too big");
    if (!appId) return false;
    const size_t first = appId->find_first_not_of(" \t");
    const size_t last = appId->find_last_not_of(" \t");
    more.discordAppId = first == std::string::npos ? "" : appId->substr(first, last - first + 1);
  }

  more.listenUrl = listenUrl;
  more.listenToken = listenToken;
  saveSettings(url, enabled, interval, more);
  closeDialog(dialog);
  // The user has looked at the settings again: the next failure is news.
  errorShown = false;
  return true;
}

}  // namespace

intptr_t settingsDialogProc(platform::WindowHandle dialog, unsigned message, uintptr_t wParam,
                            intptr_t) {
  if (message != platform::INIT_DIALOG && message != platform::COMMAND) return false;

  const Controls controls = {platform::dialogItem(dialog, IDC_URL),
                             platform::dialogItem(dialog, IDC_INTERVAL)};
  if (controls.url == nullptr || controls.interval == nullptr) {
    reportError("Cannot get handle!");
    closeDialog(dialog);
    return false;
  }

  if (message == platform::INIT_DIALOG) {
    initialise(dialog, controls);
    return true;
  }

  switch (static_cast<int>(wParam & 0xFFFF)) {
    case IDOK:
      return confirm(dialog, controls);
    case IDCANCEL:
      closeDialog(dialog);
      return false;
    case IDC_SEND_NOW:
      sendNow(controls);
      return false;
    case IDC_BROWSE:
      browse(dialog);
      return false;
    case IDC_DISCORD:
    case IDC_DISCORD_APP_ID:
      showDiscordHint(dialog);
      return false;
    case IDC_LISTEN_TEST:
      testListenToken(dialog);
      return false;
    default:
      return false;
  }
}

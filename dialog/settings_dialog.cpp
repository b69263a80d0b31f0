#include "dialog/settings_dialog.h"

#include <cstddef>
#include <cstdio>

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

void showStatus(const char* line) {
  if (openDialog == nullptr) return;
  if (const platform::WindowHandle status = platform::dialogItem(openDialog, IDC_STATUS))
    platform::setControlText(status, line);
}

void closeDialog(platform::WindowHandle dialog) {
  updateStatusListener = nullptr;
  openDialog = nullptr;
  platform::endDialog(dialog, 0);
}

struct Controls {
  platform::WindowHandle url;
  platform::WindowHandle interval;
};

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

  openDialog = dialog;
  showStatus(updateStatus);
  updateStatusListener = showStatus;
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

  const int32_t enabled = platform::isDialogButtonChecked(dialog, IDC_ENABLED) ? 1 : 0;
  const bool utf8 = platform::isDialogButtonChecked(dialog, IDC_UTF8);

  saveSettings(url, enabled, interval, utf8);
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
    default:
      return false;
  }
}

// A scripted stand-in for the player, built for i686 Windows and run under
// Wine. It owns a top-level window that answers the plug-in's four queries
// from a playlist given in the script, loads the module, fills the record's
// window and module fields, calls init/config/quit, pumps messages, and logs
// what it sees to a file, one line per event:
//
//   QUERY code wParam            a query reached the player's window
//   SETTIMER id period           the module armed a timer on the window
//   KILLTIMER id                 the module stopped one
//   TICK id                      a timer of the module fired
//   BOX caption|text             a message box appeared (then dismissed)
//   PICKER open                  the folder picker appeared (then confirmed
//                                at the folder it starts at)
//   DIALOG ...                   the settings dialog and what was read in it
//   REG ...                      the settings key read back
//   TEMPLATE/ITEM ...            dialog template 101 as compiled into the module
//   NOTIFIED code wParam         a change notification reached the player's
//                                own procedure (3003/13003: the file name)
//   SENT code @UNIXMS result     the script sent a message to the window
//   SECOND code                  the second subclass saw a WM_USER message
//
// Every message box is read from the box itself on activation (a WH_CBT
// hook) and dismissed, so no run waits for a user. The script is a list of
// lines "command arguments"; see runScript for the commands.
#include <windows.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <fstream>
#include <map>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "base/player.h"
#include "dialog/resources/resource.h"

namespace {

// ---- The record, as the player sees it: base/player.h -------------------
using GetRecord = PluginRecord* (*)();

constexpr const char* SETTINGS_KEY = "Software\\Winamp\\Trellicast";
constexpr UINT RUN_DIALOG_SCRIPT = WM_APP + 1;
constexpr UINT_PTR HOLD_TIMER = 0x7E57;
// The folder picker is confirmed once it has gone to the folder it starts
// at, which it does after it shows.
constexpr UINT_PTR PICKER_TIMER = 0x7E58;
constexpr UINT PICKER_WAIT_MS = 500;
HWND picker = nullptr;

struct KeyCloser {
  void operator()(HKEY key) const { RegCloseKey(key); }
};
using KeyOwner = std::unique_ptr<std::remove_pointer_t<HKEY>, KeyCloser>;

struct ModuleFreer {
  void operator()(HMODULE module) const { FreeLibrary(module); }
};
using ModuleOwner = std::unique_ptr<std::remove_pointer_t<HMODULE>, ModuleFreer>;

struct HookRemover {
  void operator()(HHOOK hook) const { UnhookWindowsHookEx(hook); }
};
using HookOwner = std::unique_ptr<std::remove_pointer_t<HHOOK>, HookRemover>;

// ---- Log ------------------------------------------------------------------
FILE* logFile = nullptr;

// Set by "quiet": queries and timer calls are no longer logged, so that a
// tick's time is the module's own and not the log's.
bool quietTicks = false;

void logLine(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::vfprintf(logFile, format, args);
  va_end(args);
  std::fputc('\n', logFile);
  std::fflush(logFile);
}

// Bytes outside printable ASCII and the separators written as \xHH.
std::string visible(const char* data, size_t n) {
  std::string out;
  for (size_t i = 0; i < n; ++i) {
    const unsigned char c = static_cast<unsigned char>(data[i]);
    if (c < 0x20 || c >= 0x7F || c == '\\' || c == '|') {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02X", c);
      out += hex;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}
std::string visible(const std::string& s) { return visible(s.data(), s.size()); }

// ---- Player state ---------------------------------------------------------
struct Entry {
  std::string title;
  bool hasTitle = false;
  std::string file;
  bool hasFile = false;
  std::wstring wideFile;  // the answer to 214, when set
  bool hasWideFile = false;
  bool wideAnswersOne = false;  // 214 answered with 1, as some players do
  std::wstring wideTitle;       // the answer to 213, when set
  bool hasWideTitle = false;
  bool wideTitleAnswersOne = false;  // 213 answered with 1
};

long playbackStatus = 0;
// Answers to 105: the position in ms (wParam 0), which runs on from when a
// script set it while the status is 1, and the length in seconds (wParam
// 1); -1, not known, until a script sets them.
long outputPositionMs = -1, outputLengthSeconds = -1;
DWORD outputTimeSetAt = 0;
long playlistPosition = 0;
std::map<long, Entry> playlist;
HWND playerWindow = nullptr;
PluginRecord* record = nullptr;
ModuleOwner module;

// Dialog steps waiting for the dialog to appear, and whether they ran.
std::deque<std::string> dialogSteps;
bool dialogScriptRunning = false;
HWND settingsDialog = nullptr;

std::string utf8FromWide(const wchar_t* wide) {
  const int bytes = WideCharToMultiByte(CP_UTF8, 0, wide, -1, nullptr, 0, nullptr, nullptr);
  std::string text(bytes > 0 ? static_cast<size_t>(bytes) : 1, '\0');
  if (bytes > 0) WideCharToMultiByte(CP_UTF8, 0, wide, -1, text.data(), bytes, nullptr, nullptr);
  text.resize(text.size() - 1);
  return text;
}

LRESULT CALLBACK playerProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_USER &&
      (lParam == NOTIFY_NEW_FILE || lParam == NOTIFY_NEW_FILE_WIDE || lParam == NOTIFY_CHANGED)) {
    // A change notification the player sends itself: the procedure at the
    // end of the chain sees it as the player would, and answers 0.
    std::string detail = std::to_string(static_cast<unsigned long>(wParam));
    if (lParam == NOTIFY_NEW_FILE && wParam != 0)
      detail = visible(reinterpret_cast<const char*>(wParam),
                       std::strlen(reinterpret_cast<const char*>(wParam)));
    if (lParam == NOTIFY_NEW_FILE_WIDE && wParam != 0)
      detail = visible(utf8FromWide(reinterpret_cast<const wchar_t*>(wParam)));
    logLine("NOTIFIED %ld %s", static_cast<long>(lParam), detail.c_str());
    return 0;
  }
  if (message == WM_USER) {
    if (!quietTicks)
      logLine("QUERY %ld %lu", static_cast<long>(lParam), static_cast<unsigned long>(wParam));
    const auto found = playlist.find(static_cast<long>(wParam));
    switch (lParam) {
      case GET_STATUS:
        return playbackStatus;
      case GET_LIST_POSITION:
        return playlistPosition;
      case GET_OUTPUT_TIME:
        if (wParam == 1) return outputLengthSeconds;
        if (wParam != 0 || outputPositionMs < 0) return -1;
        return outputPositionMs +
               (playbackStatus == 1 ? static_cast<long>(GetTickCount() - outputTimeSetAt) : 0);
      case GET_TITLE:
        if (found == playlist.end() || !found->second.hasTitle) return 0;
        return reinterpret_cast<LRESULT>(found->second.title.c_str());
      case GET_FILE_NAME:
        if (found == playlist.end() || !found->second.hasFile) return 0;
        return reinterpret_cast<LRESULT>(found->second.file.c_str());
      case GET_TITLE_WIDE:
        if (found == playlist.end()) return 0;
        if (found->second.wideTitleAnswersOne) return 1;
        if (!found->second.hasWideTitle) return 0;
        return reinterpret_cast<LRESULT>(found->second.wideTitle.c_str());
      case 214:
        if (found == playlist.end()) return 0;
        if (found->second.wideAnswersOne) return 1;
        if (!found->second.hasWideFile) return 0;
        return reinterpret_cast<LRESULT>(found->second.wideFile.c_str());
      default:
        return 0;
    }
  }
  if (message == WM_TIMER && wParam == HOLD_TIMER) {
    KillTimer(window, HOLD_TIMER);
    void runDialogScript(HWND dialog);
    if (settingsDialog != nullptr) runDialogScript(settingsDialog);
    return 0;
  }
  if (message == WM_TIMER && wParam == PICKER_TIMER) {
    KillTimer(window, PICKER_TIMER);
    if (IsWindow(picker)) PostMessageA(picker, WM_COMMAND, IDOK, 0);
    return 0;
  }
  if (message == RUN_DIALOG_SCRIPT) {
    void runDialogScript(HWND dialog);
    runDialogScript(reinterpret_cast<HWND>(wParam));
    return 0;
  }
  return DefWindowProcA(window, message, wParam, lParam);
}

// ---- Message pump -------------------------------------------------------
void pump(DWORD ms) {
  const DWORD end = GetTickCount() + ms;
  // The deadline is checked between messages: a cycle slower than the
  // timer period always leaves a tick waiting.
  for (;;) {
    const LONG left = static_cast<LONG>(end - GetTickCount());
    if (left <= 0) break;
    MSG msg;
    if (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
      TranslateMessage(&msg);
      DispatchMessageA(&msg);
    } else {
      MsgWaitForMultipleObjects(0, nullptr, FALSE, static_cast<DWORD>(left), QS_ALLINPUT);
    }
  }
}

// ---- Timers of the module, seen through its import table ------------------
struct ModuleTimer {
  HWND window;
  UINT_PTR id;
  TIMERPROC procedure;
};
std::vector<ModuleTimer> moduleTimers;

// Set by "tick-times": the timer's ticks are logged with the time they
// arrived, in ms since the script started.
bool tickTimes = false;
DWORD scriptStart = 0;

VOID CALLBACK tickProcedure(HWND window, UINT message, UINT_PTR id, DWORD time) {
  for (const ModuleTimer& timer : moduleTimers) {
    if (timer.window == window && timer.id == id) {
      if (tickTimes) {
        logLine("TICK %lu @%lu", static_cast<unsigned long>(id),
                static_cast<unsigned long>(GetTickCount() - scriptStart));
      } else {
        logLine("TICK %lu", static_cast<unsigned long>(id));
      }
      timer.procedure(window, message, id, time);
      return;
    }
  }
  logLine("TICK-UNKNOWN %lu", static_cast<unsigned long>(id));
}

UINT_PTR WINAPI watchedSetTimer(HWND window, UINT_PTR id, UINT period, TIMERPROC procedure) {
  if (!quietTicks)
    logLine("SETTIMER %s %lu %u", window == playerWindow ? "player" : "other",
            static_cast<unsigned long>(id), period);
  bool known = false;
  for (ModuleTimer& timer : moduleTimers) {
    if (timer.window == window && timer.id == id) {
      timer.procedure = procedure;
      known = true;
    }
  }
  if (!known) moduleTimers.push_back({window, id, procedure});
  return SetTimer(window, id, period, procedure != nullptr ? tickProcedure : nullptr);
}

BOOL WINAPI watchedKillTimer(HWND window, UINT_PTR id) {
  if (!quietTicks)
    logLine("KILLTIMER %s %lu", window == playerWindow ? "player" : "other",
            static_cast<unsigned long>(id));
  return KillTimer(window, id);
}

// Points the module's imports of SetTimer and KillTimer at the watchers.
bool watchTimers(HMODULE target) {
  auto* base = reinterpret_cast<BYTE*>(target);
  auto* dos = reinterpret_cast<IMAGE_DOS_HEADER*>(base);
  auto* nt = reinterpret_cast<IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
  const IMAGE_DATA_DIRECTORY& dir = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
  int patched = 0;
  for (auto* imp = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR*>(base + dir.VirtualAddress);
       imp->Name != 0; ++imp) {
    if (_stricmp(reinterpret_cast<char*>(base + imp->Name), "user32.dll") != 0) continue;
    auto* names = reinterpret_cast<IMAGE_THUNK_DATA*>(base + imp->OriginalFirstThunk);
    auto* slots = reinterpret_cast<IMAGE_THUNK_DATA*>(base + imp->FirstThunk);
    for (; names->u1.AddressOfData != 0; ++names, ++slots) {
      if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal)) continue;
      const char* name =
          reinterpret_cast<IMAGE_IMPORT_BY_NAME*>(base + names->u1.AddressOfData)->Name;
      void* replacement = nullptr;
      if (std::strcmp(name, "SetTimer") == 0)
        replacement = reinterpret_cast<void*>(watchedSetTimer);
      if (std::strcmp(name, "KillTimer") == 0)
        replacement = reinterpret_cast<void*>(watchedKillTimer);
      if (replacement == nullptr) continue;
      DWORD old = 0;
      VirtualProtect(&slots->u1.Function, sizeof slots->u1.Function, PAGE_READWRITE, &old);
      slots->u1.Function = reinterpret_cast<DWORD_PTR>(replacement);
      VirtualProtect(&slots->u1.Function, sizeof slots->u1.Function, old, &old);
      ++patched;
    }
  }
  return patched == 2;
}

// ---- Message boxes and the dialog, caught as they are activated -----------
std::set<HWND> seenWindows;

std::string windowText(HWND window) {
  char text[4096] = {};
  GetWindowTextA(window, text, sizeof text);
  return text;
}

LRESULT CALLBACK cbtProcedure(int code, WPARAM wParam, LPARAM lParam) {
  if (code == HCBT_DESTROYWND) seenWindows.erase(reinterpret_cast<HWND>(wParam));
  if (code == HCBT_ACTIVATE) {
    const HWND window = reinterpret_cast<HWND>(wParam);
    char className[64] = {};
    GetClassNameA(window, className, sizeof className);
    if (std::strcmp(className, "#32770") == 0 && seenWindows.insert(window).second) {
      if (FindWindowExA(window, nullptr, "SysTreeView32", nullptr) != nullptr) {
        // The folder picker: taken as it opens, at the folder it starts at.
        logLine("PICKER open");
        picker = window;
        SetTimer(playerWindow, PICKER_TIMER, PICKER_WAIT_MS, nullptr);
      } else if (GetDlgItem(window, IDC_URL) != nullptr) {
        settingsDialog = window;
        logLine("DIALOG open caption=%s", visible(windowText(window)).c_str());
        PostMessageA(playerWindow, RUN_DIALOG_SCRIPT, reinterpret_cast<WPARAM>(window), 0);
      } else {
        // A message box: its text is the static control 0xFFFF.
        char text[4096] = {};
        GetDlgItemTextA(window, 0xFFFF, text, sizeof text);
        logLine("BOX %s|%s", visible(windowText(window)).c_str(),
                visible(text, std::strlen(text)).c_str());
        PostMessageA(window, WM_COMMAND, IDOK, 0);
      }
    }
  }
  return CallNextHookEx(nullptr, code, wParam, lParam);
}

// ---- Script parsing helpers -------------------------------------------------
std::string restOf(std::istringstream& in) {
  std::string rest;
  std::getline(in, rest);
  const size_t start = rest.empty() || rest[0] != ' ' ? 0 : 1;
  return std::string(rest.begin() + static_cast<std::ptrdiff_t>(start), rest.end());
}

// "\xHH" escapes in script texts become bytes.
std::string unescape(const std::string& s) {
  std::string out;
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '\\' && i + 3 < s.size() && s[i + 1] == 'x') {
      out += static_cast<char>(std::strtoul(s.substr(i + 2, 2).c_str(), nullptr, 16));
      i += 3;
    } else {
      out += s[i];
    }
  }
  return out;
}

std::wstring wideFromUtf8(const std::string& utf8);

// ---- Dialog steps -------------------------------------------------------------
//   settext ID TEXT       WM_SETTEXT on the control (bypasses typing limits)
//   setwide ID TEXT       the same in UTF-16 (TEXT in UTF-8, \xHH escapes)
//   showwide ID           log the control's UTF-16 text, in UTF-8
//   fill ID CHAR COUNT    WM_SETTEXT with COUNT copies of CHAR
//   type ID TEXT          WM_CHAR per character, as typing would
//   check ID 0|1          BM_SETCHECK
//   show ID               log the control's text
//   checked ID            log the check box state
//   click ID              WM_COMMAND BN_CLICKED from the button
//   destroy ID            remove the control
//   hold MS               let the dialog run on its own for MS, then go on
void runDialogScript(HWND dialog) {
  if (dialogScriptRunning) return;
  dialogScriptRunning = true;
  while (!dialogSteps.empty() && IsWindow(dialog)) {
    std::istringstream in(dialogSteps.front());
    dialogSteps.pop_front();
    std::string step;
    int id = 0;
    in >> step >> id;
    const HWND control = GetDlgItem(dialog, id);
    if (step == "settext") {
      const std::string text = unescape(restOf(in));
      SendMessageA(control, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text.c_str()));
    } else if (step == "setwide") {
      const std::wstring text = wideFromUtf8(unescape(restOf(in)));
      SendMessageW(control, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text.c_str()));
    } else if (step == "showwide") {
      const int n = GetWindowTextLengthW(control);
      std::wstring text(static_cast<size_t>(n) + 1, L'\0');
      GetWindowTextW(control, text.data(), n + 1);
      logLine("DIALOG wide %d=%s", id, visible(utf8FromWide(text.c_str())).c_str());
    } else if (step == "fill") {
      std::string c;
      size_t count = 0;
      in >> c >> count;
      const std::string text(count, c.empty() ? 'x' : c[0]);
      SendMessageA(control, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text.c_str()));
    } else if (step == "type") {
      for (char c : unescape(restOf(in))) SendMessageA(control, WM_CHAR, static_cast<BYTE>(c), 0);
    } else if (step == "check") {
      int on = 0;
      in >> on;
      SendMessageA(control, BM_SETCHECK, on ? BST_CHECKED : BST_UNCHECKED, 0);
    } else if (step == "show") {
      const int n = GetWindowTextLengthA(control);
      std::string text(static_cast<size_t>(n) + 1, '\0');
      GetWindowTextA(control, text.data(), n + 1);
      text.resize(static_cast<size_t>(n));
      logLine("DIALOG text %d=%s", id, visible(text).c_str());
    } else if (step == "checked") {
      logLine("DIALOG checked %d=%d", id,
              SendMessageA(control, BM_GETCHECK, 0, 0) == BST_CHECKED ? 1 : 0);
    } else if (step == "click") {
      logLine("DIALOG click %d", id);
      SendMessageA(dialog, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED),
                   reinterpret_cast<LPARAM>(control));
    } else if (step == "destroy") {
      DestroyWindow(control);
    } else if (step == "hold") {
      // Back to the dialog's own loop (which shows the dialog once it is
      // idle); the remaining steps run when the hold timer fires.
      SetTimer(playerWindow, HOLD_TIMER, static_cast<UINT>(id), nullptr);
      dialogScriptRunning = false;
      return;
    } else {
      logLine("ERROR unknown dialog step %s", step.c_str());
    }
  }
  dialogScriptRunning = false;
  // A dialog left open by the script is cancelled, so no run waits forever.
  if (IsWindow(dialog) && dialogSteps.empty()) {
    PostMessageA(dialog, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
  }
}

// ---- Registry ---------------------------------------------------------------------
void seedValue(const std::string& name, DWORD type, const void* data, DWORD size) {
  HKEY raw = nullptr;
  if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, SETTINGS_KEY, 0, nullptr, REG_OPTION_NON_VOLATILE,
                      KEY_ALL_ACCESS, nullptr, &raw, nullptr) != ERROR_SUCCESS) {
    logLine("ERROR cannot create key to seed");
    return;
  }
  KeyOwner key(raw);
  if (RegSetValueExA(key.get(), name.c_str(), 0, type, static_cast<const BYTE*>(data), size) !=
      ERROR_SUCCESS) {
    logLine("ERROR cannot seed %s", name.c_str());
  }
}

void seedWide(const std::string& name, const std::wstring& text) {
  HKEY raw = nullptr;
  if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, SETTINGS_KEY, 0, nullptr, REG_OPTION_NON_VOLATILE,
                      KEY_ALL_ACCESS, nullptr, &raw, nullptr) != ERROR_SUCCESS) {
    logLine("ERROR cannot create key to seed");
    return;
  }
  KeyOwner key(raw);
  const std::wstring wideName(name.begin(), name.end());
  if (RegSetValueExW(key.get(), wideName.c_str(), 0, REG_SZ,
                     reinterpret_cast<const BYTE*>(text.c_str()),
                     static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t))) != ERROR_SUCCESS) {
    logLine("ERROR cannot seed %s", name.c_str());
  }
}

// The text values as the wide call reads them: "WREG NAME typeN BYTES TEXT",
// the text in UTF-8 up to its terminator.
void dumpWideRegistry() {
  HKEY raw = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, SETTINGS_KEY, 0, KEY_READ, &raw) != ERROR_SUCCESS) {
    logLine("WREG key absent");
    return;
  }
  KeyOwner key(raw);
  for (const wchar_t* name : {L"URL", L"OutputFolder", L"OutputTemplate", L"OutputStopped"}) {
    std::vector<wchar_t> data(4096, L'\0');
    DWORD type = 0;
    DWORD size = static_cast<DWORD>((data.size() - 1) * sizeof(wchar_t));
    if (RegQueryValueExW(key.get(), name, nullptr, &type, reinterpret_cast<BYTE*>(data.data()),
                         &size) != ERROR_SUCCESS)
      continue;
    logLine("WREG %s type%lu %lu %s", utf8FromWide(name).c_str(), static_cast<unsigned long>(type),
            static_cast<unsigned long>(size), visible(utf8FromWide(data.data())).c_str());
  }
}

void dumpRegistry() {
  HKEY raw = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, SETTINGS_KEY, 0, KEY_READ, &raw) != ERROR_SUCCESS) {
    logLine("REG key absent");
    return;
  }
  KeyOwner key(raw);
  DWORD count = 0;
  RegQueryInfoKeyA(key.get(), nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &count, nullptr,
                   nullptr, nullptr, nullptr);
  logLine("REG values %lu", static_cast<unsigned long>(count));
  // The first four are always named; the later ones when they are there.
  for (const char* name : {"URL", "Enabled", "Interval", "Utf8", "OutputFolder", "OutputTemplate",
                           "OutputStopped", "SendCover"}) {
    std::vector<char> data(4096);
    DWORD type = 0;
    DWORD size = static_cast<DWORD>(data.size());
    if (RegQueryValueExA(key.get(), name, nullptr, &type, reinterpret_cast<BYTE*>(data.data()),
                         &size) != ERROR_SUCCESS) {
      if (std::string_view(name).substr(0, 6) != "Output" && std::string_view(name) != "SendCover")
        logLine("REG %s absent", name);
    } else if (type == REG_DWORD && size == 4) {
      DWORD value = 0;
      std::memcpy(&value, data.data(), 4);
      logLine("REG %s dword %lu", name, static_cast<unsigned long>(value));
    } else {
      logLine("REG %s type%lu %lu %s", name, static_cast<unsigned long>(type),
              static_cast<unsigned long>(size), visible(data.data(), size).c_str());
    }
  }
}

// ---- Dialog template 101 as compiled into the module ------------------------------
std::string readWide(const WORD*& p) {
  const std::wstring wide(reinterpret_cast<const wchar_t*>(p));
  p += wide.size() + 1;
  return utf8FromWide(wide.c_str());
}

std::string readNameOrOrdinal(const WORD*& p) {
  if (*p == 0xFFFF) {
    const WORD ordinal = p[1];
    p += 2;
    switch (ordinal) {
      case 0x80:
        return "Button";
      case 0x81:
        return "Edit";
      case 0x82:
        return "Static";
      default: {
        char name[16];
        std::snprintf(name, sizeof name, "#%u", ordinal);
        return name;
      }
    }
  }
  return readWide(p);
}

void dumpTemplate() {
  const HRSRC found = FindResourceA(module.get(), MAKEINTRESOURCEA(101), MAKEINTRESOURCEA(5));
  if (found == nullptr) {
    logLine("TEMPLATE absent");
    return;
  }
  const auto* bytes = static_cast<const BYTE*>(LockResource(LoadResource(module.get(), found)));
  const auto* head = reinterpret_cast<const DLGTEMPLATE*>(bytes);
  const WORD* p = reinterpret_cast<const WORD*>(head + 1);
  if (head->style == 0xFFFF0001) {
    logLine("TEMPLATE extended");
    return;
  }
  const std::string menu = readNameOrOrdinal(p);
  const std::string windowClass = readNameOrOrdinal(p);
  const std::string caption = readWide(p);
  std::string font = "none";
  if (head->style & DS_SETFONT) {
    const WORD points = *p++;
    font = std::to_string(points) + "," + readWide(p);
  }
  logLine(
      "TEMPLATE style=0x%08lX exstyle=0x%lX items=%u rect=%d,%d,%d,%d caption=%s font=%s "
      "menu=%s class=%s",
      static_cast<unsigned long>(head->style), static_cast<unsigned long>(head->dwExtendedStyle),
      head->cdit, head->x, head->y, head->cx, head->cy, caption.c_str(), font.c_str(), menu.c_str(),
      windowClass.c_str());
  for (WORD i = 0; i < head->cdit; ++i) {
    p = reinterpret_cast<const WORD*>((reinterpret_cast<uintptr_t>(p) + 3) & ~uintptr_t{3});
    const auto* item = reinterpret_cast<const DLGITEMTEMPLATE*>(p);
    p = reinterpret_cast<const WORD*>(item + 1);
    const std::string itemClass = readNameOrOrdinal(p);
    const std::string text = readNameOrOrdinal(p);
    const WORD extra = *p++;
    p = reinterpret_cast<const WORD*>(reinterpret_cast<const BYTE*>(p) + extra);
    logLine("ITEM %u id=%u class=%s text=%s style=0x%08lX exstyle=0x%lX rect=%d,%d,%d,%d", i,
            item->id, itemClass.c_str(), text.c_str(), static_cast<unsigned long>(item->style),
            static_cast<unsigned long>(item->dwExtendedStyle), item->x, item->y, item->cx,
            item->cy);
  }
}

// ---- The player's main window, as other programs look for it -----------------------
// Programs that manage the player (its setup program, for one) find it by the
// window class "Winamp v1.x" and end it with WM_COMMAND 40001, its "exit".
// Other programs' windows are found among the top-level dialog windows
// (class #32770) by the start of their caption.
//   player-window close|ignore     register that window; on 40001 either end
//                                  as the player's exit does (the module's
//                                  quit, unload, end of script) or go on
//   serve MS                       run the message loop until that exit, MS
//                                  at most
//   windows CAPTION                log the dialog windows so captioned:
//                                  "WINDOW dialog" or "WINDOW box|TEXT"
//   window-command KIND ID CAPTION WM_COMMAND ID (a click on button ID, or on
//                                  the default button for "default") to the
//                                  first such window of KIND: dialog or box
//   await-window MS KIND CAPTION   run the message loop until such a window
//                                  exists, MS at most
constexpr UINT PLAYER_EXIT_COMMAND = 40001;
bool playerClosesOnExit = false;
bool playerExitRequested = false;

LRESULT CALLBACK playerMainProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_COMMAND && LOWORD(wParam) == PLAYER_EXIT_COMMAND) {
    logLine("EXIT-COMMAND %s", playerClosesOnExit ? "close" : "ignored");
    if (playerClosesOnExit) playerExitRequested = true;
    return 0;
  }
  return DefWindowProcA(window, message, wParam, lParam);
}

struct DialogSearch {
  std::string caption;
  std::vector<HWND> found;
};

BOOL CALLBACK collectDialog(HWND window, LPARAM param) {
  auto* search = reinterpret_cast<DialogSearch*>(param);
  char className[64] = {};
  GetClassNameA(window, className, sizeof className);
  if (std::strcmp(className, "#32770") == 0 && windowText(window).rfind(search->caption, 0) == 0)
    search->found.push_back(window);
  return TRUE;
}

std::vector<HWND> dialogsCaptioned(const std::string& caption) {
  DialogSearch search{caption, {}};
  EnumWindows(collectDialog, reinterpret_cast<LPARAM>(&search));
  return search.found;
}

bool isMessageBox(HWND window) { return GetDlgItem(window, 0xFFFF) != nullptr; }

// The first such window of the kind "dialog" or "box" (a message box).
HWND firstWindow(const std::string& kind, const std::string& caption) {
  for (HWND window : dialogsCaptioned(caption))
    if (isMessageBox(window) == (kind == "box")) return window;
  return nullptr;
}

// Runs one of the commands above; false when the script must stop.
bool runPlayerCommand(const std::string& command, std::istringstream& in) {
  if (command == "player-window") {
    std::string mode;
    in >> mode;
    playerClosesOnExit = mode == "close";
    WNDCLASSA windowClass{};
    windowClass.lpfnWndProc = playerMainProcedure;
    windowClass.hInstance = GetModuleHandleA(nullptr);
    windowClass.lpszClassName = "Winamp v1.x";
    if (RegisterClassA(&windowClass) == 0 ||
        CreateWindowExA(0, windowClass.lpszClassName, "Test player", WS_OVERLAPPEDWINDOW, 0, 0, 320,
                        200, nullptr, nullptr, windowClass.hInstance, nullptr) == nullptr) {
      logLine("ERROR no player window %lu", static_cast<unsigned long>(GetLastError()));
      return false;
    }
    logLine("PLAYER-WINDOW %s", playerClosesOnExit ? "close" : "ignore");
  } else if (command == "serve") {
    DWORD ms = 0;
    in >> ms;
    const DWORD start = GetTickCount();
    while (!playerExitRequested && GetTickCount() - start < ms) {
      MSG msg;
      if (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
      } else {
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 50, QS_ALLINPUT);
      }
    }
    if (playerExitRequested) {
      if (record != nullptr && record->hostWindow != nullptr) record->quit();
      record = nullptr;
      module.reset();
      logLine("EXITED");
    }
  } else if (command == "windows") {
    for (HWND window : dialogsCaptioned(restOf(in))) {
      if (isMessageBox(window)) {
        char text[4096] = {};
        GetDlgItemTextA(window, 0xFFFF, text, sizeof text);
        logLine("WINDOW box|%s", visible(text, std::strlen(text)).c_str());
      } else {
        logLine("WINDOW dialog");
      }
    }
  } else if (command == "await-window") {
    DWORD ms = 0;
    std::string kind;
    in >> ms >> kind;
    const std::string caption = restOf(in);
    const DWORD start = GetTickCount();
    while (firstWindow(kind, caption) == nullptr) {
      if (GetTickCount() - start > ms) {
        logLine("ERROR no %s %s", kind.c_str(), caption.c_str());
        return false;
      }
      pump(50);
    }
    logLine("WINDOW-SHOWN %s", kind.c_str());
  } else {
    std::string kind, button;
    in >> kind >> button;
    const HWND window = firstWindow(kind, restOf(in));
    if (window == nullptr) {
      logLine("ERROR no %s for the command", kind.c_str());
      return false;
    }
    // "default": the button Enter would press, the one drawn as default.
    int id = std::atoi(button.c_str());
    if (button == "default") {
      id = 0;
      for (HWND child = GetWindow(window, GW_CHILD); child != nullptr && id == 0;
           child = GetWindow(child, GW_HWNDNEXT)) {
        char className[64] = {};
        GetClassNameA(child, className, sizeof className);
        if (_stricmp(className, "Button") == 0 &&
            (GetWindowLongA(child, GWL_STYLE) & BS_TYPEMASK) == BS_DEFPUSHBUTTON)
          id = GetDlgCtrlID(child);
      }
    }
    PostMessageA(window, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED),
                 reinterpret_cast<LPARAM>(GetDlgItem(window, id)));
    logLine("WINDOW-COMMAND %s %d", kind.c_str(), id);
  }
  return true;
}

std::wstring wideFromUtf8(const std::string& utf8) {
  const int units = MultiByteToWideChar(CP_UTF8, 0, utf8.c_str(), -1, nullptr, 0);
  std::wstring wide(units > 0 ? static_cast<size_t>(units) : 1, L'\0');
  if (units > 0) MultiByteToWideChar(CP_UTF8, 0, utf8.c_str(), -1, wide.data(), units);
  wide.resize(wide.size() - 1);
  return wide;
}

// ---- A second plug-in that subclasses the player's window ---------------------------
// It puts its own procedure in front of whatever the window uses (the
// module's, once the module watches it), counts the WM_USER messages it sees
// and forwards every message; "unsubclass2" puts back what it replaced, as a
// plug-in ending does, whoever is in front by then.
WNDPROC secondPrevious = nullptr;
long secondSeen = 0;

LRESULT CALLBACK secondProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_USER) {
    ++secondSeen;
    logLine("SECOND %ld", static_cast<long>(lParam));
  }
  return CallWindowProcA(secondPrevious, window, message, wParam, lParam);
}

// Which procedure the player's window uses now.
const char* procedureName(HWND window) {
  const auto now = reinterpret_cast<WNDPROC>(GetWindowLongPtrA(window, GWLP_WNDPROC));
  if (now == playerProcedure) return "player";
  if (now == secondProcedure) return "second";
  return "other";
}

// Milliseconds since 1970 on the system clock, which the test's receiver
// reads too.
unsigned long long unixMs() {
  FILETIME now;
  GetSystemTimeAsFileTime(&now);
  const unsigned long long ticks =
      (static_cast<unsigned long long>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
  return ticks / 10000 - 11644473600000ULL;
}

// The file "hold" keeps open.
struct FileCloser {
  void operator()(HANDLE handle) const { CloseHandle(handle); }
};
using FileOwner = std::unique_ptr<void, FileCloser>;
FileOwner heldFile;

// A file's bytes as they stand; empty when it cannot be read.
std::string readWhole(const std::wstring& path) {
  FileOwner file(CreateFileW(path.c_str(), GENERIC_READ,
                             FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                             OPEN_EXISTING, 0, nullptr));
  if (file.get() == INVALID_HANDLE_VALUE) {
    file.release();
    return {};
  }
  std::string out;
  char buffer[4096];
  DWORD n = 0;
  while (ReadFile(file.get(), buffer, sizeof buffer, &n, nullptr) && n > 0) out.append(buffer, n);
  return out;
}

// ---- A stand-in for the Discord client on \\.\pipe\discord-ipc-0 -------------------
// "answer": every frame the module writes is logged ("DISCORD-FRAME OP
// @UNIXMS JSON"); the handshake gets READY, each command an answer with its
// nonce. "silent": the connection is taken and never read nor answered.
// Up to four connections one after the other, each logged.
bool discordAnswers = false;

bool readExactly(HANDLE pipe, char* into, DWORD size) {
  while (size > 0) {
    DWORD n = 0;
    if (!ReadFile(pipe, into, size, &n, nullptr) || n == 0) return false;
    into += n;
    size -= n;
  }
  return true;
}

bool writeFrame(HANDLE pipe, uint32_t op, const std::string& json) {
  std::string bytes(8, '\0');
  const uint32_t length = static_cast<uint32_t>(json.size());
  std::memcpy(&bytes[0], &op, 4);
  std::memcpy(&bytes[4], &length, 4);
  bytes += json;
  DWORD n = 0;
  return WriteFile(pipe, bytes.data(), static_cast<DWORD>(bytes.size()), &n, nullptr) &&
         n == bytes.size();
}

DWORD WINAPI serveDiscord(void*) {
  for (int connection = 0; connection < 4; ++connection) {
    const HANDLE pipe = CreateNamedPipeW(L"\\\\.\\pipe\\discord-ipc-0", PIPE_ACCESS_DUPLEX,
                                         PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT, 1, 65536,
                                         65536, 0, nullptr);
    if (pipe == INVALID_HANDLE_VALUE) {
      logLine("DISCORD-PIPE failed %lu", static_cast<unsigned long>(GetLastError()));
      return 0;
    }
    if (!ConnectNamedPipe(pipe, nullptr) && GetLastError() != ERROR_PIPE_CONNECTED) {
      CloseHandle(pipe);
      continue;
    }
    logLine("DISCORD-PIPE connected @%llu", unixMs());
    if (!discordAnswers) {
      Sleep(INFINITE);  // the process's end takes the thread
    }
    for (;;) {
      char header[8];
      if (!readExactly(pipe, header, sizeof header)) break;
      uint32_t op = 0, length = 0;
      std::memcpy(&op, header, 4);
      std::memcpy(&length, header + 4, 4);
      if (length > (1u << 20)) {
        logLine("DISCORD-FRAME malformed op=%u length=%u", op, length);
        break;
      }
      std::string json(length, '\0');
      if (length > 0 && !readExactly(pipe, json.data(), length)) {
        logLine("DISCORD-FRAME malformed short payload");
        break;
      }
      logLine("DISCORD-FRAME %u @%llu %s", op, unixMs(), visible(json).c_str());
      if (op == 0) {
        writeFrame(pipe, 1, R"({"cmd":"DISPATCH","data":{"v":1},"evt":"READY","nonce":null})");
      } else if (op == 1) {
        const std::string key = "\"nonce\":\"";
        const size_t at = json.find(key);
        const std::string nonce =
            at == std::string::npos
                ? ""
                : json.substr(at + key.size(), json.find('"', at + key.size()) - at - key.size());
        writeFrame(pipe, 1,
                   R"({"cmd":"SET_ACTIVITY","data":null,"evt":null,"nonce":")" + nonce + "\"}");
      }
    }
    logLine("DISCORD-PIPE closed @%llu", unixMs());
    DisconnectNamedPipe(pipe);
    CloseHandle(pipe);
  }
  return 0;
}

// ---- Script --------------------------------------------------------------------------
//   playlist STATUS POSITION       answers to 104 and 125
//   output-time MS SECONDS         answers to 105 (wParam 0 and 1); the
//                                  position runs on while the status is 1
//   title POS TEXT / notitle POS   answer to 212 for POS
//   file POS PATH / nofile POS     answer to 211 for POS
//   widefile POS PATH              answer to 214 for POS: PATH (UTF-8, \xHH
//                                  escapes) in UTF-16
//   nowide POS                     answer 1 to 214 for POS
//   widetitle POS TEXT             answer to 213 for POS: TEXT (UTF-8, \xHH
//                                  escapes) in UTF-16
//   nowidetitle POS / onewidetitle POS   answer 0 / 1 to 213 for POS
//   seed-url TEXT                  "URL" as REG_SZ without terminator
//   seed-dword NAME N              a REG_DWORD value
//   seed-text NAME TEXT            a REG_SZ value (with its terminator)
//   seed-wide NAME TEXT            a REG_SZ value written in UTF-16 (TEXT in
//                                  UTF-8, \xHH escapes; with its terminator)
//   hold PATH                      open PATH as a reader that shares reading
//                                  and writing but no delete ("HELD ok|failed")
//   release                        close it ("RELEASED @UNIXMS")
//   await-text PATH MS TEXT        run the message loop until PATH holds TEXT
//                                  (\xHH escapes), at most MS: "TEXT after N"
//                                  or "TEXT timeout"
//   registry                       log the settings key
//   wide-registry                  log its text values as the wide call
//                                  reads them ("WREG ...", see dumpWideRegistry)
//   load PATH                      LoadLibrary, call the export
//   template                       log template 101 of the module
//   init / config / quit           the record's operations
//   dialog STEP...                 queue a dialog step for the next config
//   pump MS                        run the message loop
//   tick ID                        run the module's timer procedure for ID now,
//                                  as a WM_TIMER would, and log how long it
//                                  held the player's thread ("TICKED ID MS US")
//   await PATH                     run the message loop until the file PATH
//                                  exists (the test's cue), at most 60 s
//   unload                         FreeLibrary
//   mark TEXT                      a line in the log
//   quiet                          from now on queries and timer calls are
//                                  not logged (a tick's time is the module's)
//   tick-times                     from now on the timer's ticks are logged
//                                  as "TICK ID @MS", MS since the start
//   stamp                          "STAMP MS", MS since the start
//   notify CODE ARG                SendMessageA(window, WM_USER, wParam, CODE),
//                                  logged "SENT CODE @UNIXMS RESULT": for 3003
//                                  wParam is ARG as text, for 13003 ARG in
//                                  UTF-16 (both with \xHH escapes), else the
//                                  number ARG (603 0|2, or a query: 104 0)
//   subclass2 / unsubclass2        the second plug-in puts its procedure in
//                                  front of the window's / puts back the one
//                                  it replaced ("SUBCLASS2 over WHO",
//                                  "UNSUBCLASS2 from WHO")
//   wndproc                        "WNDPROC player|second|other": which
//                                  procedure the window uses ("other": the
//                                  module's)
//   seen2                          "SEEN2 N": WM_USER messages the second saw
//   module-loaded NAME             "MODULE NAME loaded|gone" (GetModuleHandleA)
//   discord-pipe answer|silent     serve \\.\pipe\discord-ipc-0 on a thread of its
//                                  own (see serveDiscord)
int runScript(std::istream& script, HWND window) {
  scriptStart = GetTickCount();
  std::string line;
  while (std::getline(script, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty() || line[0] == '#') continue;
    std::istringstream in(line);
    std::string command;
    in >> command;
    if (command == "player-window" || command == "serve" || command == "windows" ||
        command == "window-command" || command == "await-window") {
      if (!runPlayerCommand(command, in)) return 1;
      if (playerExitRequested) return 0;
      continue;
    }
    if (command == "playlist") {
      in >> playbackStatus >> playlistPosition;
    } else if (command == "output-time") {
      in >> outputPositionMs >> outputLengthSeconds;
      outputTimeSetAt = GetTickCount();
    } else if (command == "title" || command == "notitle" || command == "file" ||
               command == "nofile" || command == "widefile" || command == "nowide" ||
               command == "widetitle" || command == "nowidetitle" || command == "onewidetitle") {
      // Commands about one playlist entry, named by its position.
      long pos = 0;
      in >> pos;
      Entry& entry = playlist[pos];
      if (command == "title") entry.title = unescape(restOf(in));
      if (command == "file") entry.file = unescape(restOf(in));
      if (command == "title" || command == "notitle") entry.hasTitle = command == "title";
      if (command == "file" || command == "nofile") entry.hasFile = command == "file";
      if (command == "widefile") entry.wideFile = wideFromUtf8(unescape(restOf(in)));
      if (command == "widetitle") entry.wideTitle = wideFromUtf8(unescape(restOf(in)));
      if (command == "widetitle" || command == "nowidetitle" || command == "onewidetitle") {
        entry.hasWideTitle = command == "widetitle";
        entry.wideTitleAnswersOne = command == "onewidetitle";
      }
      if (command == "widefile" || command == "nowide") {
        entry.hasWideFile = command == "widefile";
        entry.wideAnswersOne = command == "nowide";
      }
    } else if (command == "seed-url") {
      // A byte other than NUL right after the text: the system then stores
      // exactly the characters, with no terminator.
      std::string url = unescape(restOf(in));
      const DWORD size = static_cast<DWORD>(url.size());
      url += 'X';
      seedValue("URL", REG_SZ, url.data(), size);
    } else if (command == "seed-dword") {
      std::string name;
      DWORD value = 0;
      in >> name >> value;
      seedValue(name, REG_DWORD, &value, sizeof value);
    } else if (command == "seed-text") {
      std::string name;
      in >> name;
      const std::string text = unescape(restOf(in));
      seedValue(name, REG_SZ, text.c_str(), static_cast<DWORD>(text.size() + 1));
    } else if (command == "hold") {
      const std::wstring path = wideFromUtf8(unescape(restOf(in)));
      heldFile.reset(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                 nullptr, OPEN_EXISTING, 0, nullptr));
      if (heldFile.get() == INVALID_HANDLE_VALUE) heldFile.release();
      logLine("HELD %s", heldFile ? "ok" : "failed");
    } else if (command == "release") {
      heldFile.reset();
      logLine("RELEASED @%llu", unixMs());
    } else if (command == "await-text") {
      DWORD ms = 0;
      in >> ms;
      const std::string path = restOf(in);
      const size_t space = path.find(' ');
      const std::wstring file = wideFromUtf8(unescape(path.substr(0, space)));
      const std::string want = space == std::string::npos ? "" : unescape(path.substr(space + 1));
      const DWORD start = GetTickCount();
      while (readWhole(file) != want && GetTickCount() - start < ms) pump(5);
      const DWORD took = GetTickCount() - start;
      if (readWhole(file) == want) {
        logLine("TEXT after %lu", static_cast<unsigned long>(took));
      } else {
        logLine("TEXT timeout");
      }
    } else if (command == "seed-wide") {
      std::string name;
      in >> name;
      seedWide(name, wideFromUtf8(unescape(restOf(in))));
    } else if (command == "registry") {
      dumpRegistry();
    } else if (command == "wide-registry") {
      dumpWideRegistry();
    } else if (command == "load") {
      const std::string path = restOf(in);
      module.reset(LoadLibraryA(path.c_str()));
      if (!module) {
        logLine("LOAD failed %lu", static_cast<unsigned long>(GetLastError()));
        return 1;
      }
      if (!watchTimers(module.get())) logLine("ERROR timer imports not found");
      auto get = reinterpret_cast<GetRecord>(
          reinterpret_cast<void*>(GetProcAddress(module.get(), "winampGetGeneralPurposePlugin")));
      record = get != nullptr ? get() : nullptr;
      if (record == nullptr) {
        logLine("LOAD no record");
        return 1;
      }
      logLine("LOAD version=%d description=%s", record->version,
              record->description
                  ? visible(record->description, std::strlen(record->description)).c_str()
                  : "(null)");
    } else if (command == "template") {
      dumpTemplate();
    } else if (command == "init") {
      record->hostWindow = window;
      record->moduleInstance = module.get();
      const int32_t rc = record->init();
      logLine("INIT %d description=%s", rc,
              visible(record->description, std::strlen(record->description)).c_str());
    } else if (command == "dialog") {
      dialogSteps.push_back(restOf(in));
    } else if (command == "config") {
      settingsDialog = nullptr;
      logLine("CONFIG begin");
      record->config();
      logLine("CONFIG end %s", settingsDialog != nullptr ? "shown" : "not-shown");
      dialogSteps.clear();
    } else if (command == "quit") {
      record->quit();
      logLine("QUIT");
    } else if (command == "pump") {
      DWORD ms = 0;
      in >> ms;
      pump(ms);
    } else if (command == "tick") {
      UINT_PTR id = 0;
      in >> id;
      TIMERPROC procedure = nullptr;
      for (const ModuleTimer& timer : moduleTimers)
        if (timer.window == window && timer.id == id) procedure = timer.procedure;
      if (procedure == nullptr) {
        logLine("ERROR no module timer %lu", static_cast<unsigned long>(id));
        return 1;
      }
      LARGE_INTEGER frequency, begin, end;
      QueryPerformanceFrequency(&frequency);
      logLine("TICK %lu", static_cast<unsigned long>(id));
      QueryPerformanceCounter(&begin);
      procedure(window, WM_TIMER, id, GetTickCount());
      QueryPerformanceCounter(&end);
      logLine("TICKED %lu %ld %ld", static_cast<unsigned long>(id),
              static_cast<long>((end.QuadPart - begin.QuadPart) * 1000 / frequency.QuadPart),
              static_cast<long>((end.QuadPart - begin.QuadPart) * 1000000 / frequency.QuadPart));
    } else if (command == "await") {
      const std::string path = restOf(in);
      logLine("AWAIT %s", path.c_str());
      const DWORD start = GetTickCount();
      while (GetFileAttributesA(path.c_str()) == INVALID_FILE_ATTRIBUTES) {
        if (GetTickCount() - start > 60000) {
          logLine("ERROR await timed out");
          return 1;
        }
        pump(10);
      }
    } else if (command == "unload") {
      module.reset();
      record = nullptr;
      logLine("UNLOADED");
    } else if (command == "mark") {
      logLine("MARK %s", restOf(in).c_str());
    } else if (command == "quiet") {
      quietTicks = true;
    } else if (command == "tick-times") {
      tickTimes = true;
    } else if (command == "notify") {
      long code = 0;
      in >> code;
      const std::string arg = unescape(restOf(in));
      const std::wstring wide = wideFromUtf8(arg);
      WPARAM wParam = 0;
      if (code == NOTIFY_NEW_FILE) {
        wParam = reinterpret_cast<WPARAM>(arg.c_str());
      } else if (code == NOTIFY_NEW_FILE_WIDE) {
        wParam = reinterpret_cast<WPARAM>(wide.c_str());
      } else {
        wParam = static_cast<WPARAM>(std::strtoul(arg.c_str(), nullptr, 10));
      }
      const unsigned long long sent = unixMs();
      const LRESULT result = SendMessageA(window, WM_USER, wParam, code);
      logLine("SENT %ld @%llu %ld", code, sent, static_cast<long>(result));
    } else if (command == "subclass2") {
      const char* over = procedureName(window);
      secondPrevious = reinterpret_cast<WNDPROC>(
          SetWindowLongPtrA(window, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(secondProcedure)));
      logLine("SUBCLASS2 over %s", over);
    } else if (command == "unsubclass2") {
      const char* from = procedureName(window);
      SetWindowLongPtrA(window, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(secondPrevious));
      logLine("UNSUBCLASS2 from %s", from);
    } else if (command == "wndproc") {
      logLine("WNDPROC %s", procedureName(window));
    } else if (command == "seen2") {
      logLine("SEEN2 %ld", secondSeen);
    } else if (command == "module-loaded") {
      const std::string name = restOf(in);
      logLine("MODULE %s %s", name.c_str(),
              GetModuleHandleA(name.c_str()) != nullptr ? "loaded" : "gone");
    } else if (command == "discord-pipe") {
      std::string mode;
      in >> mode;
      discordAnswers = mode == "answer";
      const HANDLE thread = CreateThread(nullptr, 0, serveDiscord, nullptr, 0, nullptr);
      if (thread == nullptr) {
        logLine("ERROR no pipe thread");
        return 1;
      }
      CloseHandle(thread);
      Sleep(50);  // the pipe exists before the module looks
    } else if (command == "stamp") {
      logLine("STAMP %lu", static_cast<unsigned long>(GetTickCount() - scriptStart));
    } else {
      logLine("ERROR unknown command %s", command.c_str());
      return 1;
    }
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: test_host SCRIPT LOG\n");
    return 2;
  }
  logFile = std::fopen(argv[2], "wb");
  if (logFile == nullptr) return 2;
  std::ifstream script(argv[1], std::ios::binary);
  if (!script) {
    logLine("ERROR cannot read script");
    return 2;
  }

  WNDCLASSA windowClass{};
  windowClass.lpfnWndProc = playerProcedure;
  windowClass.hInstance = GetModuleHandleA(nullptr);
  windowClass.lpszClassName = "TrellicastTestPlayer";
  if (RegisterClassA(&windowClass) == 0) return 3;
  playerWindow = CreateWindowExA(0, windowClass.lpszClassName, "Test player", WS_OVERLAPPEDWINDOW,
                                 0, 0, 320, 200, nullptr, nullptr, windowClass.hInstance, nullptr);
  if (playerWindow == nullptr) {
    logLine("ERROR no window %lu", static_cast<unsigned long>(GetLastError()));
    return 3;
  }
  HookOwner hook(SetWindowsHookExA(WH_CBT, cbtProcedure, nullptr, GetCurrentThreadId()));
  if (!hook) {
    logLine("ERROR no hook");
    return 3;
  }
  const int rc = runScript(script, playerWindow);
  hook.reset();
  logLine("END %d", rc);
  DestroyWindow(playerWindow);
  std::fclose(logFile);
  return rc;
}

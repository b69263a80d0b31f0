// The narrow port between the plug-in core and the system underneath it.
//
// Every procedure here stands for one system call of the Windows build and
// keeps its shape, so platform/win32 forwards each one to the real API and
// platform/posix provides the same behaviour on its own event loop, store
// and HTTP client. The HTTP post is the one place where a procedure stands
// for several calls: the core hands over a whole post and later takes one
// outcome, and each backend runs the post on a sender thread of its own
// (see the HTTP section). The core includes this header and nothing
// system-specific.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

namespace form {
struct Layout;
}

namespace platform {

using WindowHandle = void*;  // HWND
using ModuleHandle = void*;  // HINSTANCE of this module
using KeyHandle = void*;     // HKEY

// ---- Messages to the host window --------------------------------------
constexpr unsigned USER_MESSAGE = 0x0400;  // WM_USER

// SendMessageA(window, WM_USER, wParam, code): synchronous, returns the
// window procedure's answer.
intptr_t sendUserMessage(WindowHandle window, uintptr_t wParam, intptr_t code);

// ---- Watching the host window ------------------------------------------
// The player tells its own window when what it plays changes; a plug-in
// learns of it by putting a procedure of its own in front of the window's.
using UserMessageWatch = void (*)(uintptr_t wParam, intptr_t code);

// SetWindowLongPtrA(window, GWLP_WNDPROC, ours): from now on watch sees
// every WM_USER message the window gets, before the window's own procedure,
// which gets every message unchanged (CallWindowProcA). One window at a
// time. False when the window cannot be watched.
bool watchWindow(WindowHandle window, UserMessageWatch watch);
// Ends the watch watchWindow put there: the window's previous procedure is put back when the
// window still uses ours; when another procedure was put in front of ours
// since, ours stays in the chain and only forwards from now on, and the
// module stays loaded for good (GetModuleHandleExA with the pin flag), so
// the window never calls into unloaded code.
void unwatchWindow(WindowHandle window, UserMessageWatch watch);

// ---- Timers -------------------------------------------------------------
// Period raised to the platform's shortest (10 ms) and capped at its
// longest (0x7FFFFFFF ms).
constexpr uint32_t TIMER_MAX_PERIOD_MS = 0x7FFFFFFF;
constexpr unsigned TIMER_MESSAGE = 0x0113;  // WM_TIMER

using TimerCallback = void (*)(WindowHandle window, unsigned message, uintptr_t timerId,
                               uint32_t time);

// SetTimer(window, timerId, periodMs, callback): nonzero on success.
uintptr_t setTimer(WindowHandle window, uintptr_t timerId, uint32_t periodMs,
                   TimerCallback callback);
// KillTimer(window, timerId).
bool killTimer(WindowHandle window, uintptr_t timerId);

// ---- Message boxes --------------------------------------------------------
// MessageBoxA(no owner, text, caption, MB_OK): returns when acknowledged.
// Runs a nested loop: timers keep firing while the box is open.
void messageBox(const char* text, const char* caption);

// ---- Modal dialog -----------------------------------------------------------
constexpr unsigned INIT_DIALOG = 0x0110;  // WM_INITDIALOG
constexpr unsigned COMMAND = 0x0111;      // WM_COMMAND; LOWORD(wParam) is the control id

using DialogProcedure = intptr_t (*)(WindowHandle dialog, unsigned message, uintptr_t wParam,
                                     intptr_t lParam);

// DialogBoxParamA(module, templateId, owner, procedure, 0): runs the dialog
// modally and returns the result given to endDialog, or -1 when it cannot
// be created. layout is the same template as data (platform/dialog_form.h),
// for a backend without the module's resources.
intptr_t dialogBox(ModuleHandle module, int templateId, const form::Layout* layout,
                   WindowHandle owner, DialogProcedure procedure);
bool endDialog(WindowHandle dialog, intptr_t result);                      // EndDialog
WindowHandle dialogItem(WindowHandle dialog, int controlId);               // GetDlgItem
bool checkDialogButton(WindowHandle dialog, int controlId, bool checked);  // CheckDlgButton
bool isDialogButtonChecked(WindowHandle dialog, int controlId);            // IsDlgButtonChecked

// Edit controls, each one SendMessageA to the control.
void limitText(WindowHandle control, uint32_t maxChars);      // EM_LIMITTEXT
bool setControlText(WindowHandle control, const char* text);  // WM_SETTEXT
uint32_t controlTextLength(WindowHandle control);             // WM_GETTEXTLENGTH
// WM_GETTEXT: copies at most capacity - 1 characters and a terminator;
// returns the number of characters copied.
uint32_t controlText(WindowHandle control, char* buffer, uint32_t capacity);

// ---- Module and errors --------------------------------------------------------
// GetModuleFileNameA: characters written (buffer is terminated), 0 on failure.
uint32_t moduleFileName(ModuleHandle module, char* buffer, uint32_t capacity);
// The separator between folders in a module path: '\\' or '/'.
char pathSeparator();
// GetLastError: the calling thread's last system error code.
uint32_t lastError();
// GetLocalTime: the time of day on the user's clock.
struct TimeOfDay {
  unsigned hour, minute, second;
};
TimeOfDay localTimeOfDay();

// ---- Settings store (registry) ----------------------------------------------------
constexpr uint32_t REG_TYPE_SZ = 1;     // REG_SZ
constexpr uint32_t REG_TYPE_DWORD = 4;  // REG_DWORD
constexpr long REG_SUCCESS = 0;         // ERROR_SUCCESS

// RegCreateKeyExA(HKEY_LOCAL_MACHINE, subKey, 0, no class,
// REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, default security, key, nullptr).
long regCreateKey(const char* subKey, KeyHandle* key);
// RegQueryValueExA(key, name, nullptr, type, data, size): *size holds the
// capacity on entry and the data's size on return. Data longer than the
// capacity is not copied (ERROR_MORE_DATA); shorter data overwrites only
// the bytes it holds. The stored type is not checked; when type is given
// it receives it (on success and on ERROR_MORE_DATA).
long regQueryValue(KeyHandle key, const char* name, void* data, uint32_t* size,
                   uint32_t* type = nullptr);
// RegSetValueExA(key, name, 0, type, data, size).
long regSetValue(KeyHandle key, const char* name, uint32_t type, const void* data, uint32_t size);
long regCloseKey(KeyHandle key);  // RegCloseKey

// ---- HTTP -------------------------------------------------------------------------
// A component of a split URL: where it starts inside the URL text and how
// long it is. An absent component has length 0.
struct UrlSpan {
  const char* text;
  size_t length;
};

struct UrlComponents {
  UrlSpan host;  // without brackets for an IPv6 literal, without ":port"
  UrlSpan user;
  UrlSpan password;
  UrlSpan path;   // may be empty
  UrlSpan extra;  // "?query" and/or "#fragment", may be empty
  uint16_t port;  // the scheme's default when the URL names none
  bool secure;    // https
};

// InternetCrackUrlA(url, length, 0, components): true on success.
bool crackUrl(const char* url, size_t length, UrlComponents* components);

// One POST as the core hands it to the backend: where to connect, what to
// ask for, the added header block ("Name: value\n" lines) and the body.
// The backend copies what it needs before httpPost returns.
struct HttpPost {
  const char* agent;     // sent as the User-Agent header
  const char* host;      // the server: a name, or an IPv6 literal without brackets
  uint16_t port;         // the scheme's default when the URL names none
  bool secure;           // TLS, certificate and host name verified
  const char* user;      // null when the URL names none
  const char* password;  // with a user; may be empty
  const char* target;    // path and query, as the request line carries them
  const char* headers;
  uint32_t headersLength;
  const void* body;
  uint32_t bodyLength;
};

// Where a post that could not start stopped. Each stage stands for the
// Windows call that failed there, so both builds fail at the same steps:
// InternetOpenA (the HTTP stack cannot be set up), InternetConnectA,
// HttpOpenRequestA, HttpSendRequestExA (the send cannot be handed to the
// sender thread; SEND_BUSY while another send is in flight).
enum class PostStart { started, open, connect, request, send };

// Starts a post and never holds the caller: the backend opens what the post
// needs, hands it to one sender thread and returns. The sender writes the
// request, reads the answer's status line and headers, reads and discards
// up to ANSWER_BODY_LIMIT bytes of its body and only then closes, or keeps
// the connection for the next post where HTTP/1.1 allows it. Redirects are
// not followed. The backend owns every handle of a post from start to end.
// On anything but started the last error says why and nothing was sent.
// At most one post is in flight; starting one drops an outcome not yet
// taken. A post is never cancelled, not even by unloading the module, which
// the sender keeps loaded until it ends. Call it from one thread only, the
// same as httpPostOutcome.
PostStart httpPost(const HttpPost& post);

constexpr uint32_t ANSWER_BODY_LIMIT = 64 * 1024;

// What became of the last post httpPost started.
struct PostOutcome {
  enum class State {
    none,      // no post started since the last outcome was taken
    running,   // still under way; nothing is taken
    answered,  // the server answered: status, reason and location below
    failed,    // no answer: error holds the system's code (timeouts included)
  };
  State state = State::none;
  uint32_t error = 0;
  unsigned status = 0;
  char reason[64] = {};      // the reason phrase as the server wrote it, cut to fit
  char location[1025] = {};  // a 3xx answer's Location, as sent, cut to fit
};
// Takes the outcome of the last post started: each finished post's outcome
// is given once, then none until the next post starts. Never waits. A
// backend that gives a post up by its own bound answers failed (timed out)
// once the bound has passed, then running until the sender really ends.
PostOutcome httpPostOutcome();
// The last error of an httpPost refused because a post is in flight.
constexpr uint32_t SEND_BUSY = 170;  // ERROR_BUSY

// Bounds on one post, applied by the backends: name resolution (where the
// stack allows), connecting, sending and waiting for the answer are each
// cut off here.
constexpr uint32_t NET_TIMEOUT_MS = 5000;

// ---- Media files --------------------------------------------------------------
// What tells one version of a file from the next: its size and the time it
// was last written (in the system's own units).
struct FileStamp {
  uint64_t size;
  uint64_t modified;
};

// A file name as the system's file functions take it: UTF-16 on Windows
// (the wide functions, so that every name opens), bytes on POSIX. The core
// makes one from what the player gives and only carries it.
constexpr uint32_t NOT_ENOUGH_MEMORY = 8;  // ERROR_NOT_ENOUGH_MEMORY
struct FileName {
  std::string native;  // the system's units, as bytes, without a terminator
};
// A name the player gave in its code page (211): MultiByteToWideChar(CP_ACP)
// on Windows, the bytes as they are on POSIX. False when it cannot be had;
// the last error is NOT_ENOUGH_MEMORY when memory ran out.
bool fileNameFromCodePage(const char* name, FileName* fileName);
// A name the player gave in UTF-16 (214, terminated): as it is on Windows,
// in UTF-8 on POSIX. False when it cannot be had or runs past 32767 units.
bool fileNameFromWide(const uint16_t* name, FileName* fileName);
// How many units a terminated UTF-16 name has before its terminator; false
// past the longest name the system takes (32767 units).
inline bool wideNameUnits(const uint16_t* name, size_t* units) {
  constexpr size_t MAX_NAME_UNITS = 32767;
  size_t n = 0;
  while (n <= MAX_NAME_UNITS && name[n] != 0) ++n;
  *units = n;
  return n <= MAX_NAME_UNITS;
}
// The name as UTF-8 text (WideCharToMultiByte(CP_UTF8) on Windows), for
// what the readers show of it and its extension.
std::string fileNameText(const FileName& fileName);

// stat(name) / GetFileAttributesExW(name, GetFileExInfoStandard): false
// when the file cannot be looked at (absent, a folder, a stream address).
bool fileStamp(const FileName& fileName, FileStamp* stamp);
// fopen(name, "rb") / _wfopen(name, L"rb"): none when the file cannot be
// opened. Others may read and write the file meanwhile.
std::FILE* openFileForReading(const FileName& fileName);

// ---- Text conversion --------------------------------------------------------------
// Between the system's narrow texts and UTF-16. A length of -1 means the
// text is terminated and the terminator is converted too. With capacity 0
// nothing is written and the size the result needs is returned (in
// characters of the output); otherwise the characters written, or 0 when
// the result does not fit or cannot be converted (the last error says why).
// On POSIX the narrow texts are UTF-8 already: every code page converts as
// UTF-8, and bytes that are not UTF-8 become U+FFFD.
constexpr uint32_t ANSI_CODE_PAGE = 0;      // CP_ACP
constexpr uint32_t UTF8_CODE_PAGE = 65001;  // CP_UTF8

// GetACP: the code page of the player's narrow texts (UTF8_CODE_PAGE on
// POSIX).
uint32_t ansiCodePage();
// MultiByteToWideChar(codePage, 0, text, length, wide, capacity).
int multiByteToWide(uint32_t codePage, const char* text, int length, uint16_t* wide, int capacity);
// WideCharToMultiByte(codePage, 0, wide, length, text, capacity, nullptr,
// nullptr). A surrogate without its partner becomes U+FFFD in UTF-8.
int wideToMultiByte(uint32_t codePage, const uint16_t* wide, int length, char* text, int capacity);

}  // namespace platform

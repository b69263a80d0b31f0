// The narrow port between the plug-in core and the system underneath it.
//
// Every procedure here stands for one system call of the Windows build and
// keeps its shape, so platform/win32 forwards each one to the real API and
// platform/posix provides the same behaviour on its own event loop, store
// and HTTP client. The HTTP send is where the Windows backend does more
// than forward: it runs HttpSendRequestExA on a thread of its own, gives a
// send up as timed out once it has run for a bound of its own (the system
// does not bound every stage), and writes a URL's Basic Authorization line
// on each request itself (see the HTTP section). The core includes this
// header and nothing system-specific.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

namespace platform {

using WindowHandle = void*;  // HWND
using ModuleHandle = void*;  // HINSTANCE of this module
using KeyHandle = void*;     // HKEY
using NetHandle = void*;     // HINTERNET

// ---- Messages to the host window --------------------------------------
constexpr unsigned kUserMessage = 0x0400;  // WM_USER

// SendMessageA(window, WM_USER, wParam, code): synchronous, returns the
// window procedure's answer.
intptr_t sendUserMessage(WindowHandle window, uintptr_t wParam, intptr_t code);

// ---- Timers -------------------------------------------------------------
// Period raised to the platform's shortest (10 ms) and capped at its
// longest (0x7FFFFFFF ms).
constexpr uint32_t kTimerMaxPeriodMs = 0x7FFFFFFF;
constexpr unsigned kTimerMessage = 0x0113;  // WM_TIMER

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
constexpr unsigned kInitDialog = 0x0110;  // WM_INITDIALOG
constexpr unsigned kCommand = 0x0111;     // WM_COMMAND; LOWORD(wParam) is the control id

using DialogProcedure = intptr_t (*)(WindowHandle dialog, unsigned message, uintptr_t wParam,
                                     intptr_t lParam);

// DialogBoxParamA(module, templateId, owner, procedure, 0): runs the dialog
// modally and returns the result given to endDialog, or -1 when it cannot
// be created.
intptr_t dialogBox(ModuleHandle module, int templateId, WindowHandle owner,
                   DialogProcedure procedure);
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

// ---- Settings store (registry) ----------------------------------------------------
constexpr uint32_t kRegSz = 1;     // REG_SZ
constexpr uint32_t kRegDword = 4;  // REG_DWORD
constexpr long kRegSuccess = 0;    // ERROR_SUCCESS

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
  UrlSpan scheme;
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

// InternetOpenA(agent, access type 0, no proxy, no bypass, 0).
NetHandle internetOpen(const char* agent);
// InternetConnectA(session, host, port, user, password, HTTP service, 0, 0).
// user/password may be null.
NetHandle internetConnect(NetHandle session, const char* host, uint16_t port, const char* user,
                          const char* password);
// HttpOpenRequestA(connection, method, target, no version, no referrer,
// no accepted types, flags, 0); secure asks for TLS with verification.
NetHandle httpOpenRequest(NetHandle connection, const char* method, const char* target,
                          bool secure);
// HttpSendRequestExA with one INTERNET_BUFFERSA holding the additional
// header block ("Name: value\n" lines) and the body. The answer is not read.
//
// The send never holds the caller: the backend copies the header block and
// the body, hands them with the request to one sender thread and returns.
// True means "started": the send's own outcome comes later from
// httpSendOutcome. False means nothing was started; the last error says
// why. Either way the caller closes its three handles as usual; a backend
// whose thread still needs them (WinInet's) takes them over and closes them
// on that thread when the send ends, the caller's closes of them doing
// nothing. At most one send is in flight: while one is, another is refused
// at once (kSendBusy) without touching the network; starting a send drops
// an outcome not yet taken. Each send keeps its time limits (kNetTimeoutMs
// per stage); a send is never cancelled, not even by unloading the module,
// which its thread keeps loaded until it ends. Call it from one thread
// only, the same as httpSendOutcome.
bool httpSendRequest(NetHandle request, const char* headers, uint32_t headersLength,
                     const void* body, uint32_t bodyLength);

// What became of the last send httpSendRequest started.
enum class SendOutcome {
  none,     // no send started since the last outcome was taken
  running,  // still under way; nothing is taken
  sent,     // the whole request was written
  failed,   // the last error is set to the send's own error code
};
// Takes the outcome of the last send started: each finished send's outcome
// is given once, then none until the next send starts. Never waits. A
// backend that gives a send up by its own bound answers failed (timed out)
// once the bound has passed, then running until the thread really ends.
SendOutcome httpSendOutcome();
// The last error of an httpSendRequest refused because a send is in flight.
constexpr uint32_t kSendBusy = 170;  // ERROR_BUSY

// InternetCloseHandle.
void internetClose(NetHandle handle);

// Bounds on one request, applied by the backends: name resolution (where
// the stack allows), connecting, sending and waiting are each cut off here.
constexpr uint32_t kNetTimeoutMs = 5000;

// ---- Media files --------------------------------------------------------------
// What tells one version of a file from the next: its size and the time it
// was last written (in the system's own units).
struct FileStamp {
  uint64_t size;
  uint64_t modified;
};

// A file name is in the system's code page, or UTF-8 when utf8 is set (a
// name the player gave in UTF-16); POSIX names are bytes either way.

// stat(name) / GetFileAttributesExA(name, GetFileExInfoStandard), or
// GetFileAttributesExW for a UTF-8 name: false when the file cannot be
// looked at (absent, a folder, a stream address).
bool fileStamp(const char* name, bool utf8, FileStamp* stamp);
// fopen(name, "rb"), or _wfopen(name, L"rb") for a UTF-8 name: none when
// the file cannot be opened. Others may read and write the file meanwhile.
std::FILE* openFileForReading(const char* name, bool utf8);

// ---- Text conversion --------------------------------------------------------------
// Between the system's narrow texts and UTF-16. A length of -1 means the
// text is terminated and the terminator is converted too. With capacity 0
// nothing is written and the size the result needs is returned (in
// characters of the output); otherwise the characters written, or 0 when
// the result does not fit or cannot be converted (the last error says why).
// On POSIX the narrow texts are UTF-8 already: every code page converts as
// UTF-8, and bytes that are not UTF-8 become U+FFFD.
constexpr uint32_t kAnsiCodePage = 0;      // CP_ACP
constexpr uint32_t kUtf8CodePage = 65001;  // CP_UTF8

// GetACP: the code page of the player's narrow texts (kUtf8CodePage on
// POSIX).
uint32_t ansiCodePage();
// MultiByteToWideChar(codePage, 0, text, length, wide, capacity).
int multiByteToWide(uint32_t codePage, const char* text, int length, uint16_t* wide, int capacity);
// WideCharToMultiByte(codePage, 0, wide, length, text, capacity, nullptr,
// nullptr). A surrogate without its partner becomes U+FFFD in UTF-8.
int wideToMultiByte(uint32_t codePage, const uint16_t* wide, int length, char* text, int capacity);

}  // namespace platform

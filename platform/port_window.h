// Part of the port (platform/port.h): the player's window, timers, boxes, the modal dialog, the
// module and the clock.
#pragma once

#include <cstddef>
#include <cstdint>

namespace form {
struct Layout;
}

namespace platform {

using WindowHandle = void*;  // HWND
using ModuleHandle = void*;  // HINSTANCE of this module

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
// the window never calls into unloaded code. Either way every timer still
// set on the window is killed first (KillTimer), so none fires once the
// module may be unloaded.
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
// MessageBoxA(no owner, text, caption, MB_OK): on Windows returns when
// acknowledged, running a nested loop (timers keep firing while the box is
// open); the POSIX backend shows it and returns at once, the box waiting
// for Enter while the loop runs on.
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

// The system's folder picker (SHBrowseForFolderW), owned by the dialog,
// starting at the folder in path (UTF-8, capacity bytes, terminated). chosen:
// path holds the folder picked; cancelled: path is unchanged; unavailable:
// the system has no picker (the path is typed).
enum class FolderPick { chosen, cancelled, unavailable };
FolderPick browseForFolder(WindowHandle owner, char* path, uint32_t capacity);

// Edit controls, each one SendMessage to the control; their texts are UTF-8
// here (on Windows the wide messages, converted by the backend), and their
// lengths count bytes.
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

}  // namespace platform

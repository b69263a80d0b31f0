// Window services of the port: messages to the player, timers, message
// boxes, the modal dialog and its controls, each forwarded to its user32
// call. Timer and dialog procedures are __stdcall on this target while the
// core's are plain functions, so both pass through trampolines here that
// look the core's procedure up in a small table. Everything runs on the
// player's window thread; the tables need no lock.
#include <windows.h>
// after windows.h
#include <shlobj.h>

#include <array>
#include <memory>

#include "platform/port.h"

namespace platform {
namespace {

HWND window(WindowHandle handle) { return static_cast<HWND>(handle); }

// ---- Timers ---------------------------------------------------------------
struct TimerSlot {
  HWND window;
  UINT_PTR id;
  TimerCallback callback;
};
std::array<TimerSlot, 8> timerSlots{};

TimerSlot* findTimer(HWND owner, UINT_PTR id) {
  for (TimerSlot& slot : timerSlots) {
    if (slot.callback != nullptr && slot.window == owner && slot.id == id) return &slot;
  }
  return nullptr;
}

TimerSlot* freeTimer() {
  for (TimerSlot& slot : timerSlots) {
    if (slot.callback == nullptr) return &slot;
  }
  return nullptr;
}

VOID CALLBACK timerTrampoline(HWND owner, UINT message, UINT_PTR id, DWORD time) {
  if (const TimerSlot* slot = findTimer(owner, id)) {
    const TimerCallback callback = slot->callback;
    callback(owner, message, id, time);
  }
}

// ---- Dialogs --------------------------------------------------------------
struct DialogSlot {
  HWND dialog;
  DialogProcedure procedure;
};
std::array<DialogSlot, 4> dialogSlots{};
// The procedure of the dialog being created: bound to its window on the
// first message that reaches the trampoline (WM_SETFONT, then
// WM_INITDIALOG).
DialogProcedure pendingProcedure = nullptr;

DialogSlot* findDialog(HWND dialog) {
  for (DialogSlot& slot : dialogSlots) {
    if (slot.procedure != nullptr && slot.dialog == dialog) return &slot;
  }
  return nullptr;
}

INT_PTR CALLBACK dialogTrampoline(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
  DialogProcedure procedure = nullptr;
  if (const DialogSlot* slot = findDialog(dialog)) {
    procedure = slot->procedure;
  } else if (pendingProcedure != nullptr) {
    for (DialogSlot& slot : dialogSlots) {
      if (slot.procedure == nullptr) {
        slot = {dialog, pendingProcedure};
        procedure = pendingProcedure;
        pendingProcedure = nullptr;
        break;
      }
    }
  }
  if (procedure == nullptr) return FALSE;
  const INT_PTR result = procedure(dialog, message, wParam, lParam);
  if (message == WM_NCDESTROY) {
    if (DialogSlot* slot = findDialog(dialog)) *slot = {};
  }
  return result;
}

}  // namespace

intptr_t sendUserMessage(WindowHandle target, uintptr_t wParam, intptr_t code) {
  return SendMessageA(window(target), WM_USER, wParam, code);
}

uintptr_t setTimer(WindowHandle owner, uintptr_t timerId, uint32_t periodMs,
                   TimerCallback callback) {
  TimerSlot* slot = findTimer(window(owner), timerId);
  if (slot == nullptr) slot = freeTimer();
  if (slot == nullptr || callback == nullptr) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return 0;
  }
  const UINT_PTR result = SetTimer(window(owner), timerId, periodMs, timerTrampoline);
  if (result != 0) {
    // Without a window the system picks the identifier.
    *slot = {window(owner), owner != nullptr ? timerId : result, callback};
  }
  return result;
}

bool killTimer(WindowHandle owner, uintptr_t timerId) {
  const BOOL killed = KillTimer(window(owner), timerId);
  if (TimerSlot* slot = findTimer(window(owner), timerId)) *slot = {};
  return killed != FALSE;
}

void messageBox(const char* text, const char* caption) {
  MessageBoxA(nullptr, text, caption, MB_OK);
}

intptr_t dialogBox(ModuleHandle module, int templateId, const form::Layout*, WindowHandle owner,
                   DialogProcedure procedure) {
  const DialogProcedure outer = pendingProcedure;
  pendingProcedure = procedure;
  const INT_PTR result =
      DialogBoxParamA(static_cast<HINSTANCE>(module), MAKEINTRESOURCEA(templateId), window(owner),
                      dialogTrampoline, 0);
  pendingProcedure = outer;
  return result;
}

bool endDialog(WindowHandle dialog, intptr_t result) {
  return EndDialog(window(dialog), result) != FALSE;
}

WindowHandle dialogItem(WindowHandle dialog, int controlId) {
  return GetDlgItem(window(dialog), controlId);
}

bool checkDialogButton(WindowHandle dialog, int controlId, bool checked) {
  return CheckDlgButton(window(dialog), controlId, checked ? BST_CHECKED : BST_UNCHECKED) != FALSE;
}

namespace {
// Starts the picker at the folder already typed.
int CALLBACK startPickerAt(HWND picker, UINT message, LPARAM, LPARAM start) {
  if (message == BFFM_INITIALIZED && start != 0 && *reinterpret_cast<const char*>(start) != '\0')
    SendMessageA(picker, BFFM_SETSELECTIONA, TRUE, start);
  return 0;
}

struct ItemListFreer {
  void operator()(ITEMIDLIST* list) const { CoTaskMemFree(list); }
};
using ItemListOwner = std::unique_ptr<ITEMIDLIST, ItemListFreer>;
}  // namespace

FolderPick browseForFolder(WindowHandle owner, char* path, uint32_t capacity) {
  char chosen[MAX_PATH] = {};
  BROWSEINFOA info = {};
  info.hwndOwner = window(owner);
  info.pszDisplayName = chosen;
  info.lpszTitle = "Folder for the files";
  info.ulFlags = BIF_RETURNONLYFSDIRS;
  info.lpfn = startPickerAt;
  info.lParam = reinterpret_cast<LPARAM>(path);
  const ItemListOwner list(SHBrowseForFolderA(&info));
  if (!list || !SHGetPathFromIDListA(list.get(), chosen)) return FolderPick::cancelled;
  if (lstrlenA(chosen) >= static_cast<int>(capacity)) return FolderPick::cancelled;
  lstrcpyA(path, chosen);
  return FolderPick::chosen;
}

bool isDialogButtonChecked(WindowHandle dialog, int controlId) {
  return IsDlgButtonChecked(window(dialog), controlId) == BST_CHECKED;
}

void limitText(WindowHandle control, uint32_t maxChars) {
  SendMessageA(window(control), EM_LIMITTEXT, maxChars, 0);
}

bool setControlText(WindowHandle control, const char* text) {
  return SendMessageA(window(control), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text)) != FALSE;
}

uint32_t controlTextLength(WindowHandle control) {
  return static_cast<uint32_t>(SendMessageA(window(control), WM_GETTEXTLENGTH, 0, 0));
}

uint32_t controlText(WindowHandle control, char* buffer, uint32_t capacity) {
  return static_cast<uint32_t>(
      SendMessageA(window(control), WM_GETTEXT, capacity, reinterpret_cast<LPARAM>(buffer)));
}

}  // namespace platform

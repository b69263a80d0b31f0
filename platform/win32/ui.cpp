// Window services of the port: messages to the player, timers, message
// boxes, the modal dialog and its controls, each forwarded to its user32
// call. The edits' texts and the folder picker go through the wide calls
// and reach the core in UTF-8. Timer and dialog procedures are __stdcall on this target while the
// core's are plain functions, so both pass through trampolines here that
// look the core's procedure up in a small table. Everything runs on the
// player's window thread; the tables need no lock.
#include <windows.h>
// after windows.h
#include <shlobj.h>

#include <array>
#include <cstring>
#include <cwchar>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "platform/port.h"
#include "platform/unicode.h"
#include "platform/win32/timers.h"

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

void win32::killTimers(HWND owner) {
  for (TimerSlot& slot : timerSlots) {
    if (slot.callback == nullptr || slot.window != owner) continue;
    KillTimer(owner, slot.id);
    slot = {};
  }
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
// Starts the picker at the folder already typed (UTF-16).
int CALLBACK startPickerAt(HWND picker, UINT message, LPARAM, LPARAM start) {
  if (message == BFFM_INITIALIZED && start != 0 &&
      *reinterpret_cast<const wchar_t*>(start) != L'\0')
    SendMessageW(picker, BFFM_SETSELECTIONW, TRUE, start);
  return 0;
}

struct ItemListFreer {
  void operator()(ITEMIDLIST* list) const { CoTaskMemFree(list); }
};
using ItemListOwner = std::unique_ptr<ITEMIDLIST, ItemListFreer>;

std::string utf8FromUnits(const wchar_t* units, size_t count) {
  return unicode::utf16ToUtf8(reinterpret_cast<const uint16_t*>(units), count);
}
}  // namespace

FolderPick browseForFolder(WindowHandle owner, char* path, uint32_t capacity) {
  try {
    const std::u16string start = unicode::utf8ToUtf16(path);
    wchar_t chosen[MAX_PATH] = {};
    BROWSEINFOW info = {};
    info.hwndOwner = window(owner);
    info.pszDisplayName = chosen;
    info.lpszTitle = L"Folder for the files";
    info.ulFlags = BIF_RETURNONLYFSDIRS;
    info.lpfn = startPickerAt;
    info.lParam = reinterpret_cast<LPARAM>(start.c_str());
    const ItemListOwner list(SHBrowseForFolderW(&info));
    if (!list || !SHGetPathFromIDListW(list.get(), chosen)) return FolderPick::cancelled;
    const std::string folder = utf8FromUnits(chosen, std::wcslen(chosen));
    if (folder.size() >= capacity) return FolderPick::cancelled;
    std::memcpy(path, folder.c_str(), folder.size() + 1);
    return FolderPick::chosen;
  } catch (const std::bad_alloc&) {
    return FolderPick::cancelled;
  }
}

bool isDialogButtonChecked(WindowHandle dialog, int controlId) {
  return IsDlgButtonChecked(window(dialog), controlId) == BST_CHECKED;
}

void limitText(WindowHandle control, uint32_t maxChars) {
  SendMessageA(window(control), EM_LIMITTEXT, maxChars, 0);
}

// The edits' texts are UTF-16 in the control and UTF-8 in the core.
namespace {
std::string wideControlText(HWND control) {
  const LRESULT length = SendMessageW(control, WM_GETTEXTLENGTH, 0, 0);
  if (length <= 0) return {};
  std::vector<wchar_t> units(static_cast<size_t>(length) + 1, L'\0');
  const LRESULT copied =
      SendMessageW(control, WM_GETTEXT, units.size(), reinterpret_cast<LPARAM>(units.data()));
  return utf8FromUnits(units.data(), copied > 0 ? static_cast<size_t>(copied) : 0);
}
}  // namespace

bool setControlText(WindowHandle control, const char* text) {
  try {
    const std::u16string units = unicode::utf8ToUtf16(text != nullptr ? text : "");
    return SendMessageW(window(control), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(units.c_str())) !=
           FALSE;
  } catch (const std::bad_alloc&) {
    return false;
  }
}

uint32_t controlTextLength(WindowHandle control) {
  try {
    return static_cast<uint32_t>(wideControlText(window(control)).size());
  } catch (const std::bad_alloc&) {
    return 0;
  }
}

uint32_t controlText(WindowHandle control, char* buffer, uint32_t capacity) {
  if (buffer == nullptr || capacity == 0) return 0;
  buffer[0] = '\0';
  try {
    const std::string text = wideControlText(window(control));
    const size_t n = unicode::utf8Prefix(text, capacity - 1);
    std::memcpy(buffer, text.data(), n);
    buffer[n] = '\0';
    return static_cast<uint32_t>(n);
  } catch (const std::bad_alloc&) {
    return 0;
  }
}

}  // namespace platform

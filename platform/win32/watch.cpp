// The watch on the player's window: a window procedure of this module put
// in front of the window's own (SetWindowLongPtrA with GWLP_WNDPROC). It
// hands every WM_USER message to the core's watch and passes every message
// on unchanged (CallWindowProcA). Another plug-in may put its own procedure
// in front of ours later and keep calling ours after we have quit: then
// ours stays, forwarding only, and the module is pinned, so the window never
// calls into unloaded code. Everything runs on the player's window thread,
// but for the sender thread's signal that a post has ended: a message of
// our own posted to the watched window, which ours takes and keeps from the
// player's procedure.
#include <windows.h>

#include <atomic>

#include "platform/port.h"
#include "platform/win32/handles.h"
#include "platform/win32/timers.h"

namespace platform {
namespace {

HWND watched = nullptr;
WNDPROC previous = nullptr;               // what ours passes every message on to
UserMessageWatch currentWatch = nullptr;  // null: ours only forwards

// The message that says a post has ended (0 until registered), where the
// sender posts it, and whom ours tells on the player's thread.
std::atomic<UINT> postEndedMessage{0};
std::atomic<HWND> postEndedWindow{nullptr};
PostEndedCallback postEndedCallback = nullptr;

LRESULT CALLBACK watchProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  const UINT ended = postEndedMessage.load();
  if (ended != 0 && message == ended) {
    if (const PostEndedCallback callback = postEndedCallback; callback != nullptr) callback();
    return 0;
  }
  const UserMessageWatch watch = currentWatch;
  if (message == WM_USER && watch != nullptr && window == watched) watch(wParam, lParam);
  return CallWindowProcA(previous, window, message, wParam, lParam);
}

bool oursIsInFront(HWND window) {
  return GetWindowLongPtrA(window, GWLP_WNDPROC) == reinterpret_cast<LONG_PTR>(&watchProcedure);
}

}  // namespace

bool watchWindow(WindowHandle handle, UserMessageWatch watch) {
  const HWND window = static_cast<HWND>(handle);
  if (watched != nullptr) {
    // Ours is still in that window's chain from an earlier watch: it only
    // needs the watch again.
    if (window != watched) return false;
    currentWatch = watch;
    return true;
  }
  SetLastError(0);
  const LONG_PTR replaced =
      SetWindowLongPtrA(window, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&watchProcedure));
  if (replaced == 0 && GetLastError() != 0) return false;
  previous = reinterpret_cast<WNDPROC>(replaced);
  watched = window;
  currentWatch = watch;
  return true;
}

void notifyPostEnded(WindowHandle window, PostEndedCallback callback) {
  if (postEndedMessage.load() == 0)
    postEndedMessage.store(RegisterWindowMessageA("Trellicast post ended"));
  postEndedCallback = callback;
  postEndedWindow.store(callback != nullptr ? static_cast<HWND>(window) : nullptr);
  if (callback == nullptr) win32::endSenderWhenIdle();
}

void win32::signalPostEnded() {
  const HWND window = postEndedWindow.load();
  const UINT message = postEndedMessage.load();
  if (window != nullptr && message != 0) PostMessageA(window, message, 0, 0);
}

void unwatchWindow(WindowHandle handle, UserMessageWatch) {
  const HWND window = static_cast<HWND>(handle);
  // The watch ends when the module quits: no timer of the core may fire
  // after that, whatever the core still had running (a cover lookup's
  // poll, say), since the player may unload the module at once.
  win32::killTimers(window);
  if (watched == nullptr || window != watched) return;
  currentWatch = nullptr;
  if (oursIsInFront(window)) {
    SetWindowLongPtrA(window, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(previous));
    watched = nullptr;
    previous = nullptr;
    return;
  }
  // Someone put a procedure in front of ours and may call it at any time:
  // ours stays, and so does the module.
  HMODULE self = nullptr;
  GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
                     reinterpret_cast<const char*>(&watchProcedure), &self);
}

}  // namespace platform

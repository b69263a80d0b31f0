// The owner of the WinInet handles the backend opens, and the sender's signal.
#pragma once

#include <windows.h>
#include <wininet.h>

#include <memory>
#include <type_traits>

namespace platform::win32 {

struct InternetCloser {
  void operator()(HINTERNET handle) const {
    // Closing must not disturb the code a failure left for the caller.
    const DWORD code = GetLastError();
    InternetCloseHandle(handle);
    SetLastError(code);
  }
};
using InternetOwner = std::unique_ptr<std::remove_pointer_t<HINTERNET>, InternetCloser>;

// From the sender thread: tells the player's thread that a post has ended
// (platform::notifyPostEnded; watch.cpp).
void signalPostEnded();
// From the player's thread, when the module quits: the sender thread ends
// once the post in flight, if any, has ended (net.cpp).
void endSenderWhenIdle();

}  // namespace platform::win32

// The owner of the WinInet handles the backend opens.
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

}  // namespace platform::win32

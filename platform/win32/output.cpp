// Whole-file replacement on Win32: a temporary file, FlushFileBuffers and
// MoveFileExW.
#include <windows.h>

#include <memory>
#include <string>
#include <type_traits>

#include "platform/port_output.h"

namespace platform {
namespace {

struct HandleCloser {
  void operator()(HANDLE handle) const { CloseHandle(handle); }
};
using HandleOwner = std::unique_ptr<std::remove_pointer_t<HANDLE>, HandleCloser>;

std::wstring wide(const std::string& text) {
  if (text.empty()) return {};
  const int units =
      MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  if (units <= 0) return {};
  std::wstring out(static_cast<size_t>(units), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), units);
  return out;
}

FileReplace failed(DWORD error) {
  FileReplace outcome;
  outcome.error = error;
  outcome.busy = error == ERROR_SHARING_VIOLATION || error == ERROR_ACCESS_DENIED ||
                 error == ERROR_LOCK_VIOLATION;
  return outcome;
}

}  // namespace

FileReplace replaceFileWhole(const std::string& folder, const std::string& name, const void* bytes,
                             size_t size, bool keepExisting) {
  std::string prefix = folder;
  if (!prefix.empty() && prefix.back() != '\\' && prefix.back() != '/') prefix += '\\';
  const std::wstring target = wide(prefix + name);
  const std::wstring temporary = wide(prefix + "." + name + ".tmp");
  if (target.empty() || temporary.empty()) return failed(ERROR_INVALID_NAME);
  HandleOwner file(CreateFileW(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                               FILE_ATTRIBUTE_NORMAL, nullptr));
  if (file.get() == INVALID_HANDLE_VALUE) {
    (void)file.release();
    return failed(GetLastError());
  }
  const char* at = static_cast<const char*>(bytes);
  while (size > 0) {
    const DWORD chunk = size > 0x40000000u ? 0x40000000u : static_cast<DWORD>(size);
    DWORD written = 0;
    if (!WriteFile(file.get(), at, chunk, &written, nullptr) || written == 0) {
      const DWORD error = GetLastError();
      file.reset();
      DeleteFileW(temporary.c_str());
      return failed(error);
    }
    at += written;
    size -= written;
  }
  if (!FlushFileBuffers(file.get())) {
    const DWORD error = GetLastError();
    file.reset();
    DeleteFileW(temporary.c_str());
    return failed(error);
  }
  file.reset();
  const DWORD flags = MOVEFILE_WRITE_THROUGH | (keepExisting ? 0 : MOVEFILE_REPLACE_EXISTING);
  if (!MoveFileExW(temporary.c_str(), target.c_str(), flags)) {
    const DWORD error = GetLastError();
    DeleteFileW(temporary.c_str());
    if (!(keepExisting && (error == ERROR_ALREADY_EXISTS || error == ERROR_FILE_EXISTS)))
      return failed(error);
  }
  FileReplace outcome;
  outcome.written = true;
  return outcome;
}

}  // namespace platform

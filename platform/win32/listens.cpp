// The listening history's system services on Win32: the state folder
// under %APPDATA%, and requests on WinInet. cancelListensRequests closes
// the request's session handle from the quitting thread, which ends any
// WinInet call blocked on it.
#include <shlobj.h>
#include <windows.h>
#include <wininet.h>

#include <atomic>
#include <cstdlib>
#include <memory>
#include <new>
#include <string>
#include <type_traits>

#include "platform/port_listens.h"

namespace platform {
namespace {

struct ListensHandleCloser {
  void operator()(HANDLE handle) const { CloseHandle(handle); }
};
using ListensHandleOwner = std::unique_ptr<std::remove_pointer_t<HANDLE>, ListensHandleCloser>;

struct ListensInternetCloser {
  void operator()(HINTERNET handle) const { InternetCloseHandle(handle); }
};
using ListensInternetOwner = std::unique_ptr<void, ListensInternetCloser>;

// The session of the request under way, for cancelListensRequests.
SRWLOCK sessionLock = SRWLOCK_INIT;
HINTERNET currentSession = nullptr;
bool cancelled = false;  // under sessionLock

std::wstring wide(const std::string& text) {
  if (text.empty()) return {};
  const int units =
      MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  if (units <= 0) return {};
  std::wstring out(static_cast<size_t>(units), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), units);
  return out;
}

std::string utf8(const wchar_t* text) {
  const int bytes = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
  if (bytes <= 1) return {};
  std::string out(static_cast<size_t>(bytes), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text, -1, out.data(), bytes, nullptr, nullptr);
  out.resize(static_cast<size_t>(bytes) - 1);
  return out;
}

ListensAnswer failedWith(DWORD error) {
  ListensAnswer answer;
  answer.error = error;
  return answer;
}

void setTimeouts(HINTERNET handle) {
  DWORD ms = LISTENS_REQUEST_TIMEOUT_MS;
  for (const DWORD option : {INTERNET_OPTION_CONNECT_TIMEOUT, INTERNET_OPTION_SEND_TIMEOUT,
                             INTERNET_OPTION_RECEIVE_TIMEOUT})
    InternetSetOptionA(handle, option, &ms, sizeof ms);
}

}  // namespace

bool prepareListensRequests() {
  AcquireSRWLockExclusive(&sessionLock);
  cancelled = false;
  ReleaseSRWLockExclusive(&sessionLock);
  return true;
}

std::string listensPlayerName() {
  wchar_t path[MAX_PATH + 1] = {};
  const DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH);
  if (n == 0 || n >= MAX_PATH) return {};
  std::string name = utf8(path);
  name = name.substr(name.find_last_of("\\/") + 1);
  return name.substr(0, name.rfind('.'));
}

StateFolder listensStateFolder() {
  StateFolder folder;
  wchar_t appData[MAX_PATH] = {};
  const HRESULT rc = SHGetFolderPathW(nullptr, CSIDL_APPDATA, nullptr, SHGFP_TYPE_CURRENT, appData);
  if (FAILED(rc)) {
    folder.error = static_cast<uint32_t>(rc);
    return folder;
  }
  const std::wstring path = std::wstring(appData) + L"\\Trellicast";
  if (!CreateDirectoryW(path.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS) {
    folder.error = GetLastError();
    return folder;
  }
  folder.path = utf8(path.c_str());
  return folder;
}

WholeFile readWholeFile(const std::string& folder, const std::string& name) {
  WholeFile file;
  const std::wstring path = wide(folder + "\\" + name);
  const HANDLE handle = CreateFileW(path.c_str(), GENERIC_READ,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    const DWORD error = GetLastError();
    if (error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND) file.error = error;
    return file;
  }
  const ListensHandleOwner owner(handle);
  file.found = true;
  char chunk[16384];
  for (;;) {
    DWORD n = 0;
    if (!ReadFile(handle, chunk, sizeof chunk, &n, nullptr)) {
      file.error = GetLastError();
      return file;
    }
    if (n == 0) break;
    file.bytes.append(chunk, n);
  }
  return file;
}

ListensAnswer listensRequest(const ListensRequest& request) {
  char host[256] = {}, path[2048] = {}, extra[2048] = {};
  URL_COMPONENTSA parts = {};
  parts.dwStructSize = sizeof parts;
  parts.lpszHostName = host;
  parts.dwHostNameLength = sizeof host;
  parts.lpszUrlPath = path;
  parts.dwUrlPathLength = sizeof path;
  parts.lpszExtraInfo = extra;
  parts.dwExtraInfoLength = sizeof extra;
  if (!InternetCrackUrlA(request.url, 0, 0, &parts)) return failedWith(GetLastError());
  const bool secure = parts.nScheme == INTERNET_SCHEME_HTTPS;
  if (!secure && parts.nScheme != INTERNET_SCHEME_HTTP)
    return failedWith(ERROR_INTERNET_UNRECOGNIZED_SCHEME);

  ListensInternetOwner session(
      InternetOpenA(request.agent, INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0));
  if (!session) return failedWith(GetLastError());
  setTimeouts(session.get());
  AcquireSRWLockExclusive(&sessionLock);
  const bool stop = cancelled;
  if (!stop) currentSession = session.get();
  ReleaseSRWLockExclusive(&sessionLock);
  if (stop) return failedWith(ERROR_INTERNET_OPERATION_CANCELLED);

  ListensAnswer answer;
  const auto finish = [&](ListensAnswer result) {
    AcquireSRWLockExclusive(&sessionLock);
    currentSession = nullptr;
    const bool closedByCancel = cancelled;
    ReleaseSRWLockExclusive(&sessionLock);
    // A session cancelListensRequests closed is its handle no longer.
    if (closedByCancel) (void)session.release();
    return result;
  };
  ListensInternetOwner connection(InternetConnectA(session.get(), host, parts.nPort, nullptr,
                                                   nullptr, INTERNET_SERVICE_HTTP, 0, 0));
  if (!connection) return finish(failedWith(GetLastError()));
  const std::string target = std::string(path) + extra;
  const DWORD flags = INTERNET_FLAG_NO_AUTO_REDIRECT | INTERNET_FLAG_NO_CACHE_WRITE |
                      INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_COOKIES |
                      (secure ? INTERNET_FLAG_SECURE : 0);
  ListensInternetOwner http(HttpOpenRequestA(connection.get(), request.body ? "POST" : "GET",
                                             target.c_str(), nullptr, nullptr, nullptr, flags, 0));
  if (!http) return finish(failedWith(GetLastError()));
  std::string headers;
  if (request.authorization != nullptr)
    headers += std::string("Authorization: ") + request.authorization + "\r\n";
  if (request.body != nullptr) headers += "Content-Type: application/json\r\n";
  if (!HttpSendRequestA(http.get(), headers.c_str(), static_cast<DWORD>(headers.size()),
                        const_cast<char*>(request.body), static_cast<DWORD>(request.bodyLength)))
    return finish(failedWith(GetLastError()));

  DWORD status = 0, size = sizeof status;
  if (!HttpQueryInfoA(http.get(), HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &status, &size,
                      nullptr))
    return finish(failedWith(GetLastError()));
  char reset[64] = "X-RateLimit-Reset-In";
  DWORD resetSize = sizeof reset - 1;
  if (HttpQueryInfoA(http.get(), HTTP_QUERY_CUSTOM, reset, &resetSize, nullptr)) {
    reset[resetSize < sizeof reset ? resetSize : sizeof reset - 1] = '\0';
    char* end = nullptr;
    const long long value = std::strtoll(reset, &end, 10);
    if (end != reset && value >= 0) answer.resetInSeconds = value;
  }
  char chunk[4096];
  for (;;) {
    DWORD n = 0;
    if (!InternetReadFile(http.get(), chunk, sizeof chunk, &n))
      return finish(failedWith(GetLastError()));
    if (n == 0) break;
    if (answer.body.size() < LISTENS_ANSWER_LIMIT)
      answer.body.append(chunk, std::min<size_t>(n, LISTENS_ANSWER_LIMIT - answer.body.size()));
  }
  answer.answered = true;
  answer.status = status;
  return finish(answer);
}

void cancelListensRequests() {
  AcquireSRWLockExclusive(&sessionLock);
  cancelled = true;
  if (currentSession != nullptr) InternetCloseHandle(currentSession);
  ReleaseSRWLockExclusive(&sessionLock);
}

}  // namespace platform

// HTTP through WinInet. Besides the calls the port names, the session and
// the request get their time limits (InternetSetOptionA), so a dead or
// silent server holds the player's thread for at most kNetTimeoutMs per
// phase; WinInet offers no bound on name resolution.
#include <windows.h>
#include <wininet.h>

#include "platform/port.h"
#include "platform/win32/handles.h"

namespace platform {
namespace {

static_assert(sizeof(URL_COMPONENTSA) == 60, "split URL record as the system defines it");
static_assert(sizeof(INTERNET_BUFFERSA) == 40, "buffer record as the system defines it");

UrlSpan span(const char* text, DWORD length, const char* end) {
  if (text == nullptr) return {end, 0};
  return {text, length};
}

bool setTimeout(HINTERNET handle, DWORD option) {
  DWORD ms = kNetTimeoutMs;
  return InternetSetOptionA(handle, option, &ms, sizeof ms) != FALSE;
}

}  // namespace

bool crackUrl(const char* url, size_t length, UrlComponents* components) {
  // Every component asked for as a position inside the URL text.
  URL_COMPONENTSA parts{};
  parts.dwStructSize = sizeof parts;
  parts.dwSchemeLength = 1;
  parts.dwHostNameLength = 1;
  parts.dwUserNameLength = 1;
  parts.dwPasswordLength = 1;
  parts.dwUrlPathLength = 1;
  parts.dwExtraInfoLength = 1;
  if (!InternetCrackUrlA(url, static_cast<DWORD>(length), 0, &parts)) return false;

  const char* end = url + length;
  components->scheme = span(parts.lpszScheme, parts.dwSchemeLength, end);
  components->host = span(parts.lpszHostName, parts.dwHostNameLength, end);
  // An IPv6 literal without its brackets, as the name to connect to.
  UrlSpan& host = components->host;
  if (host.length >= 2 && host.text[0] == '[' && host.text[host.length - 1] == ']') {
    host = {host.text + 1, host.length - 2};
  }
  components->user = span(parts.lpszUserName, parts.dwUserNameLength, end);
  components->password = span(parts.lpszPassword, parts.dwPasswordLength, end);
  components->path = span(parts.lpszUrlPath, parts.dwUrlPathLength, end);
  components->extra = span(parts.lpszExtraInfo, parts.dwExtraInfoLength, end);
  components->port = parts.nPort;
  components->secure = parts.nScheme == INTERNET_SCHEME_HTTPS;
  return true;
}

NetHandle internetOpen(const char* agent) {
  win32::InternetOwner session(
      InternetOpenA(agent, INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0));
  if (!session) return nullptr;
  // A session whose connections cannot be bounded is not used.
  if (!setTimeout(session.get(), INTERNET_OPTION_CONNECT_TIMEOUT)) return nullptr;
  return session.release();
}

NetHandle internetConnect(NetHandle session, const char* host, uint16_t port, const char* user,
                          const char* password) {
  return InternetConnectA(static_cast<HINTERNET>(session), host, port, user, password,
                          INTERNET_SERVICE_HTTP, 0, 0);
}

NetHandle httpOpenRequest(NetHandle connection, const char* method, const char* target,
                          bool secure) {
  win32::InternetOwner request(HttpOpenRequestA(static_cast<HINTERNET>(connection), method, target,
                                                nullptr, nullptr, nullptr,
                                                secure ? INTERNET_FLAG_SECURE : 0, 0));
  if (!request) return nullptr;
  for (DWORD option : {INTERNET_OPTION_CONNECT_TIMEOUT, INTERNET_OPTION_SEND_TIMEOUT,
                       INTERNET_OPTION_RECEIVE_TIMEOUT}) {
    if (!setTimeout(request.get(), option)) return nullptr;
  }
  return request.release();
}

bool httpSendRequest(NetHandle request, const char* headers, uint32_t headersLength,
                     const void* body, uint32_t bodyLength) {
  INTERNET_BUFFERSA buffers{};
  buffers.dwStructSize = sizeof buffers;
  buffers.Next = nullptr;
  buffers.lpcszHeader = headers;
  buffers.dwHeadersLength = headersLength;
  buffers.dwHeadersTotal = headersLength;
  buffers.lpvBuffer = const_cast<void*>(body);
  buffers.dwBufferLength = bodyLength;
  buffers.dwBufferTotal = bodyLength;
  buffers.dwOffsetLow = 0;
  buffers.dwOffsetHigh = 0;
  return HttpSendRequestExA(static_cast<HINTERNET>(request), &buffers, nullptr, 0, 0) != FALSE;
}

void internetClose(NetHandle handle) { InternetCloseHandle(static_cast<HINTERNET>(handle)); }

}  // namespace platform

// Part of the port: what the listening history (listens/) needs of the
// system beside its worker thread (platform/port_worker.h): the folder its
// queue lives in, reading a file whole, and one blocking HTTP request. Not
// included by platform/port.h: only listens/ and its backends see it.
// Replacing the queue file whole is platform::replaceFileWhole
// (platform/port_output.h).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace platform {

// ---- Before the listens thread -----------------------------------------------------
// Readies the requests for a new thread (curl_global_init once on POSIX) and
// ends the cancel of cancelListensRequests; the room calls it before it
// starts its worker (platform/port_worker.h). false: no request can be
// made, and the thread is not started.
bool prepareListensRequests();

// The name of the program the module runs in, for the listens'
// media_player: its file name without folder or extension
// (GetModuleFileNameW(null) / /proc/self/exe).
std::string listensPlayerName();

// ---- The queue's folder and file ------------------------------------------------
// The folder the queue lives in, made when missing (UTF-8, no trailing
// separator): %APPDATA%\Trellicast (SHGetFolderPathW) on Windows,
// $XDG_STATE_HOME/trellicast (~/.local/state/trellicast by default) on
// POSIX. error is 0, or the system's code when it cannot be had or made.
struct StateFolder {
  std::string path;
  uint32_t error = 0;
};
StateFolder listensStateFolder();

// Reads folder/name whole (CreateFileW / open). found false and error 0:
// there is no such file.
struct WholeFile {
  bool found = false;
  uint32_t error = 0;
  std::string bytes;
};
WholeFile readWholeFile(const std::string& folder, const std::string& name);

// ---- One request ------------------------------------------------------------------
// One HTTP request (GET without a body, POST with one), made on the
// calling thread and waited for: WinInet / libcurl, certificates verified,
// redirects not followed, proxies as the system sets them. Bounded by
// LISTENS_REQUEST_TIMEOUT_MS from connecting to the answer's end.
constexpr uint32_t LISTENS_REQUEST_TIMEOUT_MS = 10000;
constexpr size_t LISTENS_ANSWER_LIMIT =
    16 * 1024;  // of the body kept; the rest is read and dropped

struct ListensRequest {
  const char* url;
  const char* agent;          // the User-Agent header
  const char* authorization;  // the Authorization header's value, or null
  const char* body;           // null: GET; else POST with Content-Type: application/json
  size_t bodyLength = 0;
};

struct ListensAnswer {
  bool answered = false;  // false: no answer, error holds the system's code
  uint32_t error = 0;
  unsigned status = 0;
  std::string body;             // at most LISTENS_ANSWER_LIMIT bytes
  int64_t resetInSeconds = -1;  // X-RateLimit-Reset-In, -1 when absent
};
ListensAnswer listensRequest(const ListensRequest& request);
// Ends the request under way at once (its answer: not answered) and makes
// every later one fail the same way, until the next prepareListensRequests:
// what the room calls at quit so that its thread ends within a bound.
void cancelListensRequests();

}  // namespace platform

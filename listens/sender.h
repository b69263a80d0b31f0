// The listens thread: the durable queue and every request to the server.
//
// Listens handed over are appended to the queue file (listens.queue in the
// state folder, one listen's JSON a line), which is replaced whole before
// any of them is sent, and a listen leaves it only after a 2xx. The queue
// goes out in order, one listen ("single") or up to IMPORT_BATCH at once
// ("import"), never more than one request a second. 429 waits for
// X-RateLimit-Reset-In; 5xx, other answers and network failures retry after
// a backoff that doubles up to BACKOFF_MOST_MS, for ever; 400 for one
// listen drops it with a status line; 401 stops sending (the queue is
// kept) until the settings change. A now-playing is sent once, never
// retried. The thread sleeps without a bound while nothing is due.
#pragma once

#include <cstdint>
#include <string>

namespace listens {

constexpr size_t IMPORT_BATCH = 100;
constexpr uint64_t REQUEST_SPACING_MS = 1000;
constexpr uint64_t BACKOFF_FIRST_MS = 2000;
constexpr uint64_t BACKOFF_MOST_MS = 3600 * 1000;
constexpr uint32_t SENDER_QUIT_WAIT_MS = 3000;
constexpr const char* QUEUE_FILE = "listens.queue";
constexpr const char* TOKEN_REFUSED = "ListenBrainz token refused";

// Starts the thread when it is not running and url is set; an empty URL
// sends nothing (listens handed over still go to the queue).
void senderConfigure(const std::string& url, const std::string& token);
// A listen's JSON (listenItem), queued.
void senderQueue(const std::string& item);
// A now-playing submission body; replaces one not sent yet.
void senderNowPlaying(const std::string& body);
// Asks the server whether token is valid for url; the answer comes as a
// status line.
void senderCheckToken(const std::string& url, const std::string& token);
// The line to show in the dialog's status, once; false when there is none new.
bool senderStatusLine(std::string* line);
// Writes what is handed over to the queue, ends the request under way and
// waits at most SENDER_QUIT_WAIT_MS for the thread.
void senderQuit();

}  // namespace listens

// The cover a data post names, found off the player's thread, and which
// covers each URL has received.
#pragma once

#include "base/snapshot.h"
#include "platform/port.h"
#include "tags/cover.h"

// The timer that looks whether a cover lookup has ended, while one runs.
constexpr uintptr_t COVER_TIMER_ID = 4;
// How often it looks.
constexpr uint32_t COVER_POLL_MS = 50;

// The cover of the snapshot's file when its lookup has ended (none when the
// file has none). Otherwise none for now: the lookup starts on a task of its
// own (one at a time; the player's art file is asked for here, on the
// player's thread), and once a lookup ends, onEnded is called on the
// player's thread (from a timer on window that runs only while a lookup
// does), so the caller can post again with what it found.
CoverPtr knownCover(platform::WindowHandle window, const PlayerSnapshot& snapshot,
                    void (*onEnded)());

// Whether cover is still to be uploaded to url: it has not been delivered
// there (2xx) since the module started, and it is not over COVER_UPLOAD_MAX.
bool coverUploadOwed(const char* url, const Cover& cover);
// The upload of cover to url was delivered.
void noteCoverDelivered(const char* url, const Cover& cover);

// Nothing looked up, nothing delivered (tests). A lookup still running
// keeps running; its result is dropped.
void resetCoverState();

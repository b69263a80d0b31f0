// The track's cover, looked up once off the player's thread for every room
// (the posts and the files alike), and which covers each URL has settled.
#pragma once

#include "base/snapshot.h"
#include "platform/port.h"
#include "tags/cover.h"

// The timer that looks whether a cover lookup has ended, while one runs.
constexpr uintptr_t COVER_TIMER_ID = 4;
// How often it looks.
constexpr uint32_t COVER_POLL_MS = 50;

// Sets the snapshot's cover: the one tags/cover.h keeps for its file (or,
// for a track without a readable file, for the image the player names)
// when that is known without reading a picture. Otherwise coverPending,
// and the lookup starts on a task of its own (one at a time); once a lookup
// ends, onEnded is called on the player's thread (from a timer on window
// that runs only while a lookup does), so the caller reads the player again
// and finds the cover known.
void attachCover(platform::WindowHandle window, PlayerSnapshot& snapshot, void (*onEnded)());

// No more telling: the timer is killed. A lookup still running ends on its
// own thread (the module stays loaded until it has); its cover is kept for
// the next ask.
void stopCoverLookup(platform::WindowHandle window);

// Whether cover is still to be uploaded to url: that URL has neither taken
// it (2xx) nor refused it (4xx) since the module started, and it is not over
// COVER_UPLOAD_MAX.
bool coverUploadOwed(const char* url, const Cover& cover);
// The upload of cover to url got an answer that settles it: taken or refused.
void noteCoverSettled(const char* url, const Cover& cover);

// Nothing settled, no lookup told of (tests). A lookup still running keeps
// running; its cover is still kept by tags/cover.h.
void resetCoverState();

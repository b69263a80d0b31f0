// One status update per timer tick, and one at once for the settings
// dialog's "Send now".
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/port.h"

// The timer that takes a post's outcome as soon as it comes.
constexpr uintptr_t OUTCOME_TIMER_ID = 2;
// The timer that posts a change once it has settled.
constexpr uintptr_t CHANGE_TIMER_ID = 3;
constexpr size_t UPDATE_STATUS_SIZE = 1280;

void onUpdateTimer(platform::WindowHandle window, unsigned message, uintptr_t timerId,
                   uint32_t time);
void sendStatusUpdate(platform::WindowHandle window);

// Posts when what would be posted changes: the player's window is watched
// for the player's change notices, and each starts (again) a short settling
// time after which the current state goes out, unless it is what the last
// post carried. The first post goes out at once as the watch starts.
void startWatchingPlayer();
void stopWatchingPlayer();
// A change: post once it has settled.
void noteChange();

// Posts the current status to url at once. Its outcome is shown in the
// status line only, never in a box, as soon as it arrives. False when
// nothing was started because a post is still in flight.
bool sendStatusNow(platform::WindowHandle window, const char* url);

// What became of the last post: "No update sent yet", or "Last update
// HH:MM:SS: delivered (200 OK)", or "Last update HH:MM:SS: failed: <why>".
const char* updateStatusLine();
// Called with the new status line whenever an outcome is taken; null for
// none. The settings dialog listens while it is open.
using StatusListener = void (*)(const char* line);
void setUpdateStatusListener(StatusListener listener);
// Back to "No update sent yet", no listener, nothing in flight (tests).
void resetUpdateStatus();

// One status update per timer tick, and one at once for the settings
// dialog's "Send now".
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/port.h"

// The timer that looks for a post's outcome once the backends' bounds have
// passed (the backend tells when a post ends; this is for one it gives up).
constexpr uintptr_t OUTCOME_TIMER_ID = 2;
// The timer that posts a change once it has settled.
constexpr uintptr_t CHANGE_TIMER_ID = 3;

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

// Arms the update timer on the host window at the interval setting's period
// (the plug-in wires it to run whenever the settings are read).
void armUpdateTimer();

// Nothing in flight, nothing posted yet (tests).
void resetUpdateState();

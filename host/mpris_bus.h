// The MPRIS mode's view of the session bus: it follows every media player
// that publishes itself as org.mpris.MediaPlayer2.* and keeps each one's
// playback status and track, on the stand-in player's event loop. Every
// call to a player is asynchronous with a 2 s limit, so a player that never
// answers holds up nothing.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "host/mpris_model.h"

namespace host::mpris {

// Connects to the session bus ($DBUS_SESSION_BUS_ADDRESS). On failure
// returns false with a one-line reason in *error.
bool connectBus(std::string* error);

// Starts following the players whose names pass wantedName(name, filter):
// subscribes to name and property changes, then lists the names on the bus,
// and asks every player for all its properties again each refreshMs. The
// bus joins the event loop as its watched descriptor. onLost runs (once) if
// the connection to the bus ends. onChange, when given, runs after each
// batch of messages from the bus (and once at the start), so it can compare
// nowPlaying() with what it saw last.
void startFollowing(const std::string& filter, uint32_t refreshMs, void (*onLost)(),
                    void (*onChange)() = nullptr);

// The active player's state now (no player: status 0, empty title, no path).
NowPlaying nowPlaying();
// Stops following and closes the connection; the loop's watch is removed.
void disconnectBus();

}  // namespace host::mpris

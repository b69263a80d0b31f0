// Discord's "Listening to": the room that follows the player and shows what
// plays in the Discord client on this machine, over its local connection.
//
// One worker thread of the room's own (platform/port_discord.h) holds the
// connection: it connects (every CONNECT_RETRY_MS while no client answers),
// shakes hands, waits for READY and sets the activity it is handed,
// reading every answer. The player's thread only hands over the latest
// wanted activity and never waits for the connection. An activity that
// differs only in where the track is goes out at most every
// POSITION_SPACING_MS; any other change at once.
#pragma once

#include <cstdint>

#include "base/snapshot.h"

namespace discord {

constexpr uint64_t CONNECT_RETRY_MS = 15000;
// After a connection that was up is lost (the client quit or restarts):
// the first try, then twice as long each time up to CONNECT_RETRY_MS.
constexpr uint64_t RECONNECT_SOON_MS = 1000;
constexpr uint64_t READY_WAIT_MS = 10000;
constexpr uint64_t POSITION_SPACING_MS = 5000;
constexpr uint32_t WRITE_WAIT_MS = 2000;
// How long the quit waits for the cleared activity's answer, and for the
// worker to end.
constexpr uint64_t CLEAR_WAIT_MS = 1000;
constexpr uint32_t QUIT_WAIT_MS = 3000;

// What the worker has done, for tests.
struct DiscordCounters {
  uint64_t connects = 0;  // connections that reached READY
  uint64_t attempts = 0;  // times every endpoint was tried
  uint64_t sent = 0;      // SET_ACTIVITY commands written
  uint64_t answered = 0;  // answers read to them
  uint64_t refused = 0;   // answers with evt ERROR
  uint64_t wakeups = 0;   // times the worker's wait ended
};
DiscordCounters discordCounters();

}  // namespace discord

// What the plug-in wires (plugin/plugin.cpp).
void configureDiscord();
void takeDiscordSnapshot(const PlayerSnapshot& snapshot, SnapshotCause cause);
bool discordFollowsPlayer();
void quitDiscord();

#include "discord/presence.h"

#include <algorithm>
#include <new>
#include <nlohmann/json.hpp>
#include <string>

#include "base/settings.h"
#include "discord/activity.h"
#include "discord/ipc_frame.h"
#include "platform/port_discord.h"
#include "platform/port_worker.h"

namespace discord {
namespace {

using Json = nlohmann::json;

// What the player's thread hands over and the worker takes, under the
// port's lock.
struct DiscordShared {
  bool on = false;
  std::string appId;
  DiscordActivity wanted;
  bool quitting = false;
  DiscordCounters counters;
};

// Made when the worker starts, let go by quitDiscord once it has ended; a
// worker that outlives its quit keeps it for good.
DiscordShared* sharedState = nullptr;

// The worker's thread and lock: made when it first starts and let go at
// the quit once its thread is reaped.
platform::Worker* discordWorker = nullptr;
platform::Worker& worker() {
  if (discordWorker == nullptr) discordWorker = &platform::newWorker("trellicast-dc");
  return *discordWorker;
}

// The player's thread alone.
bool workerStarted = false;
bool trackKnown = false;
DiscordTrack lastTrack;
DiscordActivity handedOver;

class DiscordLock {
 public:
  DiscordLock() { platform::lockWorker(worker()); }
  ~DiscordLock() { platform::unlockWorker(worker()); }
  DiscordLock(const DiscordLock&) = delete;
  DiscordLock& operator=(const DiscordLock&) = delete;
};

void count(uint64_t DiscordCounters::*counter) {
  const DiscordLock lock;
  ++(sharedState->counters.*counter);
}

enum class Stage { closed, handshaking, ready };

// The worker's own state of the connection.
struct DiscordLink {
  platform::DiscordPipeOwner pipe;
  Stage stage = Stage::closed;
  FrameReader reader;
  std::string appId;                    // the application the connection shook hands for
  uint64_t nextTryMs = 0;               // when to try to connect again
  uint64_t retryMs = CONNECT_RETRY_MS;  // how long after the next failed try
  uint64_t readyByMs = 0;               // when a handshake without READY is given up
  bool sentAny = false;                 // whether this connection has set an activity
  DiscordActivity sent;                 // the last one set
  uint64_t sentAtMs = 0;
  uint64_t nonces = 0;
  std::string nonceBase;   // what makes this worker's nonces its own
  std::string clearNonce;  // the cleared activity at quit, awaiting its answer
  bool clearAnswered = false;
};

void drop(DiscordLink& link, uint64_t retryAtMs) {
  link.pipe.reset();
  link.stage = Stage::closed;
  link.reader = FrameReader{};
  link.sentAny = false;
  link.nextTryMs = retryAtMs;
}

// A connection that had reached READY is tried again soon after it is
// lost, the tries spaced twice as far each time up to the whole retry (a
// client that restarts is back in a few seconds); one that never did waits
// the whole retry.
uint64_t retryAfterLoss(DiscordLink& link, uint64_t now) {
  if (link.stage != Stage::ready) return now + CONNECT_RETRY_MS;
  link.retryMs = RECONNECT_SOON_MS * 2;
  return now + RECONNECT_SOON_MS;
}

bool sendFrame(DiscordLink& link, Opcode op, const std::string& payload, uint64_t now) {
  const std::string bytes = encodeFrame(op, payload);
  if (platform::writeDiscordPipe(*link.pipe, bytes.data(), bytes.size(), WRITE_WAIT_MS) != 0) {
    drop(link, retryAfterLoss(link, now));
    return false;
  }
  return true;
}

bool sendActivity(DiscordLink& link, const DiscordActivity& activity, uint64_t now) {
  const std::string nonce = link.nonceBase + std::to_string(++link.nonces);
  if (!sendFrame(link, Opcode::frame,
                 setActivityPayload(activity, platform::discordProcessId(), nonce), now))
    return false;
  link.sentAny = true;
  link.sent = activity;
  link.sentAtMs = now;
  if (!activity.shown) link.clearNonce = nonce;
  count(&DiscordCounters::sent);
  return true;
}

std::string textAt(const Json& message, const char* key) {
  const auto found = message.find(key);
  return found != message.end() && found->is_string() ? found->get<std::string>() : std::string();
}

// Takes every whole frame that has arrived: READY, the answers, a ping, a
// close.
void readFrames(DiscordLink& link, uint64_t now) {
  Frame frame;
  while (link.pipe) {
    const FrameRead read = nextFrame(link.reader, &frame);
    if (read == FrameRead::needMore) return;
    if (read == FrameRead::broken) {
      drop(link, now + CONNECT_RETRY_MS);
      return;
    }
    switch (frame.op) {
      case Opcode::ping:
        sendFrame(link, Opcode::pong, frame.payload, now);
        break;
      case Opcode::close:
        // The client refused the handshake (an application id it does not
        // know) or closes for its own reasons.
        drop(link, now + CONNECT_RETRY_MS);
        return;
      case Opcode::frame: {
        const Json message = Json::parse(frame.payload, nullptr, false);
        if (message.is_discarded() || !message.is_object()) {
          drop(link, now + CONNECT_RETRY_MS);
          return;
        }
        const std::string cmd = textAt(message, "cmd");
        const std::string evt = textAt(message, "evt");
        if (cmd == "DISPATCH" && evt == "READY" && link.stage == Stage::handshaking) {
          link.stage = Stage::ready;
          link.retryMs = CONNECT_RETRY_MS;
          count(&DiscordCounters::connects);
        } else if (cmd == "SET_ACTIVITY") {
          count(&DiscordCounters::answered);
          if (evt == "ERROR") count(&DiscordCounters::refused);
          if (!link.clearNonce.empty() && textAt(message, "nonce") == link.clearNonce)
            link.clearAnswered = true;
        }
        break;
      }
      default:
        break;
    }
  }
}

// At quit: a shown activity is cleared and its answer awaited a little.
void farewell(DiscordLink& link) {
  uint64_t now = platform::clockMs();
  if (link.stage == Stage::ready && link.sentAny && link.sent.shown) {
    link.clearAnswered = false;
    if (sendActivity(link, DiscordActivity{}, now)) {
      const uint64_t until = now + CLEAR_WAIT_MS;
      std::string inbox;
      while (link.pipe && !link.clearAnswered && now < until) {
        inbox.clear();
        const platform::DiscordWait wait =
            platform::waitDiscord(link.pipe.get(), &inbox, static_cast<uint32_t>(until - now));
        now = platform::clockMs();
        if (wait.event == platform::DiscordEvent::closed) break;
        if (wait.event == platform::DiscordEvent::received) {
          feedFrames(link.reader, inbox);
          readFrames(link, now);
        }
      }
    }
  }
  drop(link, 0);
}

// One pass over what is wanted: connects, shakes hands, sets the activity.
// The time of the next thing due, or DISCORD_WAIT_FOREVER's worth.
uint64_t step(DiscordLink& link, bool on, const std::string& appId, const DiscordActivity& wanted,
              uint64_t now) {
  const bool wantLink = on && !appId.empty();
  if (link.pipe && (!wantLink || appId != link.appId)) {
    // Off, or another application: what this one showed goes.
    if (link.stage == Stage::ready && link.sentAny && link.sent.shown)
      sendActivity(link, DiscordActivity{}, now);
    drop(link, now);
  }
  if (wantLink && !link.pipe && now >= link.nextTryMs) {
    count(&DiscordCounters::attempts);
    platform::DiscordOpen opened = platform::openDiscordPipe();
    if (!opened.pipe) {
      link.nextTryMs = now + link.retryMs;
      link.retryMs = std::min(link.retryMs * 2, CONNECT_RETRY_MS);
    } else {
      link.pipe = std::move(opened.pipe);
      link.appId = appId;
      link.stage = Stage::handshaking;
      link.readyByMs = now + READY_WAIT_MS;
      sendFrame(link, Opcode::handshake, handshakePayload(appId), now);
    }
  }
  if (link.pipe && link.stage == Stage::handshaking && now >= link.readyByMs)
    drop(link, now + CONNECT_RETRY_MS);

  uint64_t due = UINT64_MAX;
  if (link.pipe && link.stage == Stage::ready) {
    if (!link.sentAny) {
      // A new connection shows nothing of ours yet.
      if (wanted.shown) sendActivity(link, wanted, now);
    } else if (!(link.sent == wanted) && !sameProgress(link.sent, wanted)) {
      const uint64_t spaced = link.sentAtMs + POSITION_SPACING_MS;
      if (samePicture(link.sent, wanted) && now < spaced)
        due = spaced;
      else
        sendActivity(link, wanted, now);
    }
  }
  if (wantLink && !link.pipe && link.nextTryMs < due) due = link.nextTryMs;
  if (link.pipe && link.stage == Stage::handshaking && link.readyByMs < due) due = link.readyByMs;
  return due;
}

void runDiscord(void*) {
  DiscordLink link;
  link.nonceBase = std::to_string(platform::unixTimeMs()) + "-";
  std::string inbox;
  for (;;) {
    bool on = false, quitting = false;
    std::string appId;
    DiscordActivity wanted;
    {
      const DiscordLock lock;
      on = sharedState->on;
      appId = sharedState->appId;
      wanted = sharedState->wanted;
      quitting = sharedState->quitting;
    }
    uint64_t now = platform::clockMs();
    uint32_t waitMs = platform::DISCORD_WAIT_FOREVER;
    try {
      if (quitting) {
        farewell(link);
        return;
      }
      const uint64_t due = step(link, on, appId, wanted, now);
      if (due != UINT64_MAX) {
        now = platform::clockMs();
        const uint64_t left = due > now ? due - now : 0;
        waitMs = left >= platform::DISCORD_WAIT_FOREVER ? platform::DISCORD_WAIT_FOREVER - 1
                                                        : static_cast<uint32_t>(left);
      }
      inbox.clear();
      const platform::DiscordWait wait = platform::waitDiscord(link.pipe.get(), &inbox, waitMs);
      count(&DiscordCounters::wakeups);
      now = platform::clockMs();
      if (wait.event == platform::DiscordEvent::received) {
        feedFrames(link.reader, inbox);
        readFrames(link, now);
      } else if (wait.event == platform::DiscordEvent::closed && link.pipe) {
        drop(link, retryAfterLoss(link, now));
      }
    } catch (const std::bad_alloc&) {
      // The connection starts afresh once memory can be had again.
      drop(link, now + CONNECT_RETRY_MS);
      platform::waitDiscord(nullptr, &inbox, static_cast<uint32_t>(CONNECT_RETRY_MS));
    }
  }
}

bool showPaused() { return discordSettings.paused == DISCORD_PAUSED_SHOW; }

// Hands the activity over, waking the worker unless it differs from the
// last only by the clock's drift.
void handOver(const DiscordActivity& activity) {
  if (sharedState == nullptr) return;
  const bool wake = !sameProgress(handedOver, activity);
  handedOver = activity;
  {
    const DiscordLock lock;
    sharedState->wanted = activity;
  }
  if (wake) platform::wakeDiscord();
}

}  // namespace

DiscordCounters discordCounters() {
  if (sharedState == nullptr) return {};
  const DiscordLock lock;
  return sharedState->counters;
}

}  // namespace discord

using namespace discord;

void configureDiscord() {
  try {
    if (!workerStarted && discordSettings.on) {
      if (sharedState == nullptr) sharedState = new DiscordShared;
      handedOver = DiscordActivity{};
      workerStarted =
          platform::prepareDiscordWake() && platform::startWorker(worker(), runDiscord, nullptr);
      if (!workerStarted) return;
    }
    if (sharedState == nullptr) return;
    {
      const DiscordLock lock;
      sharedState->on = discordSettings.on;
      sharedState->appId = discordSettings.appId;
    }
    platform::wakeDiscord();
    // "Show while paused" may have changed what the last track shows.
    if (trackKnown)
      handOver(activityOf(lastTrack, showPaused(), static_cast<int64_t>(platform::unixTimeMs())));
  } catch (const std::bad_alloc&) {
    // Discord shows nothing until the settings are read again.
  }
}

void takeDiscordSnapshot(const PlayerSnapshot& snapshot, SnapshotCause) {
  if (!discordSettings.on || sharedState == nullptr) return;
  try {
    lastTrack = trackOf(snapshot);
    trackKnown = true;
    handOver(activityOf(lastTrack, showPaused(), static_cast<int64_t>(platform::unixTimeMs())));
  } catch (const std::bad_alloc&) {
    // The worker keeps what it had; the next snapshot tries again.
  }
}

bool discordFollowsPlayer() { return discordSettings.on; }

void quitDiscord() {
  trackKnown = false;
  if (workerStarted) {
    {
      const DiscordLock lock;
      sharedState->quitting = true;
    }
    platform::wakeDiscord();
    workerStarted = false;
    // A thread that outlives the bound keeps what it shares (the module
    // stays loaded until it ends).
    if (!platform::joinWorker(worker(), QUIT_WAIT_MS)) {
      sharedState = nullptr;
      discordWorker = nullptr;
      return;
    }
  }
  delete sharedState;
  sharedState = nullptr;
  if (discordWorker != nullptr) platform::releaseWorker(*discordWorker);
  discordWorker = nullptr;
}

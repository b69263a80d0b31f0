// The MPRIS mode of the stand-in player: the module is loaded and run as in
// the play mode (timer, settings dialog on 'c', boxes), and its four queries
// are answered from the active player on the session bus. The answers are
// copied when the module asks, so a player that vanishes while the module
// reads them never leaves it holding freed text. Its position (105) is asked
// of the player on the bus when the module asks. When what the module would
// post changes, the player tells its window, as the play mode does: 3003
// with the local file name (or an empty one) for another track, 603 with 0
// for another title, 603 with 2 for another status.
#include "host/mpris.h"

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <utility>

#include "base/player.h"
#include "host/module_run.h"
#include "host/mpris_bus.h"
#include "host/seconds.h"
#include "platform/port.h"
#include "platform/posix/system.h"

namespace host {

namespace {

namespace posix = platform::posix;

void usage() {
  std::fputs(
      "usage: trellicast-host [--config PATH] [--module PATH] mpris [--player NAME]\n"
      "                       [--quit-after N] [--refresh N]\n",
      stderr);
}

// The texts handed to the module, kept until it asks again.
std::string answeredTitle;
std::string answeredPath;
std::string answeredArt;
int exitStatus = 0;

intptr_t windowProcedure(platform::WindowHandle, unsigned message, uintptr_t wParam,
                         intptr_t code) {
  if (message != platform::USER_MESSAGE) return 0;
  switch (code) {
    case GET_STATUS:
      return mpris::nowPlaying().status;
    case GET_LIST_POSITION:
      return 0;  // MPRIS has no playlist position: one entry, the current track
    case GET_TITLE:
      if (wParam != 0) return 0;
      answeredTitle = mpris::nowPlaying().title;
      return reinterpret_cast<intptr_t>(answeredTitle.c_str());
    case GET_FILE_NAME: {
      if (wParam != 0) return 0;
      const std::optional<std::string> path = mpris::nowPlaying().path;
      if (!path) return 0;  // a stream or nothing: no tag fragment
      answeredPath = *path;
      return reinterpret_cast<intptr_t>(answeredPath.c_str());
    }
    case GET_ART_FILE:
      return mpris::artFileAnswer(mpris::nowPlaying(), answeredArt);
    case GET_OUTPUT_TIME: {
      const mpris::NowPlaying now = mpris::nowPlaying();
      // MPRIS does not signal Position, and asking the player on the bus
      // would hold this thread (and the signals queued meanwhile): the
      // position is not known, the length is the track's.
      return mpris::outputTimeAnswer(now, wParam, -1);
    }
    default:
      return 0;
  }
}

// What the module was last told about.
mpris::NowPlaying notified;

void onChange() {
  mpris::NowPlaying now = mpris::nowPlaying();
  const mpris::Changes changes = mpris::changesBetween(notified, now);
  notified = std::move(now);
  if (changes.newTrack) {
    const std::string path = notified.path.value_or("");
    notifyWindow(reinterpret_cast<uintptr_t>(path.c_str()), NOTIFY_NEW_FILE);
  }
  if (changes.title) notifyWindow(TITLE_CHANGED, NOTIFY_CHANGED);
  if (changes.status) notifyWindow(STATUS_CHANGED, NOTIFY_CHANGED);
}

void onBusLost() {
  exitStatus = 1;
  posix::quitLoop();
}

}  // namespace

int mprisMode(const std::string& modulePath, const std::vector<std::string>& args) {
  ModuleRun mode;
  std::string filter;
  uint32_t refreshMs = 30000;
  for (size_t i = 0; i < args.size(); ++i) {
    const bool hasValue = i + 1 < args.size();
    if (args[i] == "--player" && hasValue) {
      filter = args[++i];
    } else if (args[i] == "--quit-after" && hasValue) {
      uint32_t ms = 0;
      if (!parseSeconds(args[++i].c_str(), &ms)) {
        std::fprintf(stderr, "trellicast-host: bad --quit-after %s\n", args[i].c_str());
        return 2;
      }
      mode.quitAfterMs = ms;
    } else if (args[i] == "--refresh" && hasValue) {
      if (!parseSeconds(args[++i].c_str(), &refreshMs) || refreshMs < 100) {
        std::fprintf(stderr, "trellicast-host: bad --refresh %s\n", args[i].c_str());
        return 2;
      }
    } else {
      usage();
      return 2;
    }
  }

  std::string error;
  if (!mpris::connectBus(&error)) {
    std::fprintf(stderr, "trellicast-host: %s\n", error.c_str());
    return 2;
  }

  LoadedModule module;
  if (!loadModule(modulePath, &module)) {
    mpris::disconnectBus();
    return 1;
  }
  mode.answer = windowProcedure;
  mode.announce = filter.empty() ? std::string("following every MPRIS player")
                                 : "following MPRIS players named " + filter + "*";
  notified = {};
  mode.begin = [&filter, refreshMs] {
    mpris::startFollowing(filter, refreshMs, onBusLost, onChange);
  };
  mode.end = mpris::disconnectBus;
  exitStatus = 0;
  runModule(std::move(module), mode);
  return exitStatus;
}

}  // namespace host

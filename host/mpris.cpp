// The MPRIS mode of the stand-in player: the module is loaded and run as in
// the play mode (timer, settings dialog on 'c', boxes), and its four queries
// are answered from the active player on the session bus. The answers are
// copied when the module asks, so a player that vanishes while the module
// reads them never leaves it holding freed text.
#include "host/mpris.h"

#include <dlfcn.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <optional>

#include "host/form.h"
#include "host/mpris_bus.h"
#include "host/seconds.h"
#include "platform/port.h"
#include "platform/posix/system.h"
#include "shell/player.h"

namespace host {

namespace {

namespace posix = platform::posix;

void usage() {
  std::fputs(
      "usage: trellicast-host [--registry PATH] [--module PATH] mpris [--player NAME]\n"
      "                       [--quit-after N] [--refresh N]\n",
      stderr);
}

// The texts handed to the module, kept until it asks again.
std::string answeredTitle;
std::string answeredPath;
PluginRecord* record = nullptr;
int exitStatus = 0;

intptr_t windowProcedure(platform::WindowHandle, unsigned message, uintptr_t wParam,
                         intptr_t code) {
  if (message != platform::kUserMessage) return 0;
  switch (code) {
    case kGetStatus:
      return mpris::nowPlaying().status;
    case kGetListPosition:
      return 0;  // MPRIS has no playlist position: one entry, the current track
    case kGetTitle:
      if (wParam != 0) return 0;
      answeredTitle = mpris::nowPlaying().title;
      return reinterpret_cast<intptr_t>(answeredTitle.c_str());
    case kGetFileName: {
      if (wParam != 0) return 0;
      const std::optional<std::string> path = mpris::nowPlaying().path;
      if (!path) return 0;  // a stream or nothing: no tag fragment
      answeredPath = *path;
      return reinterpret_cast<intptr_t>(answeredPath.c_str());
    }
    default:
      return 0;
  }
}

void say(const std::string& line) {
  std::printf("%s\n", line.c_str());
  std::fflush(stdout);
}

void onKey(unsigned char key) {
  if (key == 'c') {
    say("configure");
    record->config();
  } else if (key == 'q') {
    posix::quitLoop();
  }
}

void onBusLost() {
  exitStatus = 1;
  posix::quitLoop();
}

termios savedTerminal;
bool terminalChanged = false;

void keysMode() {
  if (::tcgetattr(STDIN_FILENO, &savedTerminal) != 0) return;
  termios raw = savedTerminal;
  raw.c_lflag &= static_cast<tcflag_t>(~(ICANON | ECHO));
  raw.c_cc[VMIN] = 1;
  raw.c_cc[VTIME] = 0;
  if (::tcsetattr(STDIN_FILENO, TCSANOW, &raw) == 0) terminalChanged = true;
}

void restoreTerminal() {
  if (terminalChanged) ::tcsetattr(STDIN_FILENO, TCSANOW, &savedTerminal);
  terminalChanged = false;
}

volatile std::sig_atomic_t stopSignal = 0;
void onStopSignal(int sig) { stopSignal = sig; }

struct ModuleCloser {
  void operator()(void* handle) const { ::dlclose(handle); }
};

}  // namespace

int mprisMode(const std::string& modulePath, const std::vector<std::string>& args) {
  std::string filter;
  uint32_t quitAfterMs = 0, refreshMs = 30000;
  bool quitAfter = false;
  for (size_t i = 0; i < args.size(); ++i) {
    const bool hasValue = i + 1 < args.size();
    if (args[i] == "--player" && hasValue) {
      filter = args[++i];
    } else if (args[i] == "--quit-after" && hasValue) {
      if (!parseSeconds(args[++i].c_str(), &quitAfterMs)) {
        std::fprintf(stderr, "trellicast-host: bad --quit-after %s\n", args[i].c_str());
        return 2;
      }
      quitAfter = true;
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

  std::unique_ptr<void, ModuleCloser> module(::dlopen(modulePath.c_str(), RTLD_NOW | RTLD_LOCAL));
  if (!module) {
    std::fprintf(stderr, "trellicast-host: cannot load %s: %s\n", modulePath.c_str(), ::dlerror());
    mpris::disconnectBus();
    return 1;
  }
  using GetRecord = PluginRecord* (*)();
  auto getRecord =
      reinterpret_cast<GetRecord>(::dlsym(module.get(), "winampGetGeneralPurposePlugin"));
  record = getRecord != nullptr ? getRecord() : nullptr;
  if (record == nullptr) {
    std::fprintf(stderr, "trellicast-host: %s is not a plug-in module\n", modulePath.c_str());
    mpris::disconnectBus();
    return 1;
  }

  struct sigaction action {};
  action.sa_handler = onStopSignal;  // no SA_RESTART: the loop's wait ends at once
  ::sigaction(SIGINT, &action, nullptr);
  ::sigaction(SIGTERM, &action, nullptr);

  const bool keys = posix::interactive();
  installTerminalForm();
  platform::WindowHandle window = posix::createWindow(windowProcedure);
  record->hostWindow = window;
  record->moduleInstance = module.get();
  say("registry: " + posix::registryPath());
  record->init();
  say(std::string("loaded: ") + (record->description != nullptr ? record->description : ""));
  uint32_t period = 0;
  say(posix::timerPeriod(window, 1, &period)
          ? "update timer: every " + std::to_string(period) + " ms"
          : std::string("update timer: not armed"));
  say(filter.empty() ? std::string("following every MPRIS player")
                     : "following MPRIS players named " + filter + "*");

  if (keys) {
    keysMode();
    say("keys: c configure, q quit");
    posix::pushInputHandler(onKey);
  }
  exitStatus = 0;
  mpris::startFollowing(filter, refreshMs, onBusLost);
  if (quitAfter) posix::runDelayed(quitAfterMs, posix::quitLoop);
  uint64_t watchId = 0;
  std::function<void()> watch = [&watch, &watchId] {
    if (stopSignal != 0) {
      posix::quitLoop();
    } else {
      watchId = posix::runDelayed(100, watch);
    }
  };
  watchId = posix::runDelayed(100, watch);

  posix::runLoop();

  posix::cancelDelayed(watchId);
  if (keys) posix::popInputHandler();
  restoreTerminal();
  mpris::disconnectBus();
  record->quit();
  posix::destroyWindow(window);
  module.reset();
  record = nullptr;
  say("quit");
  return exitStatus;
}

}  // namespace host

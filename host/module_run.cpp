#include "host/module_run.h"

#include <dlfcn.h>
#include <termios.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>

#include "host/form.h"
#include "platform/port.h"
#include "platform/posix/system.h"
#include "platform/posix/wake.h"

namespace host {

namespace {

namespace posix = platform::posix;

termios savedTerminal;
bool terminalChanged = false;

// Keys without Enter and without echo; Ctrl-C still interrupts.
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

platform::WindowHandle runningWindow = nullptr;  // the window of the module's run, if any

volatile std::sig_atomic_t stopSignal = 0;
// Wakes the loop (a write to its wake descriptor, safe in a handler), which
// then sees the flag.
void onStopSignal(int sig) {
  stopSignal = sig;
  posix::wakeLoop();
}

}  // namespace

void say(const std::string& line) {
  std::printf("%s\n", line.c_str());
  std::fflush(stdout);
}

void ModuleCloser::operator()(void* handle) const { ::dlclose(handle); }

bool loadModule(const std::string& path, LoadedModule* module) {
  module->handle.reset(::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL));
  if (!module->handle) {
    std::fprintf(stderr, "trellicast-host: cannot load %s: %s\n", path.c_str(), ::dlerror());
    return false;
  }
  using GetRecord = PluginRecord* (*)();
  auto getRecord =
      reinterpret_cast<GetRecord>(::dlsym(module->handle.get(), "winampGetGeneralPurposePlugin"));
  module->record = getRecord != nullptr ? getRecord() : nullptr;
  if (module->record == nullptr) {
    std::fprintf(stderr, "trellicast-host: %s is not a plug-in module\n", path.c_str());
    module->handle.reset();
    return false;
  }
  return true;
}

void runModule(LoadedModule module, const ModuleRun& mode) {
  PluginRecord* record = module.record;
  struct sigaction action {};
  action.sa_handler = onStopSignal;  // no SA_RESTART: the loop's wait ends at once
  ::sigaction(SIGINT, &action, nullptr);
  ::sigaction(SIGTERM, &action, nullptr);

  const bool keys = posix::interactive();
  installTerminalForm();
  platform::WindowHandle window = posix::createWindow(mode.answer);
  runningWindow = window;
  record->hostWindow = window;
  record->moduleInstance = module.handle.get();
  say("config: " + posix::configPath());
  record->init();
  say(std::string("loaded: ") + (record->description != nullptr ? record->description : ""));
  uint32_t period = 0;
  say(posix::timerPeriod(window, 1, &period)
          ? "update timer: every " + std::to_string(period) + " ms"
          : std::string("update timer: not armed"));
  if (!mode.announce.empty()) say(mode.announce);

  if (keys) {
    keysMode();
    say("keys: " + (mode.keys.empty() ? std::string() : mode.keys + ", ") + "c configure, q quit");
    posix::pushInputHandler([record, &mode](unsigned char key) {
      if (key == 'c') {
        say("configure");
        record->config();
      } else if (key == 'q') {
        posix::quitLoop();
      } else if (mode.onKey) {
        mode.onKey(key);
      }
    });
  }
  if (mode.quitAfterMs) posix::runDelayed(*mode.quitAfterMs, posix::quitLoop);
  if (mode.begin) mode.begin();
  // Signals end the loop cleanly, so the plug-in still gets its quit.
  posix::runLoopUntil([] { return stopSignal != 0; });

  if (keys) posix::popInputHandler();
  restoreTerminal();
  if (mode.end) mode.end();
  record->quit();
  runningWindow = nullptr;
  posix::destroyWindow(window);
  module.handle.reset();
  say("quit");
}

void notifyWindow(uintptr_t wParam, intptr_t code) {
  if (runningWindow != nullptr) platform::sendUserMessage(runningWindow, wParam, code);
}

}  // namespace host

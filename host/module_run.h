// What both modes of the stand-in player (play, mpris) do with the plug-in
// module: load it, give it a window and run it on the event loop until it
// is told to quit, then quit and unload it. Each mode brings the window
// procedure that answers the module's queries and the few steps of its own.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "base/player.h"
#include "platform/posix/system.h"

namespace host {

// One line on standard output, flushed at once (scripts follow it).
void say(const std::string& line);

struct ModuleCloser {
  void operator()(void* handle) const;
};

// A module opened with dlopen and the plug-in record it handed out.
struct LoadedModule {
  std::unique_ptr<void, ModuleCloser> handle;
  PluginRecord* record = nullptr;
};

// Opens the module at path and asks it for its record. On failure says why
// on standard error ("cannot load PATH: ..." or "PATH is not a plug-in
// module") and returns false.
bool loadModule(const std::string& path, LoadedModule* module);

// What one mode adds to the run of the module.
struct ModuleRun {
  platform::posix::WindowProcedure answer;  // the player window's procedure
  std::string announce;                     // said after the update timer's line, unless empty
  // Keys of the mode's own besides 'c' (settings) and 'q' (quit), and how
  // they are offered: "space pause/resume, n next"; both may be empty.
  platform::posix::InputHandler onKey;
  std::string keys;
  std::function<void()> begin;  // just before the loop runs
  std::function<void()> end;    // after the loop, before the module's quit
  std::optional<uint32_t> quitAfterMs;
};

// Runs the module as the player's plug-in: its window, init, the lines
// "config: ...", "loaded: ...", "update timer: ...", keys on a terminal,
// then the loop until 'q', SIGINT, SIGTERM or quitAfterMs (the terminal's
// mode restored afterwards); then the module's quit, the window closed, the
// module unloaded and "quit" said.
void runModule(LoadedModule module, const ModuleRun& mode);

// The player tells its own window that what it plays changed (NOTIFY_NEW_FILE
// with the file name, NOTIFY_CHANGED with TITLE_CHANGED or STATUS_CHANGED),
// as SendMessage would; the module learns of it by watching the window.
// Nothing happens outside runModule.
void notifyWindow(uintptr_t wParam, intptr_t code);

}  // namespace host

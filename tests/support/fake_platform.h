// A recording test double of the platform port's window, timer, box,
// dialog and module services (fake_ui.cpp), and of the settings store
// (fake_store.cpp). Tests read what the core did from here and script
// what the "system" answers.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <ostream>
#include <string>
#include <vector>

#include "platform/port.h"
#include "tests/support/fake_settings.h"

namespace fake {

struct Box {
  std::string caption;
  std::string text;
  bool operator==(const Box&) const = default;
};
// How a failing expectation prints a box.
inline void PrintTo(const Box& box, std::ostream* os) {
  *os << box.caption << ": \"" << box.text << "\"";
}

struct TimerCall {
  bool set;  // true: setTimer, false: killTimer
  platform::WindowHandle window;
  uintptr_t id;
  uint32_t periodMs;  // as asked for, before any raising
};

struct Timer {
  uint32_t periodMs;
  platform::TimerCallback callback;
};

struct Control {
  std::string text;
  uint32_t limit = 30000;
  bool checked = false;
};

struct Dialog {
  std::map<int, Control> controls;
  bool ended = false;
  intptr_t result = 0;
};

struct Value {
  uint32_t type;
  std::string bytes;
};

struct State {
  // Messages to the host: answers come from here.
  std::function<intptr_t(uintptr_t wParam, intptr_t code)> host;
  std::vector<std::pair<uintptr_t, intptr_t>> hostMessages;  // (wParam, code)

  // The window watch the module put in front of the host window.
  platform::WindowHandle watchedWindow = nullptr;
  platform::UserMessageWatch watch = nullptr;

  std::vector<TimerCall> timerCalls;
  std::map<std::pair<platform::WindowHandle, uintptr_t>, Timer> timers;

  std::vector<Box> boxes;
  std::function<void(const Box&)> onBox;  // runs "inside" the box's loop

  // Dialog: controls the template creates; the script runs after the
  // initialisation message, as the user would act.
  std::map<int, Control> dialogTemplate;
  std::function<void(platform::WindowHandle dialog)> dialogScript;
  Dialog* openDialog = nullptr;
  std::vector<intptr_t> dialogResults;
  int dialogBoxCalls = 0;
  // The folder picker: what it answers, and the folder it hands back.
  platform::FolderPick folderPick = platform::FolderPick::cancelled;
  std::string pickedFolder;
  std::vector<std::string> pickerStarts;  // the folder each pick started at

  std::string moduleFileName = "/usr/lib/trellicast/gen_Trellicast.so";

  // Settings store.
  std::map<std::string, std::map<std::string, Value>> registry;
  long createKeyError = 0;                     // nonzero: regCreateKey fails
  std::map<std::string, long> setValueErrors;  // value name -> error code
  int openKeys = 0;
};

State& state();
// Clears everything back to a fresh double.
void reset();
// A fresh double and a plug-in as at load time, with the real allocator and
// host as the player's window.
void freshPlugin(platform::WindowHandle host);

// The player tells its window of a change: the module's watch sees it
// first, as it would in front of the window's procedure.
void notify(uintptr_t wParam, intptr_t code);

// Fires the timer as the event loop would; false when it is not armed.
bool fireTimer(platform::WindowHandle window, uintptr_t id);
// The last period asked of setTimer for the update timer, or -1.
int64_t armedPeriod();

// Dialog helpers for scripts.
// The settings dialog's controls as its template creates them, texts empty.
std::map<int, Control> settingsDialogControls();
Control* control(platform::WindowHandle dialog, int id);
intptr_t command(platform::WindowHandle dialog, int id);  // WM_COMMAND to the procedure

// Store helpers.
void putValue(const std::string& name, uint32_t type, const std::string& bytes);
void putDword(const std::string& name, uint32_t value);
const Value* value(const std::string& name);

}  // namespace fake

// The POSIX backend's own services for the stand-in player and for the
// backend's pieces: the event loop, host windows, keyboard input, the
// dialog presenter hook, message boxes and the config file's location. The plug-in
// core never includes this; it sees only platform/port.h.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "platform/port.h"

namespace platform::posix {

// ---- Windows --------------------------------------------------------------
// A window is a target for messages and the owner of timers.
using WindowProcedure = std::function<intptr_t(WindowHandle window, unsigned message,
                                               uintptr_t wParam, intptr_t lParam)>;
WindowHandle createWindow(WindowProcedure procedure);
// Stops the window's timers; later messages to it answer 0.
void destroyWindow(WindowHandle window);
// Whether timer (window, timerId) is armed, and with which period (after
// raising and capping), for the player's start-up report.
bool timerPeriod(WindowHandle window, uintptr_t timerId, uint32_t* periodMs);

// ---- Event loop (single thread) ---------------------------------------------
// Runs timers and input until quitLoop() is called (or until nothing is
// left that could happen: no timers, no delayed callbacks, no input).
void runLoop();
void quitLoop();
// A nested loop, as a modal box or dialog runs: dispatches timers and input
// until done() is true (checked after every event) or quitLoop() is called.
// Returns false when it ended by quitLoop().
bool runLoopUntil(const std::function<bool()>& done);
// Runs a callback once after delayMs on the loop (used by the player for
// its own clock); returns an id for cancelDelayed.
uint64_t runDelayed(uint32_t delayMs, std::function<void()> callback);
void cancelDelayed(uint64_t id);

// ---- One more descriptor ----------------------------------------------------
// A service of the player (the bus connection of the MPRIS mode) can have
// the loop watch one descriptor beside standard input. Before every wait the
// loop asks prepare() what to wait for; after the wait, dispatch() runs when
// the descriptor is ready or the time asked for has passed. Input and due
// timers and delayed callbacks are served first, so a busy descriptor never
// delays a tick. Nested loops watch it too, but dispatch() is never entered
// again while it runs.
struct DescriptorWait {
  int fd = -1;         // negative: no descriptor this time
  short events = 0;    // poll(2) events
  int timeoutMs = -1;  // dispatch after this long even if nothing is ready; negative: no limit
};
struct DescriptorWatch {
  std::function<DescriptorWait()> prepare;
  std::function<void()> dispatch;
};
// Installs the watch, replacing any; one without prepare or dispatch removes it.
void setDescriptorWatch(DescriptorWatch watch);

// ---- Keyboard input ------------------------------------------------------------
// Bytes read from standard input go to the innermost handler. The player
// installs the outermost one; message boxes and the dialog push their own.
using InputHandler = std::function<void(unsigned char byte)>;
void pushInputHandler(InputHandler handler);
void popInputHandler();
// Whether boxes and dialogs may ask the user (standard input is a terminal).
bool interactive();

// ---- Dialog presenter -----------------------------------------------------------
// The dialog manager keeps the controls; a presenter (the player's terminal
// form) draws them and turns keys into edits and commands. Set by the
// player; without one, dialogBox fails (-1).
struct DialogPresenter {
  // Called once the dialog is initialised, and again after every change.
  std::function<void(WindowHandle dialog)> draw;
  // Called when the dialog closes.
  std::function<void(WindowHandle dialog)> close;
};
void setDialogPresenter(DialogPresenter presenter);

// ---- Message boxes ----------------------------------------------------------------
// On a terminal a box stays on screen until Enter while the loop runs on;
// keys go to the waiting boxes first. What the box now waiting shows (empty
// for none), for a presenter that draws over the screen, and a callback
// run when a box is acknowledged.
std::string waitingBox();
void setBoxAcknowledged(std::function<void()> callback);

// ---- Settings store -------------------------------------------------------------
// The config file; default: $XDG_CONFIG_HOME (else ~/.config)
// /trellicast/trellicast.conf.
void setConfigPath(const std::string& path);
std::string configPath();

}  // namespace platform::posix

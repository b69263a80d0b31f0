// The POSIX backend's event loop: window-like message targets, per-window
// timers, one-shot delayed callbacks, keyboard input from standard input,
// one more watched descriptor and nested loops, all on the one thread that
// runs the loop.
//
// Timers behave like the system timers of the Windows build: a period is
// raised to 10 ms and capped at 0x7FFFFFFF ms; setting a timer that already
// exists for the same (window, id) replaces it; ticks do not pile up (a
// timer that is late fires once, then its next tick is one period after
// that); and the dialog's nested loop dispatches ticks too, including ticks
// of the very timer whose callback opened it.
// Input is served before timers, as input messages are before WM_TIMER.
//
// Every lookup is made afresh after a callback returns, so a callback may
// kill, re-arm or replace any timer (its own included), destroy windows or
// run a nested loop.
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/port.h"
#include "platform/posix/errors.h"
#include "platform/posix/system.h"
#include "platform/posix/wake.h"

namespace platform {

namespace {

constexpr uint32_t TIMER_MIN_PERIOD_MS = 10;
constexpr uint32_t INVALID_WINDOW_HANDLE = 1400;  // ERROR_INVALID_WINDOW_HANDLE

using Clock = std::chrono::steady_clock;
using Millis = int64_t;

Millis nowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now().time_since_epoch())
      .count();
}

struct Timer {
  uint32_t periodMs;
  TimerCallback callback;
  Millis due;
  uint64_t order;  // breaks ties between timers due at the same moment
};

struct Delayed {
  Millis due;
  std::function<void()> callback;
};

// A watch put in front of a window's procedure: the watch itself (null once
// it has ended and only forwards) and the procedure it replaced.
struct WindowWatch {
  std::shared_ptr<UserMessageWatch> watch;
  posix::WindowProcedure previous;
};

struct Loop {
  std::map<uintptr_t, posix::WindowProcedure> windows;
  // Per window, the watches in the order they were put in front.
  std::map<uintptr_t, std::vector<WindowWatch>> watches;
  uintptr_t nextWindow = 0x100;
  std::map<std::pair<WindowHandle, uintptr_t>, Timer> timers;
  std::map<uint64_t, Delayed> delayed;
  uint64_t nextDelayed = 1;
  uint64_t nextOrder = 1;
  std::vector<posix::InputHandler> inputHandlers;
  bool inputClosed = false;
  bool quitRequested = false;
  posix::DescriptorWatch watch;
  bool dispatching = false;
  std::deque<std::string> boxes;  // on a terminal, waiting for Enter; the first one shown
  std::function<void()> boxAcknowledged;
};

Loop& loop() {
  static Loop* instance = new Loop();  // never destroyed: callbacks may run during exit
  return *instance;
}

uintptr_t windowKey(WindowHandle window) { return reinterpret_cast<uintptr_t>(window); }

bool windowExists(WindowHandle window) { return loop().windows.count(windowKey(window)) != 0; }

bool readingInput() {
  const Loop& l = loop();
  return (!l.inputHandlers.empty() || !l.boxes.empty()) && !l.inputClosed && posix::interactive();
}

// The next timer or delayed callback to run, by due time.
struct Next {
  Millis due;
  bool isTimer;
  std::pair<WindowHandle, uintptr_t> timer;
  uint64_t delayedId;
};

std::optional<Next> nextEvent() {
  std::optional<Next> best;
  uint64_t bestOrder = 0;
  for (const auto& [key, t] : loop().timers) {
    if (!best || t.due < best->due || (t.due == best->due && t.order < bestOrder)) {
      best = Next{t.due, true, key, 0};
      bestOrder = t.order;
    }
  }
  for (const auto& [id, d] : loop().delayed) {
    // Delayed ids grow with time of arming, like the timers' order.
    if (!best || d.due < best->due) {
      best = Next{d.due, false, {}, id};
      bestOrder = 0;
    }
  }
  return best;
}

void showBox(const std::string& box) {
  std::fputs(box.c_str(), stdout);
  std::fflush(stdout);
}

void deliverInput(unsigned char byte) {
  Loop& l = loop();
  if (!l.boxes.empty()) {
    if (byte != '\n' && byte != '\r') return;
    l.boxes.pop_front();
    if (!l.boxes.empty()) showBox(l.boxes.front());
    if (l.boxAcknowledged) l.boxAcknowledged();
    return;
  }
  if (l.inputHandlers.empty()) return;
  // Copied: the handler may push or pop handlers while it runs.
  posix::InputHandler handler = l.inputHandlers.back();
  handler(byte);
}

// Runs the due timer or delayed callback `next` (looked up afresh).
void runDue(const Next& next, Millis now) {
  Loop& l = loop();
  if (next.isTimer) {
    auto it = l.timers.find(next.timer);
    if (it == l.timers.end()) return;
    Timer& t = it->second;
    // The next tick counts from now: a late timer does not catch up.
    t.due = now + t.periodMs;
    t.order = l.nextOrder++;
    const TimerCallback callback = t.callback;
    const auto [window, id] = next.timer;
    if (callback != nullptr) callback(window, TIMER_MESSAGE, id, static_cast<uint32_t>(now));
  } else {
    auto it = l.delayed.find(next.delayedId);
    if (it == l.delayed.end()) return;
    std::function<void()> callback = std::move(it->second.callback);
    l.delayed.erase(it);
    if (callback) callback();
  }
}

// Waits for and dispatches one event: a byte of input, a due timer, a due
// delayed callback or the watched descriptor. Returns false when there is
// nothing that could ever happen (no input, no timers, no delayed
// callbacks, no watch).
bool pumpOne() {
  Loop& l = loop();
  const std::optional<Next> next = nextEvent();
  const bool input = readingInput();
  // The watch is left out while its dispatch runs (a nested loop inside it).
  const bool watching = l.watch.prepare && l.watch.dispatch && !l.dispatching;
  if (!next && !input && !watching) return false;

  int timeout = -1;
  if (next) {
    const Millis wait = std::max<Millis>(0, next->due - nowMs());
    timeout = static_cast<int>(std::min<Millis>(wait, 1000 * 1000));
  }
  posix::DescriptorWait want;
  if (watching) want = l.watch.prepare();
  if (watching && want.timeoutMs >= 0 && (timeout < 0 || want.timeoutMs < timeout)) {
    timeout = want.timeoutMs;
  }
  const Millis watchDue = watching && want.timeoutMs >= 0 ? nowMs() + want.timeoutMs : -1;

  pollfd fds[3];
  nfds_t count = 0;
  int inputSlot = -1, watchSlot = -1, wakeSlot = -1;
  if (input) {
    inputSlot = static_cast<int>(count);
    fds[count++] = pollfd{STDIN_FILENO, POLLIN, 0};
  }
  if (watching && want.fd >= 0) {
    watchSlot = static_cast<int>(count);
    fds[count++] = pollfd{want.fd, want.events, 0};
  }
  if (const int wake = posix::wakeDescriptor(); wake >= 0) {
    wakeSlot = static_cast<int>(count);
    fds[count++] = pollfd{wake, POLLIN, 0};
  }
  const int ready =
      count > 0 || timeout != 0 ? ::poll(count > 0 ? fds : nullptr, count, timeout) : 0;
  if (ready < 0) return true;  // a signal: look again

  if (inputSlot >= 0 && fds[inputSlot].revents != 0) {
    unsigned char byte = 0;
    const ssize_t n = ::read(STDIN_FILENO, &byte, 1);
    if (n == 1) {
      deliverInput(byte);
      return true;
    }
    if (n == 0 || (errno != EINTR && errno != EAGAIN)) {
      l.inputClosed = true;
      l.boxes.clear();
    }
    return true;
  }
  if (wakeSlot >= 0 && fds[wakeSlot].revents != 0) {
    posix::runWakeHandler();
    return true;
  }

  // Due timers and delayed callbacks before the descriptor.
  const Millis now = nowMs();
  if (next && next->due <= now) {
    runDue(*next, now);
    return true;
  }
  const bool watchReady = watchSlot >= 0 && fds[watchSlot].revents != 0;
  if (watching && (watchReady || (watchDue >= 0 && watchDue <= now))) {
    // Copied: dispatch may replace or remove the watch.
    const std::function<void()> dispatch = l.watch.dispatch;
    l.dispatching = true;
    dispatch();
    l.dispatching = false;
  }
  return true;
}

}  // namespace

intptr_t sendUserMessage(WindowHandle window, uintptr_t wParam, intptr_t code) {
  auto it = loop().windows.find(windowKey(window));
  if (it == loop().windows.end()) {
    setLastError(INVALID_WINDOW_HANDLE);
    return 0;
  }
  const posix::WindowProcedure procedure = it->second;  // the window may go while it runs
  return procedure ? procedure(window, USER_MESSAGE, wParam, code) : 0;
}

bool watchWindow(WindowHandle window, UserMessageWatch watch) {
  Loop& l = loop();
  auto it = l.windows.find(windowKey(window));
  if (it == l.windows.end()) {
    setLastError(INVALID_WINDOW_HANDLE);
    return false;
  }
  auto cell = std::make_shared<UserMessageWatch>(watch);
  posix::WindowProcedure previous = it->second;
  it->second = [cell, previous](WindowHandle w, unsigned message, uintptr_t wParam,
                                intptr_t lParam) -> intptr_t {
    const UserMessageWatch current = *cell;
    if (message == USER_MESSAGE && current != nullptr) current(wParam, lParam);
    return previous ? previous(w, message, wParam, lParam) : 0;
  };
  l.watches[windowKey(window)].push_back({cell, std::move(previous)});
  return true;
}

void unwatchWindow(WindowHandle window, UserMessageWatch watch) {
  Loop& l = loop();
  auto chain = l.watches.find(windowKey(window));
  if (chain == l.watches.end()) return;
  auto& watches = chain->second;
  auto ours = std::find_if(watches.begin(), watches.end(),
                           [watch](const WindowWatch& w) { return *w.watch == watch; });
  if (ours == watches.end() || watch == nullptr) return;
  *ours->watch = nullptr;  // forwards only from now on
  // Put back what it replaced when nothing was put in front of it since.
  if (std::next(ours) == watches.end()) {
    auto it = l.windows.find(windowKey(window));
    if (it != l.windows.end()) it->second = ours->previous;
    watches.erase(ours);
  }
}

uintptr_t setTimer(WindowHandle window, uintptr_t timerId, uint32_t periodMs,
                   TimerCallback callback) {
  Loop& l = loop();
  if (!windowExists(window)) {
    setLastError(INVALID_WINDOW_HANDLE);
    return 0;
  }
  const uint32_t period = std::clamp(periodMs, TIMER_MIN_PERIOD_MS, TIMER_MAX_PERIOD_MS);
  l.timers[{window, timerId}] = Timer{period, callback, nowMs() + period, l.nextOrder++};
  return timerId != 0 ? timerId : 1;
}

bool killTimer(WindowHandle window, uintptr_t timerId) {
  return loop().timers.erase({window, timerId}) != 0;
}

// Unlike a modal box, one on a terminal never holds the loop: it stays on
// screen until Enter while timers, watches and the sender's outcome go on.
void messageBox(const char* text, const char* caption) {
  if (text == nullptr) text = "";
  if (caption == nullptr) caption = "";
  if (!posix::interactive()) {
    std::fprintf(stderr, "[%s] %s\n", caption, text);
    std::fflush(stderr);
    return;
  }
  Loop& l = loop();
  l.boxes.push_back(std::string("\n== ") + caption + " ==\n" + text + "\n[Press Enter]\n");
  if (l.boxes.size() == 1) showBox(l.boxes.front());
}

namespace posix {

WindowHandle createWindow(WindowProcedure procedure) {
  Loop& l = loop();
  const uintptr_t key = l.nextWindow++;
  l.windows[key] = std::move(procedure);
  return reinterpret_cast<WindowHandle>(key);
}

void destroyWindow(WindowHandle window) {
  Loop& l = loop();
  l.windows.erase(windowKey(window));
  l.watches.erase(windowKey(window));
  for (auto it = l.timers.begin(); it != l.timers.end();) {
    it = it->first.first == window ? l.timers.erase(it) : std::next(it);
  }
}

bool timerPeriod(WindowHandle window, uintptr_t timerId, uint32_t* periodMs) {
  auto it = loop().timers.find({window, timerId});
  if (it == loop().timers.end()) return false;
  if (periodMs != nullptr) *periodMs = it->second.periodMs;
  return true;
}

void runLoop() {
  Loop& l = loop();
  while (!l.quitRequested) {
    if (!pumpOne()) break;  // nothing left that could ever wake the loop
  }
  l.quitRequested = false;
}

void quitLoop() { loop().quitRequested = true; }

bool runLoopUntil(const std::function<bool()>& done) {
  Loop& l = loop();
  while (!done()) {
    // The quit request is left standing so the enclosing loops end too.
    if (l.quitRequested) return false;
    if (!pumpOne()) return done();
  }
  return true;
}

uint64_t runDelayed(uint32_t delayMs, std::function<void()> callback) {
  Loop& l = loop();
  const uint64_t id = l.nextDelayed++;
  l.delayed[id] = Delayed{nowMs() + delayMs, std::move(callback)};
  return id;
}

void cancelDelayed(uint64_t id) { loop().delayed.erase(id); }

void setDescriptorWatch(DescriptorWatch watch) {
  Loop& l = loop();
  if (!watch.prepare || !watch.dispatch) watch = {};
  l.watch = std::move(watch);
}

void pushInputHandler(InputHandler handler) { loop().inputHandlers.push_back(std::move(handler)); }

void popInputHandler() {
  if (!loop().inputHandlers.empty()) loop().inputHandlers.pop_back();
}

bool interactive() { return ::isatty(STDIN_FILENO) == 1; }

std::string waitingBox() { return loop().boxes.empty() ? std::string() : loop().boxes.front(); }

void setBoxAcknowledged(std::function<void()> callback) {
  loop().boxAcknowledged = std::move(callback);
}

}  // namespace posix

}  // namespace platform

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "base/state.h"
#include "dialog/resources/resource.h"
#include "platform/posix/errors.h"
#include "plugin/plugin.h"
#include "report/update.h"
#include "tests/support/fake_platform.h"

namespace fake {

namespace {
State* current = nullptr;
platform::DialogProcedure currentProcedure = nullptr;
}  // namespace

State& state() {
  if (current == nullptr) current = new State();
  return *current;
}

void reset() {
  delete current;
  current = new State();
  currentProcedure = nullptr;
  platform::setLastError(0);
}

void freshPlugin(platform::WindowHandle host) {
  reset();
  resetPlugin();  // the allocator too
  pluginRecord.hostWindow = host;
}

void notify(uintptr_t wParam, intptr_t code) {
  if (state().watch != nullptr) state().watch(wParam, code);
}

bool fireTimer(platform::WindowHandle window, uintptr_t id) {
  auto it = state().timers.find({window, id});
  if (it == state().timers.end()) return false;
  it->second.callback(window, platform::TIMER_MESSAGE, id, 0);
  return true;
}

int64_t armedPeriod() {
  for (auto it = state().timerCalls.rbegin(); it != state().timerCalls.rend(); ++it)
    if (it->set && it->id == UPDATE_TIMER_ID) return it->periodMs;
  return -1;
}

std::map<int, Control> settingsDialogControls() {
  return {{IDOK, {}},
          {IDCANCEL, {}},
          {IDC_URL_LABEL, {}},
          {IDC_URL, {}},
          {IDC_INTERVAL_LABEL, {}},
          {IDC_INTERVAL, {}},
          {IDC_SECONDS_LABEL, {}},
          {IDC_ENABLED, {}},
          {IDC_UTF8, {}},
          {IDC_STATUS, {}},
          {IDC_SEND_NOW, {}},
          {IDC_SEND_COVER, {}},
          {IDC_OUTPUT_FOLDER, {}},
          {IDC_BROWSE, {}},
          {IDC_OUTPUT_TEMPLATE, {}}};
}

Control* control(platform::WindowHandle dialog, int id) {
  auto* d = static_cast<Dialog*>(dialog);
  auto it = d->controls.find(id);
  return it == d->controls.end() ? nullptr : &it->second;
}

intptr_t command(platform::WindowHandle dialog, int id) {
  return currentProcedure(dialog, platform::COMMAND, static_cast<uintptr_t>(id), 0);
}

}  // namespace fake

namespace platform {

intptr_t sendUserMessage(WindowHandle, uintptr_t wParam, intptr_t code) {
  auto& s = fake::state();
  s.hostMessages.emplace_back(wParam, code);
  return s.host ? s.host(wParam, code) : 0;
}

bool watchWindow(WindowHandle window, UserMessageWatch watch) {
  fake::state().watchedWindow = window;
  fake::state().watch = watch;
  return true;
}

void unwatchWindow(WindowHandle window, UserMessageWatch watch) {
  if (fake::state().watchedWindow == window && fake::state().watch == watch) {
    fake::state().watchedWindow = nullptr;
    fake::state().watch = nullptr;
  }
}

uintptr_t setTimer(WindowHandle window, uintptr_t timerId, uint32_t periodMs,
                   TimerCallback callback) {
  auto& s = fake::state();
  s.timerCalls.push_back({true, window, timerId, periodMs});
  s.timers[{window, timerId}] = {std::max<uint32_t>(periodMs, 10), callback};
  return timerId;
}

bool killTimer(WindowHandle window, uintptr_t timerId) {
  auto& s = fake::state();
  s.timerCalls.push_back({false, window, timerId, 0});
  return s.timers.erase({window, timerId}) > 0;
}

void messageBox(const char* text, const char* caption) {
  auto& s = fake::state();
  s.boxes.push_back({caption, text});
  if (s.onBox) s.onBox(s.boxes.back());
}

intptr_t dialogBox(ModuleHandle, int, const form::Layout*, WindowHandle,
                   DialogProcedure procedure) {
  auto& s = fake::state();
  ++s.dialogBoxCalls;
  fake::Dialog dialog;
  dialog.controls = s.dialogTemplate;
  auto* previousDialog = s.openDialog;
  auto previousProcedure = fake::currentProcedure;
  s.openDialog = &dialog;
  fake::currentProcedure = procedure;
  procedure(&dialog, INIT_DIALOG, 0, 0);
  if (!dialog.ended && s.dialogScript) s.dialogScript(&dialog);
  s.openDialog = previousDialog;
  fake::currentProcedure = previousProcedure;
  s.dialogResults.push_back(dialog.result);
  return dialog.result;
}

bool endDialog(WindowHandle dialog, intptr_t result) {
  auto* d = static_cast<fake::Dialog*>(dialog);
  d->ended = true;
  d->result = result;
  return true;
}

WindowHandle dialogItem(WindowHandle dialog, int controlId) {
  return fake::control(dialog, controlId);
}

bool checkDialogButton(WindowHandle dialog, int controlId, bool checked) {
  auto* c = fake::control(dialog, controlId);
  if (c == nullptr) return false;
  c->checked = checked;
  return true;
}

FolderPick browseForFolder(WindowHandle, char* path, uint32_t capacity) {
  fake::State& st = fake::state();
  st.pickerStarts.emplace_back(path);
  if (st.folderPick == FolderPick::chosen)
    std::snprintf(path, capacity, "%s", st.pickedFolder.c_str());
  return st.folderPick;
}

bool isDialogButtonChecked(WindowHandle dialog, int controlId) {
  auto* c = fake::control(dialog, controlId);
  return c != nullptr && c->checked;
}

void limitText(WindowHandle control, uint32_t maxChars) {
  static_cast<fake::Control*>(control)->limit = maxChars;
}

bool setControlText(WindowHandle control, const char* text) {
  static_cast<fake::Control*>(control)->text = text;
  return true;
}

uint32_t controlTextLength(WindowHandle control) {
  return static_cast<uint32_t>(static_cast<fake::Control*>(control)->text.size());
}

uint32_t controlText(WindowHandle control, char* buffer, uint32_t capacity) {
  if (capacity == 0) return 0;
  const auto& text = static_cast<fake::Control*>(control)->text;
  const size_t n = std::min<size_t>(text.size(), capacity - 1);
  std::memcpy(buffer, text.data(), n);
  buffer[n] = '\0';
  return static_cast<uint32_t>(n);
}

uint32_t moduleFileName(ModuleHandle, char* buffer, uint32_t capacity) {
  const auto& name = fake::state().moduleFileName;
  if (capacity == 0) return 0;
  const size_t n = std::min<size_t>(name.size(), capacity - 1);
  std::memcpy(buffer, name.data(), n);
  buffer[n] = '\0';
  return static_cast<uint32_t>(n);
}

char pathSeparator() { return '/'; }

}  // namespace platform

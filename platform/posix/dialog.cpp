// The POSIX dialog manager: a modal dialog built from a form layout, whose
// controls keep their text, typing limit and check state by id. Like the
// system's dialog manager it sends the initialisation and command
// messages to the dialog procedure, and runs a nested loop while the
// dialog is open, so timers keep firing. Drawing and keys belong to the
// presenter the player sets.
#include "platform/posix/dialog.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "platform/posix/errors.h"
#include "platform/posix/system.h"

namespace platform {

namespace {

constexpr uint32_t INVALID_WINDOW_HANDLE = 1400;     // ERROR_INVALID_WINDOW_HANDLE
constexpr uint32_t CONTROL_ID_NOT_FOUND = 1421;      // ERROR_CONTROL_ID_NOT_FOUND
constexpr uint32_t RESOURCE_NOT_FOUND = 1812;        // ERROR_RESOURCE_DATA_NOT_FOUND
constexpr uint32_t DEFAULT_EDIT_LIMIT = 32767;       // before any EM_LIMITTEXT
constexpr uint32_t LARGEST_EDIT_LIMIT = 0x7FFFFFFE;  // EM_LIMITTEXT with 0

struct Control {
  const form::Item* item;
  std::string text;
  uint32_t limit = DEFAULT_EDIT_LIMIT;
  bool checked = false;
};

struct Dialog {
  const form::Layout* layout;
  DialogProcedure procedure;
  std::vector<Control> controls;  // built once; handles point into it
  bool initialised = false;
  bool ended = false;
  intptr_t result = 0;
};

posix::DialogPresenter presenter;
std::vector<Dialog*> openDialogs;  // innermost last

Dialog* findDialog(WindowHandle handle) {
  for (Dialog* d : openDialogs)
    if (d == handle) return d;
  return nullptr;
}

// The control behind a handle, and its dialog; nullptr for a stale handle.
Control* findControl(WindowHandle handle, Dialog** owner = nullptr) {
  for (Dialog* d : openDialogs) {
    for (Control& c : d->controls) {
      if (&c == handle) {
        if (owner != nullptr) *owner = d;
        return &c;
      }
    }
  }
  setLastError(INVALID_WINDOW_HANDLE);
  return nullptr;
}

Control* controlById(Dialog* dialog, int id) {
  for (Control& c : dialog->controls)
    if (c.item->id == id) return &c;
  return nullptr;
}

bool isEdit(const Control& c) { return c.item->kind == form::ControlKind::edit; }

// Redraws after a change, once the dialog is on screen.
void changed(Dialog* dialog) {
  if (dialog != nullptr && dialog->initialised && !dialog->ended && presenter.draw)
    presenter.draw(dialog);
}

}  // namespace

intptr_t dialogBox(ModuleHandle, int templateId, const form::Layout* layout, WindowHandle,
                   DialogProcedure procedure) {
  if (layout == nullptr || layout->templateId != templateId || procedure == nullptr) {
    setLastError(RESOURCE_NOT_FOUND);
    return -1;
  }
  // Without a presenter nobody could see or answer the dialog.
  if (!presenter.draw) return -1;

  auto dialog = std::make_unique<Dialog>();
  dialog->layout = layout;
  dialog->procedure = procedure;
  dialog->controls.reserve(layout->count);
  for (size_t i = 0; i < layout->count; ++i) {
    const form::Item& item = layout->items[i];
    dialog->controls.push_back({&item, item.kind == form::ControlKind::edit ? "" : item.text});
  }
  Dialog* d = dialog.get();
  openDialogs.push_back(d);

  procedure(d, INIT_DIALOG, 0, 0);
  // Ended while initialising (a control it needs is missing): never shown.
  if (!d->ended) {
    d->initialised = true;
    const posix::DialogPresenter shown = presenter;
    shown.draw(d);
    // A quit request from the player ends the dialog like Cancel would,
    // without telling the procedure; the result is then 0.
    posix::runLoopUntil([d] { return d->ended; });
    if (shown.close) shown.close(d);
  }

  openDialogs.erase(std::find(openDialogs.begin(), openDialogs.end(), d));
  return d->ended ? d->result : 0;
}

bool endDialog(WindowHandle handle, intptr_t result) {
  Dialog* d = findDialog(handle);
  if (d == nullptr) {
    setLastError(INVALID_WINDOW_HANDLE);
    return false;
  }
  d->ended = true;
  d->result = result;
  return true;
}

WindowHandle dialogItem(WindowHandle handle, int controlId) {
  Dialog* d = findDialog(handle);
  if (d == nullptr) {
    setLastError(INVALID_WINDOW_HANDLE);
    return nullptr;
  }
  Control* c = controlById(d, controlId);
  if (c == nullptr) setLastError(CONTROL_ID_NOT_FOUND);
  return c;
}

bool checkDialogButton(WindowHandle handle, int controlId, bool checked) {
  Control* c = static_cast<Control*>(dialogItem(handle, controlId));
  if (c == nullptr) return false;
  if (c->item->kind == form::ControlKind::checkBox && c->checked != checked) {
    c->checked = checked;
    changed(findDialog(handle));
  }
  return true;
}

// A terminal has no folder picker: the folder's path is typed.
FolderPick browseForFolder(WindowHandle, char*, uint32_t) { return FolderPick::unavailable; }

bool isDialogButtonChecked(WindowHandle handle, int controlId) {
  Control* c = static_cast<Control*>(dialogItem(handle, controlId));
  return c != nullptr && c->checked;
}

void limitText(WindowHandle control, uint32_t maxChars) {
  Control* c = findControl(control);
  if (c != nullptr && isEdit(*c)) c->limit = maxChars == 0 ? LARGEST_EDIT_LIMIT : maxChars;
}

bool setControlText(WindowHandle control, const char* text) {
  Dialog* d = nullptr;
  Control* c = findControl(control, &d);
  if (c == nullptr) return false;
  // The limit is for typing only: a text set by the program is kept whole.
  c->text = text != nullptr ? text : "";
  changed(d);
  return true;
}

uint32_t controlTextLength(WindowHandle control) {
  const Control* c = findControl(control);
  return c == nullptr ? 0 : static_cast<uint32_t>(c->text.size());
}

uint32_t controlText(WindowHandle control, char* buffer, uint32_t capacity) {
  if (buffer == nullptr || capacity == 0) return 0;
  buffer[0] = '\0';
  const Control* c = findControl(control);
  if (c == nullptr) return 0;
  const size_t n = std::min<size_t>(c->text.size(), capacity - 1);
  std::memcpy(buffer, c->text.data(), n);
  buffer[n] = '\0';
  return static_cast<uint32_t>(n);
}

namespace {

// EN_CHANGE: an edit's text changed by the user, told to its dialog.
constexpr uintptr_t EDIT_CHANGED = 0x0300;
void notifyEditChange(Dialog* d, const Control& c) {
  d->procedure(d, COMMAND, static_cast<uintptr_t>(c.item->id) | (EDIT_CHANGED << 16), 0);
}

}  // namespace

namespace posix {

void setDialogPresenter(DialogPresenter p) { presenter = std::move(p); }

const form::Layout* dialogLayout(WindowHandle dialog) {
  const Dialog* d = findDialog(dialog);
  return d == nullptr ? nullptr : d->layout;
}

bool typeCharacter(WindowHandle control, char character) {
  Dialog* d = nullptr;
  Control* c = findControl(control, &d);
  if (c == nullptr || !isEdit(*c)) return false;
  const auto byte = static_cast<unsigned char>(character);
  if (byte < 0x20 || byte == 0x7F) return false;
  if (c->item->digitsOnly && (character < '0' || character > '9')) return false;
  if (c->text.size() >= c->limit) return false;
  c->text.push_back(character);
  changed(d);
  notifyEditChange(d, *c);
  return true;
}

bool eraseCharacter(WindowHandle control) {
  Dialog* d = nullptr;
  Control* c = findControl(control, &d);
  if (c == nullptr || !isEdit(*c) || c->text.empty()) return false;
  c->text.pop_back();
  changed(d);
  notifyEditChange(d, *c);
  return true;
}

bool clickControl(WindowHandle dialog, int controlId) {
  Dialog* d = findDialog(dialog);
  if (d == nullptr) return false;
  Control* c = controlById(d, controlId);
  if (c == nullptr) return false;
  switch (c->item->kind) {
    case form::ControlKind::checkBox:
      c->checked = !c->checked;
      changed(d);
      // An auto check box tells its dialog it was clicked, as a button does.
      d->procedure(d, COMMAND, static_cast<uintptr_t>(controlId), 0);
      changed(findDialog(dialog));
      return true;
    case form::ControlKind::button:
    case form::ControlKind::defaultButton:
      // BN_CLICKED is 0: wParam is the id alone.
      d->procedure(d, COMMAND, static_cast<uintptr_t>(controlId), 0);
      // Boxes the procedure showed have written over the form.
      changed(findDialog(dialog));
      return true;
    default:
      return false;
  }
}

}  // namespace posix

}  // namespace platform

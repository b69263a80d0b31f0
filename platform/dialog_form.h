// A dialog template as data: its controls, texts and places in dialog
// units, for dialog managers that build the form themselves (the Windows
// build's templates are resources of the module). Shared by the core, which
// states its forms with it, and the POSIX backend, which draws them.
#pragma once

#include <cstddef>

namespace form {

constexpr int NO_ID = -1;     // a control without id
constexpr int CANCEL_ID = 2;  // IDCANCEL: what Esc presses

enum class ControlKind {
  groupBox,
  defaultButton,  // the push button Enter presses
  button,
  label,
  edit,
  checkBox,
};

enum class Align { left, right };

struct Item {
  int id;  // -1: a control without id
  ControlKind kind;
  const char* text;  // for an edit: empty; the dialog procedure fills it
  int x, y, width, height;
  bool tabStop;
  bool digitsOnly;  // an edit that refuses anything but 0-9
  Align align;
  bool masked = false;  // an edit that shows its text as asterisks (ES_PASSWORD)
};

struct Layout {
  int templateId;
  const char* caption;
  int width, height;
  const Item* items;  // in tab order
  size_t count;
};

}  // namespace form

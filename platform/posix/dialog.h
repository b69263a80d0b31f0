// The POSIX dialog manager's side for presenters: what a presenter reads
// to draw an open dialog and what it reports when the user acts. The
// dialog procedure itself sees only the port's dialog procedures.
#pragma once

#include <cstdint>

#include "platform/dialog_form.h"
#include "platform/port.h"

namespace platform::posix {

// The form an open dialog was built from; nullptr for any other handle.
const form::Layout* dialogLayout(WindowHandle dialog);

// What the user does. Each one redraws the dialog when it changes it.
// Types one character at the end of an edit control. Refused (false) once
// the text holds the limit, for a control character, and for anything but
// a digit in a digits-only edit.
bool typeCharacter(WindowHandle control, char character);
// Backspace: removes the last character of an edit control's text.
bool eraseCharacter(WindowHandle control);
// A click: a check box toggles; a push button sends WM_COMMAND with its id
// to the dialog procedure. False when the dialog has no such control.
bool clickControl(WindowHandle dialog, int controlId);

}  // namespace platform::posix

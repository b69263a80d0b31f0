// The stand-in player's terminal form: draws the plug-in's modal dialog on
// the terminal and turns keys into the user's edits and clicks.
//
// Keys: Tab / Down / Right move to the next field, Shift-Tab / Up / Left
// to the previous one; typing edits the focused field (Backspace erases);
// Space toggles the check box or presses the focused button; Enter presses
// the focused button, anywhere else OK; Esc is Cancel; Ctrl-L redraws.
#pragma once

#include <string>

#include "platform/port.h"

namespace host {

// Makes the terminal form the backend's dialog presenter.
void installTerminalForm();

// The open dialog as plain text, one line per row, the field holding the
// focus marked with '>' (and a caret '_' in an edit).
std::string renderForm(platform::WindowHandle dialog, int focusId);

// What the form does with one byte of input to an open dialog (for tests
// without a terminal; the installed form is fed by the loop).
void formInput(platform::WindowHandle dialog, unsigned char byte);
// The dialog of the innermost open form, or nullptr.
platform::WindowHandle openFormDialog();
// The id of the control holding the focus in an open dialog, or 0.
int formFocus(platform::WindowHandle dialog);

}  // namespace host

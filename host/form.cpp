#include "host/form.h"

#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "platform/posix/dialog.h"
#include "platform/posix/system.h"
#include "platform/unicode.h"

namespace host {

namespace {

constexpr int HORIZONTAL_UNITS = 3;      // dialog units per terminal column
constexpr int VERTICAL_UNITS = 8;        // dialog units per terminal row
constexpr uint32_t ESCAPE_WAIT_MS = 50;  // a lone Esc, not the start of a key sequence
constexpr const char* KEYS_HELP =
    "Tab/arrows: move  Space: toggle/press  Enter: OK  Esc: Cancel  Backspace: erase";

int column(int x) { return (x + 1) / HORIZONTAL_UNITS; }
int row(int y) { return (y + VERTICAL_UNITS / 2) / VERTICAL_UNITS; }

// One open dialog's form: where the focus is and half-read key sequences.
struct FormState {
  platform::WindowHandle dialog;
  int focus = 0;
  enum { Plain, Escape, Sequence } input = Plain;
  uint64_t escapeTimer = 0;
  bool savedTerminal = false;
  termios terminal{};
};

std::vector<std::unique_ptr<FormState>> forms;  // innermost last

FormState* findForm(platform::WindowHandle dialog) {
  for (auto& f : forms)
    if (f->dialog == dialog) return f.get();
  return nullptr;
}

std::vector<const form::Item*> tabStops(const form::Layout& layout) {
  std::vector<const form::Item*> stops;
  for (size_t i = 0; i < layout.count; ++i)
    if (layout.items[i].tabStop) stops.push_back(&layout.items[i]);
  return stops;
}

const form::Item* itemById(const form::Layout& layout, int id) {
  for (size_t i = 0; i < layout.count; ++i)
    if (layout.items[i].id == id) return &layout.items[i];
  return nullptr;
}

std::string controlString(platform::WindowHandle dialog, int id) {
  platform::WindowHandle control = platform::dialogItem(dialog, id);
  if (control == nullptr) return {};
  std::string text(platform::controlTextLength(control), '\0');
  text.resize(platform::controlText(control, text.data(), static_cast<uint32_t>(text.size() + 1)));
  return text;
}

// The characters of a UTF-8 text, each one cell of the terminal (a byte
// that starts no sequence is a cell of its own).
std::vector<std::string> cellsOf(const std::string& text) {
  std::vector<std::string> cells;
  const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
  for (size_t i = 0; i < text.size();) {
    uint32_t cp = 0;
    const size_t n = std::max<size_t>(unicode::utf8SequenceAt(bytes, text.size(), i, &cp), 1);
    cells.push_back(text.substr(i, n));
    i += n;
  }
  return cells;
}

int columns(const std::string& text) { return static_cast<int>(cellsOf(text).size()); }

// The last n cells of text.
std::string lastColumns(const std::string& text, size_t n) {
  const std::vector<std::string> cells = cellsOf(text);
  std::string out;
  for (size_t i = cells.size() > n ? cells.size() - n : 0; i < cells.size(); ++i) out += cells[i];
  return out;
}

class Canvas {
 public:
  Canvas(int width, int height)
      : rows_(height, std::vector<std::string>(static_cast<size_t>(width), " ")) {}
  void put(int x, int y, const std::string& text) {
    if (y < 0 || y >= static_cast<int>(rows_.size())) return;
    const std::vector<std::string> cells = cellsOf(text);
    for (size_t i = 0; i < cells.size(); ++i) {
      const int at = x + static_cast<int>(i);
      if (at >= 0 && at < static_cast<int>(rows_[y].size())) rows_[y][at] = cells[i];
    }
  }
  void frame(int left, int top, int right, int bottom) {
    for (int x = left + 1; x < right; ++x) put(x, top, "-"), put(x, bottom, "-");
    for (int y = top + 1; y < bottom; ++y) put(left, y, "|"), put(right, y, "|");
    for (int x : {left, right}) put(x, top, "+"), put(x, bottom, "+");
  }
  std::string text() const {
    std::string all;
    for (const auto& r : rows_) {
      size_t used = r.size();
      while (used > 0 && r[used - 1] == " ") --used;
      for (size_t i = 0; i < used; ++i) all += r[i];
      all += "\n";
    }
    return all;
  }

 private:
  std::vector<std::vector<std::string>> rows_;
};

void drawItem(Canvas& canvas, platform::WindowHandle dialog, const form::Item& item, bool focused,
              int top) {
  const int left = column(item.x) + 1;  // +1: the dialog's own frame
  const int width = column(item.x + item.width) - column(item.x);
  const int y = row(item.y) + top;
  const std::string text = item.text;
  switch (item.kind) {
    case form::ControlKind::groupBox:
      canvas.frame(left, y, left + width - 1, row(item.y + item.height) + top - 1);
      canvas.put(left + 1, y, text);
      break;
    case form::ControlKind::label:
      if (item.id != form::NO_ID && item.align == form::Align::left) {
        // A label the dialog writes to (a status line): its current text,
        // wrapped between words over the rows it has (a word longer than
        // a row is cut).
        const std::string shown = controlString(dialog, item.id);
        const int rows = std::max(row(item.y + item.height) - row(item.y), 1);
        const size_t room = static_cast<size_t>(std::max(width, 1));
        size_t at = shown.find_first_not_of(' ');
        for (int r = 0; r < rows && at < shown.size(); ++r) {
          size_t end = std::min(at + room, shown.size());
          if (end < shown.size() && shown[end] != ' ') {
            const size_t space = shown.rfind(' ', end);
            if (space != std::string::npos && space > at) end = space;
          }
          canvas.put(left, y + r, shown.substr(at, end - at));
          at = shown.find_first_not_of(' ', end);
        }
        break;
      }
      canvas.put(item.align == form::Align::right ? left + width - columns(text) : left, y, text);
      break;
    case form::ControlKind::edit: {
      // The end of a long text stays in view, as with automatic scrolling.
      std::string shown = controlString(dialog, item.id);
      // A masked edit (a token) shows one asterisk a character.
      if (item.masked) shown = std::string(cellsOf(shown).size(), '*');
      shown += focused ? "_" : "";
      const size_t room = static_cast<size_t>(std::max(width - 2, 1));
      shown = lastColumns(shown, room);
      canvas.put(left, y,
                 "[" + shown + std::string(room - static_cast<size_t>(columns(shown)), ' ') + "]");
      break;
    }
    case form::ControlKind::button:
    case form::ControlKind::defaultButton: {
      const int inner = std::max(width - 2, columns(text));
      const int before = (inner - columns(text)) / 2;
      // Built by appending: GCC 12 at -O2 warns falsely (-Wrestrict) on
      // "[" + std::string(...).
      std::string shown(1, '[');
      shown.append(static_cast<size_t>(before), ' ');
      shown += text;
      shown.append(static_cast<size_t>(inner - before - columns(text)), ' ');
      shown += ']';
      canvas.put(left, y, shown);
      break;
    }
    case form::ControlKind::checkBox:
      canvas.put(
          left, y,
          std::string(platform::isDialogButtonChecked(dialog, item.id) ? "[x] " : "[ ] ") + text);
      break;
  }
  if (focused) canvas.put(left - 1, y, ">");
}

void draw(platform::WindowHandle dialog) {
  // Only a terminal can show the form (tests read it through renderForm).
  if (::isatty(STDOUT_FILENO) != 1) return;
  FormState* f = findForm(dialog);
  std::fputs("\x1b[H\x1b[2J", stdout);
  // Line by line with CR LF: the terminal may not translate newlines. A
  // box waiting for Enter stays in view below the form.
  const std::string box = platform::posix::waitingBox();
  const std::string screen = renderForm(dialog, f != nullptr ? f->focus : 0) + box;
  size_t start = 0;
  for (size_t end; (end = screen.find('\n', start)) != std::string::npos; start = end + 1) {
    std::fwrite(screen.data() + start, 1, end - start, stdout);
    std::fputs("\r\n", stdout);
  }
  std::fflush(stdout);
}

void open(platform::WindowHandle dialog) {
  auto f = std::make_unique<FormState>();
  f->dialog = dialog;
  if (const form::Layout* layout = platform::posix::dialogLayout(dialog)) {
    // The first field in tab order takes the focus, as the system places it.
    const auto stops = tabStops(*layout);
    if (!stops.empty()) f->focus = stops.front()->id;
  }
  // Keys one at a time and unechoed while the form is up.
  if (::isatty(STDIN_FILENO) == 1 && ::tcgetattr(STDIN_FILENO, &f->terminal) == 0) {
    termios raw = f->terminal;
    raw.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
    raw.c_cc[VMIN] = 1;
    raw.c_cc[VTIME] = 0;
    f->savedTerminal = ::tcsetattr(STDIN_FILENO, TCSANOW, &raw) == 0;
  }
  forms.push_back(std::move(f));
  platform::posix::pushInputHandler([dialog](unsigned char byte) { formInput(dialog, byte); });
}

void close(platform::WindowHandle dialog) {
  auto it = std::find_if(forms.begin(), forms.end(),
                         [dialog](const auto& f) { return f->dialog == dialog; });
  if (it == forms.end()) return;
  FormState& f = **it;
  if (f.escapeTimer != 0) platform::posix::cancelDelayed(f.escapeTimer);
  if (f.savedTerminal) ::tcsetattr(STDIN_FILENO, TCSANOW, &f.terminal);
  forms.erase(it);
  platform::posix::popInputHandler();
  if (::isatty(STDOUT_FILENO) == 1) {
    std::fputs("\x1b[H\x1b[2J", stdout);
    std::fflush(stdout);
  }
}

void moveFocus(FormState& f, int step) {
  const form::Layout* layout = platform::posix::dialogLayout(f.dialog);
  if (layout == nullptr) return;
  const auto stops = tabStops(*layout);
  if (stops.empty()) return;
  auto at = std::find_if(stops.begin(), stops.end(),
                         [&f](const form::Item* i) { return i->id == f.focus; });
  const int count = static_cast<int>(stops.size());
  const int index = at == stops.end() ? 0 : static_cast<int>(at - stops.begin());
  f.focus = stops[(index + step + count) % count]->id;
  draw(f.dialog);
}

int defaultButton(const form::Layout& layout) {
  for (size_t i = 0; i < layout.count; ++i)
    if (layout.items[i].kind == form::ControlKind::defaultButton) return layout.items[i].id;
  return 0;
}

void cancel(platform::WindowHandle dialog) {
  platform::posix::clickControl(dialog, form::CANCEL_ID);
}

}  // namespace

void installTerminalForm() {
  platform::posix::setBoxAcknowledged([] {
    if (!forms.empty()) draw(forms.back()->dialog);
  });
  platform::posix::setDialogPresenter({[](platform::WindowHandle dialog) {
                                         if (findForm(dialog) == nullptr) open(dialog);
                                         draw(dialog);
                                       },
                                       close});
}

std::string renderForm(platform::WindowHandle dialog, int focusId) {
  const form::Layout* layout = platform::posix::dialogLayout(dialog);
  if (layout == nullptr) return {};
  const int width = column(layout->width) + 2;
  const int height = row(layout->height) + 3;
  Canvas canvas(width, height);
  // The dialog's frame with its caption bar.
  canvas.frame(0, 0, width - 1, height - 1);
  canvas.put(2, 1, layout->caption);
  canvas.frame(0, 2, width - 1, height - 1);
  for (size_t i = 0; i < layout->count; ++i) {
    const form::Item& item = layout->items[i];
    drawItem(canvas, dialog, item, item.id == focusId && item.tabStop, 2);
  }
  return canvas.text() + " " + KEYS_HELP + "\n";
}

platform::WindowHandle openFormDialog() { return forms.empty() ? nullptr : forms.back()->dialog; }

int formFocus(platform::WindowHandle dialog) {
  const FormState* f = findForm(dialog);
  return f == nullptr ? 0 : f->focus;
}

void formInput(platform::WindowHandle dialog, unsigned char byte) {
  FormState* f = findForm(dialog);
  const form::Layout* layout = platform::posix::dialogLayout(dialog);
  if (f == nullptr || layout == nullptr) return;

  if (f->input == FormState::Escape) {
    platform::posix::cancelDelayed(f->escapeTimer);
    f->escapeTimer = 0;
    if (byte == '[' || byte == 'O') {
      f->input = FormState::Sequence;
      return;
    }
    // Esc and then another key: the Esc was meant alone.
    f->input = FormState::Plain;
    cancel(dialog);
    return;
  }
  if (f->input == FormState::Sequence) {
    if (byte < 0x40 || byte > 0x7E) return;  // parameters of the sequence
    f->input = FormState::Plain;
    switch (byte) {
      case 'A':  // up
      case 'D':  // left
      case 'Z':  // Shift-Tab
        moveFocus(*f, -1);
        break;
      case 'B':  // down
      case 'C':  // right
        moveFocus(*f, +1);
        break;
      default:
        break;
    }
    return;
  }

  const form::Item* focused = itemById(*layout, f->focus);
  const form::ControlKind kind = focused != nullptr ? focused->kind : form::ControlKind::label;
  const bool onButton =
      kind == form::ControlKind::button || kind == form::ControlKind::defaultButton;
  switch (byte) {
    case 0x1B:
      f->input = FormState::Escape;
      f->escapeTimer = platform::posix::runDelayed(ESCAPE_WAIT_MS, [dialog] {
        FormState* g = findForm(dialog);
        if (g == nullptr || g->input != FormState::Escape) return;
        g->input = FormState::Plain;
        g->escapeTimer = 0;
        cancel(dialog);
      });
      return;
    case '\t':
      moveFocus(*f, +1);
      return;
    case '\r':
    case '\n':
      platform::posix::clickControl(dialog, onButton ? f->focus : defaultButton(*layout));
      return;
    case 0x7F:
    case 0x08:
      if (kind == form::ControlKind::edit)
        platform::posix::eraseCharacter(platform::dialogItem(dialog, f->focus));
      return;
    case 0x0C:  // Ctrl-L
      draw(dialog);
      return;
    case ' ':
      if (onButton || kind == form::ControlKind::checkBox) {
        platform::posix::clickControl(dialog, f->focus);
        return;
      }
      break;
    default:
      break;
  }
  if (kind == form::ControlKind::edit)
    platform::posix::typeCharacter(platform::dialogItem(dialog, f->focus), static_cast<char>(byte));
}

}  // namespace host

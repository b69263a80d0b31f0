// The POSIX dialog manager and the player's terminal form on the real
// event loop: controls built from the form layout, the messages the
// procedure receives, the typing rules of the edits, keys turned into
// edits and clicks, timers firing while the dialog is open, and the
// settings dialog itself storing through the real store.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "base/settings.h"
#include "base/state.h"
#include "dialog/resources/resource.h"
#include "dialog/resources/settings_form.h"
#include "host/form.h"
#include "platform/posix/dialog.h"
#include "platform/posix/errors.h"
#include "platform/posix/store.h"
#include "platform/posix/system.h"
#include "plugin/plugin.h"

namespace {

using platform::WindowHandle;
namespace posix = platform::posix;

// What the test procedure received, and what it does with each message.
struct Procedure {
  std::vector<std::pair<unsigned, uintptr_t>> messages;
  std::function<intptr_t(WindowHandle, unsigned, uintptr_t)> answer;
};
Procedure* procedure = nullptr;

intptr_t testProcedure(WindowHandle dialog, unsigned message, uintptr_t wParam, intptr_t) {
  procedure->messages.emplace_back(message, wParam);
  return procedure->answer ? procedure->answer(dialog, message, wParam) : 0;
}

// Runs steps on the loop once the dialog is open, as a user would act.
// A guard ends a dialog that is still open after a few seconds with -2,
// so a fault fails the test instead of hanging it.
class Manager : public ::testing::Test {
 protected:
  void SetUp() override {
    procedure = &proc;
    posix::setDialogPresenter({[this](WindowHandle d) {
                                 ++draws;
                                 if (draws == 1) firstDraw(d);
                               },
                               [this](WindowHandle) { ++closes; }});
  }
  void TearDown() override {
    posix::setDialogPresenter({});
    procedure = nullptr;
  }
  void firstDraw(WindowHandle d) {
    const uint64_t guard = posix::runDelayed(5000, [d] { platform::endDialog(d, -2); });
    posix::runDelayed(0, [this, d, guard] {
      if (script) script(d);
      posix::cancelDelayed(guard);
    });
  }
  intptr_t run() {
    return platform::dialogBox(nullptr, IDD_SETTINGS, &form::SETTINGS_FORM, nullptr, testProcedure);
  }

  Procedure proc;
  std::function<void(WindowHandle)> script;
  int draws = 0;
  int closes = 0;
};

TEST_F(Manager, CannotBeCreated) {
  struct Case {
    const char* name;
    int templateId;
    bool presenter;
  } cases[] = {
      {"no presenter", IDD_SETTINGS, false},
      {"unknown template", 999, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    if (!c.presenter) posix::setDialogPresenter({});
    EXPECT_EQ(
        platform::dialogBox(nullptr, c.templateId, &form::SETTINGS_FORM, nullptr, testProcedure),
        -1);
    EXPECT_TRUE(proc.messages.empty());
    SetUp();
  }
}

TEST_F(Manager, BuildsTheControlsOfTheLayout) {
  proc.answer = [](WindowHandle d, unsigned message, uintptr_t) -> intptr_t {
    if (message != platform::INIT_DIALOG) return 0;
    const form::Layout& layout = form::SETTINGS_FORM;
    for (size_t i = 0; i < layout.count; ++i) {
      const form::Item& item = layout.items[i];
      if (item.id == form::NO_ID) continue;
      WindowHandle control = platform::dialogItem(d, item.id);
      EXPECT_NE(control, nullptr) << item.id;
      char text[64];
      platform::controlText(control, text, sizeof text);
      EXPECT_STREQ(text, item.kind == form::ControlKind::edit ? "" : item.text) << item.id;
      EXPECT_FALSE(platform::isDialogButtonChecked(d, item.id));
    }
    platform::setLastError(0);
    EXPECT_EQ(platform::dialogItem(d, 1003), nullptr);
    EXPECT_EQ(platform::lastError(), 1421u);
    EXPECT_EQ(posix::dialogLayout(d), &form::SETTINGS_FORM);
    EXPECT_FALSE(platform::endDialog(reinterpret_cast<WindowHandle>(0x10), 5));
    EXPECT_EQ(platform::lastError(), 1400u);
    platform::endDialog(d, 7);
    return 1;
  };
  EXPECT_EQ(run(), 7);
  ASSERT_EQ(proc.messages.size(), 1u);
  EXPECT_EQ(proc.messages[0].first, platform::INIT_DIALOG);
  EXPECT_EQ(draws, 0) << "a dialog ended while initialising is never shown";
  EXPECT_EQ(closes, 0);
}

TEST_F(Manager, EditsKeepTheirTypingRules) {
  const std::string long1030(1030, 'a');
  struct Case {
    const char* name;
    int id;
    uint32_t limit;  // 0: the default
    std::string preset;
    std::string typed;  // '\b' erases
    std::string expected;
  } cases[] = {
      {"URL up to its limit", IDC_URL, 1024, "", std::string(1030, 'u'), std::string(1024, 'u')},
      {"a text set by the program is kept whole", IDC_URL, 1024, long1030, "b", long1030},
      {"erased below the limit, typing works again", IDC_URL, 1024, long1030,
       std::string(7, '\b') + "bc", std::string(1023, 'a') + "b"},
      {"URL takes any printable", IDC_URL, 1024, "", "http://h:80/a b?x=1&y=~",
       "http://h:80/a b?x=1&y=~"},
      {"control characters refused", IDC_URL, 1024, "",
       "a\tb\x01"
       "c\x7f",
       "abc"},
      {"interval digits only", IDC_INTERVAL, 4, "", "1a2 -3.", "123"},
      {"interval at most 4", IDC_INTERVAL, 4, "", "123456", "1234"},
      {"long stored interval kept, shortened by erasing", IDC_INTERVAL, 4, "4294967295",
       "\b\b\b\b\b\b\b9", "4299"},
      {"erasing an empty edit", IDC_INTERVAL, 4, "", "\b\b1", "1"},
      {"default limit", IDC_URL, 0, std::string(32766, 'a'), "bc", std::string(32766, 'a') + "b"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    proc = {};
    draws = 0;
    proc.answer = [&c](WindowHandle d, unsigned message, uintptr_t) -> intptr_t {
      if (message != platform::INIT_DIALOG) return 0;
      if (c.limit != 0) platform::limitText(platform::dialogItem(d, c.id), c.limit);
      platform::setControlText(platform::dialogItem(d, c.id), c.preset.c_str());
      return 1;
    };
    std::string result;
    script = [&](WindowHandle d) {
      WindowHandle edit = platform::dialogItem(d, c.id);
      for (char ch : c.typed) {
        if (ch == '\b') {
          posix::eraseCharacter(edit);
        } else {
          posix::typeCharacter(edit, ch);
        }
      }
      result.resize(platform::controlTextLength(edit));
      platform::controlText(edit, result.data(), static_cast<uint32_t>(result.size() + 1));
      platform::endDialog(d, 0);
    };
    EXPECT_EQ(run(), 0);
    EXPECT_EQ(result, c.expected);
  }
}

TEST_F(Manager, ClicksToggleTheBoxAndSendCommands) {
  proc.answer = [](WindowHandle d, unsigned message, uintptr_t wParam) -> intptr_t {
    if (message == platform::COMMAND && wParam == IDOK) platform::endDialog(d, 42);
    return 0;
  };
  std::vector<bool> checks;
  script = [&](WindowHandle d) {
    EXPECT_TRUE(posix::clickControl(d, IDC_ENABLED));
    checks.push_back(platform::isDialogButtonChecked(d, IDC_ENABLED));
    EXPECT_TRUE(posix::clickControl(d, IDC_ENABLED));
    checks.push_back(platform::isDialogButtonChecked(d, IDC_ENABLED));
    EXPECT_FALSE(posix::clickControl(d, IDC_URL_LABEL));
    EXPECT_FALSE(posix::clickControl(d, 1003));
    EXPECT_TRUE(posix::clickControl(d, IDCANCEL));  // the procedure ignores it
    EXPECT_TRUE(posix::clickControl(d, IDOK));
  };
  EXPECT_EQ(run(), 42);
  EXPECT_EQ(checks, (std::vector<bool>{true, false}));
  // A check box click tells the dialog, as Windows' auto check boxes do.
  const std::vector<std::pair<unsigned, uintptr_t>> expected = {{platform::INIT_DIALOG, 0},
                                                                {platform::COMMAND, IDC_ENABLED},
                                                                {platform::COMMAND, IDC_ENABLED},
                                                                {platform::COMMAND, IDCANCEL},
                                                                {platform::COMMAND, IDOK}};
  EXPECT_EQ(proc.messages, expected);
  EXPECT_EQ(closes, 1);
  EXPECT_GE(draws, 3) << "drawn when shown and after every change";
}

TEST_F(Manager, TimersKeepFiringWhileOpen) {
  static int ticks;
  ticks = 0;
  WindowHandle host = posix::createWindow(nullptr);
  platform::setTimer(host, 1, 10, [](WindowHandle, unsigned, uintptr_t, uint32_t) { ++ticks; });
  script = [](WindowHandle d) {
    posix::runDelayed(200, [d] { posix::clickControl(d, IDCANCEL); });
  };
  proc.answer = [](WindowHandle d, unsigned message, uintptr_t wParam) -> intptr_t {
    if (message == platform::COMMAND && wParam == IDCANCEL) platform::endDialog(d, 3);
    return 0;
  };
  EXPECT_EQ(run(), 3);
  EXPECT_GE(ticks, 5);
  posix::destroyWindow(host);
}

// The terminal form over the real settings dialog, the real store and a
// host window on the loop.
class Form : public ::testing::Test {
 protected:
  void SetUp() override {
    folder =
        std::filesystem::temp_directory_path() / ("trellicast-form-" + std::to_string(::getpid()));
    std::filesystem::create_directories(folder);
    posix::setConfigPath((folder / "trellicast.conf").string());
    resetState();
    pluginRecord.hostWindow = posix::createWindow(nullptr);
    host::installTerminalForm();
    pluginInit();
  }
  void TearDown() override {
    pluginQuit();
    posix::destroyWindow(pluginRecord.hostWindow);
    posix::setDialogPresenter({});
    resetState();
    std::filesystem::remove_all(folder);
  }
  // Opens the dialog through the player's configure command and runs the
  // step once the form is on screen. A guard ends a dialog still open
  // after a few seconds, so a fault fails instead of hanging.
  void configure(const std::function<void(WindowHandle)>& step) {
    posix::runDelayed(0, [&step] {
      WindowHandle d = host::openFormDialog();
      ASSERT_NE(d, nullptr);
      step(d);
    });
    bool timedOut = false;
    const uint64_t guard = posix::runDelayed(5000, [&timedOut] {
      timedOut = true;
      if (WindowHandle d = host::openFormDialog()) platform::endDialog(d, -2);
    });
    pluginRecord.config();
    posix::cancelDelayed(guard);
    EXPECT_FALSE(timedOut) << "the keys did not close the form";
    EXPECT_EQ(host::openFormDialog(), nullptr);
  }
  // A setting as the config file holds it; "-" when absent.
  std::string stored(const char* name) {
    std::vector<std::pair<std::string, std::string>> settings;
    if (posix::storedSettings(&settings) != 0) return "!";
    for (const auto& [n, value] : settings)
      if (n == name) return value;
    return "-";
  }

  std::filesystem::path folder;
};

TEST_F(Form, ShowsTheLayoutWithTheFocusMarker) {
  std::string first, onUrl;
  int focus = 0;
  configure([&](WindowHandle d) {
    focus = host::formFocus(d);
    first = host::renderForm(d, focus);
    onUrl = host::renderForm(d, IDC_URL);
    platform::endDialog(d, 0);
  });
  EXPECT_EQ(focus, IDOK) << "the first field in tab order";
  for (const char* text :
       {"Trellicast", " Trellicast settings ", "URL:", "Send updates every:", "seconds",
        "[x] Enabled", "[x] Send text as UTF-8", "OK", "Cancel", "Esc: Cancel"}) {
    EXPECT_NE(first.find(text), std::string::npos) << text << "\n" << first;
  }
  EXPECT_NE(first.find("[10 "), std::string::npos) << first;
  const auto lineOf = [](const std::string& screen, const std::string& text) {
    const size_t at = screen.find(text);
    return at == std::string::npos ? -1 : std::count(screen.begin(), screen.begin() + at, '\n');
  };
  // One marker, on the focused field's row.
  EXPECT_EQ(std::count(first.begin(), first.end(), '>'), 1);
  EXPECT_EQ(lineOf(first, ">"), lineOf(first, "OK"));
  EXPECT_EQ(lineOf(onUrl, ">"), lineOf(onUrl, "URL:"));
  EXPECT_NE(onUrl.find(">[_"), std::string::npos) << "caret in the focused edit\n" << onUrl;
  for (size_t start = 0, end; (end = first.find('\n', start)) != std::string::npos; start = end + 1)
    EXPECT_LE(end - start, 80u) << "fits an 80-column terminal";
}

// The status line wraps between words; only a word longer than its row is cut.
TEST_F(Form, StatusLineWrapsBetweenWords) {
  const std::string failed =
      "Last update 12:01:09: failed: The server answered 401 Unauthorized (a long reason that "
      "needs a second row)";
  const std::string longWord(150, 'w');
  std::string words, cut;
  configure([&](WindowHandle d) {
    platform::setControlText(platform::dialogItem(d, IDC_STATUS), failed.c_str());
    words = host::renderForm(d, 0);
    platform::setControlText(platform::dialogItem(d, IDC_STATUS), longWord.c_str());
    cut = host::renderForm(d, 0);
    platform::endDialog(d, 0);
  });
  std::string shown;
  for (size_t start = 0, end; (end = words.find('\n', start)) != std::string::npos;
       start = end + 1) {
    const std::string line = words.substr(start, end - start);
    const size_t from = line.find_first_not_of("| ");
    if (from == std::string::npos) continue;
    const std::string inner = line.substr(from, line.find_last_not_of("| ") + 1 - from);
    if (failed.find(inner) != std::string::npos) shown += (shown.empty() ? "" : " ") + inner;
  }
  EXPECT_EQ(shown, failed) << "every row ends at a word's end\n" << words;
  EXPECT_NE(cut.find(std::string(40, 'w')), std::string::npos) << "cut, not dropped\n" << cut;
}

TEST_F(Form, KeysEditConfirmAndCancel) {
  struct Case {
    const char* name;
    std::string keys;
    std::string url;       // stored afterwards; "-": none
    std::string interval;  // "-": none
    std::string enabled;   // "-": none
    std::string utf8 = "-";
  } cases[] = {
      {"type both, untick, Enter off the buttons is OK", "\t\thttp://127.0.0.1:9/np\t\b\b3x7\t \r",
       "http://127.0.0.1:9/np", "37", "0", "1"},
      {"untick UTF-8", "\t\th\t\t\t \r", "h", "10", "1", "0"},
      {"Enter on Cancel stores nothing", "\t\thttp://x/\x1b[D\r", "-", "-", "-"},
      {"Esc and another key cancels", "\t\thttp://x/\x1bq", "-", "-", "-"},
      {"arrows move back and forth", "\x1b[B\x1b[Bhttp://a/\x1b[A\x1b[B\x1b[B9\x1b[Z\r",
       "http://a/", "109", "1"},
      {"empty URL keeps the form open", "\r\t\th\r", "h", "10", "1"},
      {"interval takes four digits", "\t\th\t\b\b123456\r", "h", "1234", "1"},
      {"space presses the focused button", "\t\tu\x1b[Z\x1b[Z ", "u", "10", "1"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TearDown();
    SetUp();
    configure([&c](WindowHandle d) {
      for (char key : c.keys) host::formInput(d, static_cast<unsigned char>(key));
    });
    EXPECT_EQ(stored("URL"), c.url);
    EXPECT_EQ(stored("Interval"), c.interval);
    EXPECT_EQ(stored("Enabled"), c.enabled);
    if (c.utf8 != "-") {
      EXPECT_EQ(stored("Utf8"), c.utf8);
    }
    uint32_t period = 0;
    EXPECT_TRUE(posix::timerPeriod(pluginRecord.hostWindow, UPDATE_TIMER_ID, &period));
    EXPECT_EQ(period, (c.interval == "-" ? 10u : std::stoul(c.interval)) * 1000u)
        << "the new interval is in force at once";
  }
}

TEST_F(Form, LoneEscCancelsAfterAMoment) {
  configure([](WindowHandle d) {
    host::formInput(d, '\t');
    host::formInput(d, '\t');
    host::formInput(d, 'x');
    host::formInput(d, 0x1B);
  });
  EXPECT_EQ(stored("URL"), "-");
}

}  // namespace

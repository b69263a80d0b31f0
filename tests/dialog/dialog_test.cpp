// The settings dialog's procedure against the recording double: what it
// shows, the order of OK's checks and the box each failure uses, what it
// stores, and what Cancel and a missing control do.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/settings.h"
#include "base/state.h"
#include "dialog/resources/resource.h"
#include "dialog/settings_dialog.h"
#include "platform/posix/errors.h"
#include "plugin/plugin.h"
#include "tests/support/fake_platform.h"

namespace {

platform::WindowHandle const HOST = reinterpret_cast<platform::WindowHandle>(0x1234);

std::string dword(uint32_t v) { return std::string(reinterpret_cast<const char*>(&v), 4); }

class Dialog : public ::testing::Test {
 protected:
  void SetUp() override {
    fake::freshPlugin(HOST);
    dialog = {};
    dialog.controls = {{IDOK, {}},        {IDCANCEL, {}},     {IDC_URL_LABEL, {"URL:"}},
                       {IDC_URL, {}},     {IDC_INTERVAL, {}}, {IDC_SECONDS_LABEL, {"seconds"}},
                       {IDC_ENABLED, {}}, {IDC_UTF8, {}}};
  }
  void TearDown() override {
    rawAllocate = std::malloc;
    resetState();
  }

  // Starts the plug-in over what the store holds now, then forgets what
  // start-up did, so a case sees only the dialog's own effects.
  void start() {
    pluginInit();
    fake::state().boxes.clear();
    fake::state().timerCalls.clear();
  }
  intptr_t init() { return settingsDialogProc(&dialog, platform::INIT_DIALOG, 0, 0); }
  // Starts the plug-in and opens the dialog, then types into its URL edit.
  void openWithUrl(const std::string& typed) {
    start();
    ASSERT_EQ(init(), 1);
    url().text = typed;
  }
  intptr_t command(uintptr_t wParam) {
    return settingsDialogProc(&dialog, platform::COMMAND, wParam, 0);
  }
  fake::Control& url() { return dialog.controls[IDC_URL]; }
  fake::Control& interval() { return dialog.controls[IDC_INTERVAL]; }
  fake::Control& enabled() { return dialog.controls[IDC_ENABLED]; }
  fake::Control& utf8() { return dialog.controls[IDC_UTF8]; }
  std::vector<fake::Box>& boxes() { return fake::state().boxes; }
  auto& store() { return fake::state().registry[SETTINGS_SUBKEY]; }

  fake::Dialog dialog;
};

TEST_F(Dialog, OpensWithTheStoredSettings) {
  const std::string url1024 = "http://h/" + std::string(1015, 'u');
  struct Case {
    const char* name;
    std::string url;       // "-": no value stored
    std::string enabled;   // "-": no value stored
    std::string interval;  // "-": no value stored
    std::string shownUrl;
    bool checked;
    std::string shownInterval;
    std::string utf8 = "-";  // "-": no value stored
    bool utf8Checked = true;
  } cases[] = {
      {"fresh store: defaults", "-", "-", "-", "", true, "10"},
      {"enabled 0", "http://a/np", dword(0), dword(7), "http://a/np", false, "7", dword(0), false},
      {"checked only for exactly 1", "http://a/np", dword(2), dword(0), "http://a/np", false, "0",
       dword(1), true},
      {"negative enabled", "http://a/np", dword(0xFFFFFFFF), dword(30), "http://a/np", false, "30",
       dword(2), true},
      {"1024 characters shown whole", url1024, dword(1), dword(9999), url1024, true, "9999"},
      {"5 digits shown whole", "x", dword(1), dword(12345), "x", true, "12345"},
      {"7 digits shown whole", "x", dword(1), dword(1234567), "x", true, "1234567"},
      {"10 digits shown unsigned", "x", dword(1), dword(0xFFFFFFFF), "x", true, "4294967295"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    SetUp();
    if (c.url != "-") fake::putValue("URL", platform::REG_TYPE_SZ, c.url);
    if (c.enabled != "-") fake::putValue("Enabled", platform::REG_TYPE_DWORD, c.enabled);
    if (c.interval != "-") fake::putValue("Interval", platform::REG_TYPE_DWORD, c.interval);
    if (c.utf8 != "-") fake::putValue("Utf8", platform::REG_TYPE_DWORD, c.utf8);
    start();
    // Whatever the controls held before is replaced.
    url().text = "junk";
    interval().text = "junk";
    enabled().checked = !c.checked;
    utf8().checked = !c.utf8Checked;

    EXPECT_EQ(init(), 1);
    EXPECT_EQ(url().text, c.shownUrl);
    EXPECT_EQ(url().limit, 1024u);
    EXPECT_EQ(enabled().checked, c.checked);
    EXPECT_EQ(utf8().checked, c.utf8Checked);
    EXPECT_EQ(interval().text, c.shownInterval);
    EXPECT_EQ(interval().limit, 4u);
    EXPECT_FALSE(dialog.ended);
    EXPECT_TRUE(boxes().empty());
    EXPECT_TRUE(fake::state().timerCalls.empty()) << "opening stores nothing";
    TearDown();
  }
}

TEST_F(Dialog, WithoutAUrlBufferOpensEmptyAndStillSaves) {
  // Start-up ran out of memory for the URL: the dialog must leave it alone.
  fake::putValue("URL", platform::REG_TYPE_SZ, "http://stored/");
  static int calls;
  calls = 0;
  rawAllocate = [](size_t size) -> void* { return ++calls == 2 ? nullptr : std::malloc(size); };
  pluginInit();
  rawAllocate = std::malloc;
  ASSERT_FALSE(urlSetting);
  boxes().clear();

  EXPECT_EQ(init(), 1);
  EXPECT_EQ(url().text, "");
  url().text = "http://new/";
  EXPECT_EQ(command(IDOK), 1);
  EXPECT_TRUE(dialog.ended);
  EXPECT_EQ(fake::value("URL")->bytes, "http://new/");
  EXPECT_FALSE(urlSetting);
}

TEST_F(Dialog, OkChecksUrlThenIntervalAndShowsEachFailureInItsBox) {
  const std::string url1024 = "http://h/" + std::string(1015, 'u');
  const std::string url1025 = url1024 + "v";
  struct Case {
    const char* name;
    std::string url;
    std::string interval;
    std::vector<fake::Box> boxes;  // empty: accepted
  } cases[] = {
      {"both empty: only the URL", "", "", {{"Error", "Url not entered: (errcode=87)"}}},
      {"empty URL, interval fine", "", "10", {{"Error", "Url not entered: (errcode=87)"}}},
      {"URL too big before the interval", url1025, "", {{"Lumtap", "Url too big"}}},
      {"interval empty", "http://a/", "", {{"Error", "Interval not entered: (errcode=87)"}}},
      {"8 digits", "http://a/", "12345678", {{"Lumtap", "Interval too big"}}},
      {"10 digits", "http://a/", "4294967295", {{"Lumtap", "Interval too big"}}},
      {"7 digits accepted", "http://a/", "1234567", {}},
      {"1024-character URL accepted", url1024, "5", {}},
      {"interval 0 accepted", "http://a/", "0", {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    SetUp();
    ASSERT_NO_FATAL_FAILURE(openWithUrl(c.url));
    interval().text = c.interval;
    errorShown = true;
    // reportError shows whatever code the thread holds at that moment.
    platform::setLastError(87);

    const bool accepted = c.boxes.empty();
    EXPECT_EQ(command(IDOK), accepted ? 1 : 0);
    EXPECT_EQ(boxes(), c.boxes);
    EXPECT_EQ(dialog.ended, accepted);
    EXPECT_EQ(errorShown, !accepted) << "cleared only by a successful OK";
    if (accepted) {
      EXPECT_EQ(dialog.result, 0);
      EXPECT_EQ(fake::value("URL")->bytes, c.url);
      EXPECT_EQ(fake::value("Interval")->bytes, dword(std::stoul(c.interval)));
    } else {
      // The user's input stays in place and nothing was stored.
      EXPECT_EQ(url().text, c.url);
      EXPECT_EQ(interval().text, c.interval);
      EXPECT_TRUE(store().empty());
      EXPECT_TRUE(fake::state().timerCalls.empty());
    }
    TearDown();
  }
}

TEST_F(Dialog, StoredIntervalRoundTripsOrMustBeShortened) {
  struct Case {
    uint32_t stored;
    bool tooBig;
  } cases[] = {
      {12345, false},   {123456, false},   {1234567, false},   {9999999, false},
      {12345678, true}, {123456789, true}, {1000000000, true}, {0xFFFFFFFF, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.stored);
    SetUp();
    fake::putValue("URL", platform::REG_TYPE_SZ, "http://a/");
    fake::putDword("Interval", c.stored);
    start();
    ASSERT_EQ(init(), 1);
    const std::string shown = std::to_string(c.stored);
    ASSERT_EQ(interval().text, shown);

    std::string expectedStored = shown;
    if (c.tooBig) {
      // Every OK fails while the text is longer than 7 characters.
      while (interval().text.size() > 7) {
        boxes().clear();
        EXPECT_EQ(command(IDOK), 0);
        EXPECT_EQ(boxes(), (std::vector<fake::Box>{{"Lumtap", "Interval too big"}}));
        EXPECT_FALSE(dialog.ended);
        EXPECT_EQ(fake::value("Interval")->bytes, dword(c.stored));
        interval().text.pop_back();
      }
      expectedStored = interval().text;
      boxes().clear();
    }
    EXPECT_EQ(command(IDOK), 1);
    EXPECT_TRUE(boxes().empty());
    EXPECT_TRUE(dialog.ended);
    EXPECT_EQ(fake::value("Interval")->bytes, dword(std::stoul(expectedStored)));
    EXPECT_EQ(intervalSetting, std::stoul(expectedStored));
    TearDown();
  }
}

TEST_F(Dialog, OkStoresTheCheckBoxesAsZeroOrOne) {
  struct Case {
    const char* name;
    int id;
    const char* value;
    std::string stored;  // "-": no value stored
    bool toggle;         // the user clicks the box once
    uint32_t saved;
  } cases[] = {
      {"Enabled 1", IDC_ENABLED, "Enabled", dword(1), false, 1},
      {"Enabled 0", IDC_ENABLED, "Enabled", dword(0), false, 0},
      {"Enabled 2", IDC_ENABLED, "Enabled", dword(2), false, 0},
      {"Enabled -1", IDC_ENABLED, "Enabled", dword(0xFFFFFFFF), false, 0},
      {"Enabled 2 ticked", IDC_ENABLED, "Enabled", dword(2), true, 1},
      {"Enabled 1 unticked", IDC_ENABLED, "Enabled", dword(1), true, 0},
      {"Utf8 absent", IDC_UTF8, "Utf8", "-", false, 1},
      {"Utf8 absent, unticked", IDC_UTF8, "Utf8", "-", true, 0},
      {"Utf8 0", IDC_UTF8, "Utf8", dword(0), false, 0},
      {"Utf8 0 ticked", IDC_UTF8, "Utf8", dword(0), true, 1},
      {"Utf8 7 reads as the default", IDC_UTF8, "Utf8", dword(7), false, 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    SetUp();
    fake::putValue("URL", platform::REG_TYPE_SZ, "http://a/");
    if (c.stored != "-") fake::putValue(c.value, platform::REG_TYPE_DWORD, c.stored);
    start();
    ASSERT_EQ(init(), 1);
    if (c.toggle) dialog.controls[c.id].checked = !dialog.controls[c.id].checked;
    EXPECT_EQ(command(IDOK), 1);
    ASSERT_NE(fake::value(c.value), nullptr);
    EXPECT_EQ(fake::value(c.value)->type, platform::REG_TYPE_DWORD);
    EXPECT_EQ(fake::value(c.value)->bytes, dword(c.saved));
    EXPECT_EQ(c.id == IDC_UTF8 ? int32_t{utf8Setting} : enabledSetting,
              static_cast<int32_t>(c.saved));
    TearDown();
  }
}

TEST_F(Dialog, OkStoresTheEditedTextsAndArmsTheNewIntervalAtOnce) {
  fake::putValue("URL", platform::REG_TYPE_SZ, "http://old.example/a/much/longer/path");
  fake::putDword("Interval", 30);
  ASSERT_NO_FATAL_FAILURE(openWithUrl("http://new/"));
  interval().text = "3";

  EXPECT_EQ(command(IDOK), 1);
  const auto& v = fake::value("URL");
  EXPECT_EQ(v->type, platform::REG_TYPE_SZ);
  EXPECT_EQ(v->bytes, "http://new/");
  EXPECT_STREQ(urlSetting.get(), "http://new/");
  EXPECT_EQ(fake::value("Interval")->type, platform::REG_TYPE_DWORD);
  EXPECT_EQ(intervalSetting, 3u);
  const auto& calls = fake::state().timerCalls;
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_FALSE(calls[0].set);
  EXPECT_TRUE(calls[1].set);
  EXPECT_EQ(calls[1].window, HOST);
  EXPECT_EQ(calls[1].id, UPDATE_TIMER_ID);
  EXPECT_EQ(calls[1].periodMs, 3000u);
  EXPECT_EQ(fake::state().openKeys, 0);
}

TEST_F(Dialog, OkClearsErrorShownEvenWhenStoringFails) {
  struct Case {
    const char* name;
    long createKeyError;
    std::map<std::string, long> setValueErrors;
    std::vector<fake::Box> boxes;
  } cases[] = {
      {"stored", 0, {}, {}},
      {"key cannot be opened", 5, {}, {{"Error", "Cannot open registry key: (errcode=5)"}}},
      {"every write fails",
       0,
       {{"URL", 5}, {"Enabled", 6}, {"Interval", 7}, {"Utf8", 8}},
       {{"Lumtap", "Error: 5"},
        {"Lumtap", "Error: 6"},
        {"Lumtap", "Error: 7"},
        {"Lumtap", "Error: 8"}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    SetUp();
    ASSERT_NO_FATAL_FAILURE(openWithUrl("http://a/"));
    fake::state().createKeyError = c.createKeyError;
    fake::state().setValueErrors = c.setValueErrors;
    errorShown = true;
    EXPECT_EQ(command(IDOK), 1);
    EXPECT_EQ(boxes(), c.boxes);
    EXPECT_FALSE(errorShown);
    EXPECT_TRUE(dialog.ended);
    EXPECT_EQ(dialog.result, 0);
    TearDown();
  }
}

TEST_F(Dialog, CancelStoresNothing) {
  fake::putValue("URL", platform::REG_TYPE_SZ, "http://old/");
  fake::putDword("Interval", 30);
  start();
  const auto before = store();
  ASSERT_EQ(init(), 1);
  url().text = "http://new/";
  interval().text = "5";
  enabled().checked = false;
  errorShown = true;

  EXPECT_EQ(command(IDCANCEL), 0);
  EXPECT_TRUE(dialog.ended);
  EXPECT_EQ(dialog.result, 0);
  EXPECT_EQ(store().size(), before.size());
  for (const auto& [name, value] : before) EXPECT_EQ(store()[name].bytes, value.bytes) << name;
  EXPECT_TRUE(fake::state().timerCalls.empty());
  EXPECT_TRUE(boxes().empty());
  EXPECT_STREQ(urlSetting.get(), "http://old/");
  EXPECT_EQ(intervalSetting, 30u);
  EXPECT_TRUE(errorShown) << "only OK clears it";
}

TEST_F(Dialog, CommandsAreTakenFromTheLowWord) {
  struct Case {
    const char* name;
    unsigned message;
    uintptr_t wParam;
    intptr_t result;
    bool ended;
  } cases[] = {
      {"OK from an accelerator", platform::COMMAND, (1u << 16) | IDOK, 1, true},
      {"Cancel", platform::COMMAND, IDCANCEL, 0, true},
      {"edit notification", platform::COMMAND, (0x300u << 16) | IDC_URL, 0, false},
      {"check box click", platform::COMMAND, IDC_ENABLED, 0, false},
      {"another message with OK's id", 0x0010, IDOK, 0, false},
      {"timer message", platform::TIMER_MESSAGE, IDOK, 0, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    SetUp();
    ASSERT_NO_FATAL_FAILURE(openWithUrl("http://a/"));
    EXPECT_EQ(settingsDialogProc(&dialog, c.message, c.wParam, 0), c.result);
    EXPECT_EQ(dialog.ended, c.ended);
    EXPECT_EQ(fake::value("URL") != nullptr, c.result == 1) << "only OK stores";
    EXPECT_TRUE(boxes().empty());
    TearDown();
  }
}

TEST_F(Dialog, MissingControlClosesTheDialogWithResultZero) {
  struct Case {
    const char* name;
    std::vector<int> missing;
    unsigned message;
    uintptr_t wParam;
  } cases[] = {
      {"no URL edit at opening", {IDC_URL}, platform::INIT_DIALOG, 0},
      {"no interval edit at opening", {IDC_INTERVAL}, platform::INIT_DIALOG, 0},
      {"neither at opening", {IDC_URL, IDC_INTERVAL}, platform::INIT_DIALOG, 0},
      {"no URL edit on OK", {IDC_URL}, platform::COMMAND, IDOK},
      {"no interval edit on OK", {IDC_INTERVAL}, platform::COMMAND, IDOK},
      {"no interval edit on Cancel", {IDC_INTERVAL}, platform::COMMAND, IDCANCEL},
      {"no URL edit on any other command", {IDC_URL}, platform::COMMAND, IDC_ENABLED},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    SetUp();
    fake::putValue("URL", platform::REG_TYPE_SZ, "http://old/");
    if (c.message == platform::COMMAND)
      ASSERT_NO_FATAL_FAILURE(openWithUrl("http://new/"));
    else
      start();
    for (int id : c.missing) dialog.controls.erase(id);
    platform::setLastError(1421);

    EXPECT_EQ(settingsDialogProc(&dialog, c.message, c.wParam, 0), 0);
    EXPECT_EQ(boxes(), (std::vector<fake::Box>{{"Error", "Cannot get handle!: (errcode=1421)"}}));
    EXPECT_TRUE(dialog.ended);
    EXPECT_EQ(dialog.result, 0);
    EXPECT_EQ(fake::value("URL")->bytes, "http://old/");
    EXPECT_TRUE(fake::state().timerCalls.empty());
    TearDown();
  }
}

TEST_F(Dialog, MissingCheckBoxIsNotLookedUp) {
  // Only the two edits are required; without the box, OK stores 0.
  dialog.controls.erase(IDC_ENABLED);
  ASSERT_NO_FATAL_FAILURE(openWithUrl("http://a/"));
  EXPECT_EQ(command(IDOK), 1);
  EXPECT_TRUE(boxes().empty());
  EXPECT_EQ(fake::value("Enabled")->bytes, dword(0));
}

TEST_F(Dialog, ConfigureOpensTheDialogOverTheHostWindow) {
  // The whole road through the double's dialog manager: the player's
  // configure command, the user's edits, a failed OK, then a good one.
  fake::putDword("Interval", 60);
  start();
  fake::state().dialogTemplate = dialog.controls;
  std::vector<intptr_t> answers;
  fake::state().dialogScript = [&](platform::WindowHandle d) {
    EXPECT_EQ(fake::control(d, IDC_INTERVAL)->text, "60");
    answers.push_back(fake::command(d, IDOK));  // URL still empty
    fake::control(d, IDC_URL)->text = "http://configured/";
    fake::control(d, IDC_INTERVAL)->text = "2";
    answers.push_back(fake::command(d, IDOK));
  };
  pluginRecord.config();
  EXPECT_EQ(fake::state().dialogBoxCalls, 1);
  EXPECT_EQ(answers, (std::vector<intptr_t>{0, 1}));
  EXPECT_EQ(fake::state().dialogResults, std::vector<intptr_t>{0});
  ASSERT_EQ(boxes().size(), 1u);
  EXPECT_EQ(boxes()[0].text.rfind("Url not entered", 0), 0u);
  EXPECT_EQ(fake::value("URL")->bytes, "http://configured/");
  EXPECT_EQ(intervalSetting, 2u);
  // The new period is what the next tick runs on.
  EXPECT_EQ((fake::state().timers[{HOST, UPDATE_TIMER_ID}].periodMs), 2000u);
}

}  // namespace

// The files for streamers and the cover: shown as stored, stored on OK as
// typed (an emptied template stands for the default), refused when too long
// or when the folder does not exist; "Browse…" puts the picked folder in the
// field.
TEST_F(Dialog, OutputFieldsAndCover) {
  // A folder that exists at the longest length: "/tmp" and "/." again and again.
  std::string longest = "/tmp";
  while (longest.size() < OUTPUT_TEXT_MAX_CHARS) longest += "/.";
  ASSERT_EQ(longest.size(), OUTPUT_TEXT_MAX_CHARS);
  struct Case {
    const char* name;
    std::string folder, pattern;  // typed
    bool sendCover;
    std::string notice;  // "": OK saves
    std::string storedFolder, storedPattern;
  } cases[] = {
      {"typed", "/tmp", "%title% by %artist%", true, "", "/tmp", "%title% by %artist%"},
      {"no folder: no files", "", "%title%", false, "", "", "%title%"},
      {"emptied template: the default", "/", "", false, "", "/", "%artist% - %title%"},
      {"longest folder", longest, "t", false, "", longest, "t"},
      {"folder too long", longest + "f", "t", false, "Output folder too big", "", ""},
      {"folder that does not exist", "/tmp/no-such-folder-for-trellicast", "t", false,
       "Output folder not found", "", ""},
      {"a file is no folder", "/etc/passwd", "t", false, "Output folder not found", "", ""},
      {"template too long", "/tmp", longest + "t", false, "Template too big", "", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    SetUp();
    for (int id : {IDC_OUTPUT_FOLDER, IDC_OUTPUT_TEMPLATE, IDC_SEND_COVER, IDC_BROWSE})
      dialog.controls[id] = {};
    openWithUrl("http://a/np");
    EXPECT_EQ(dialog.controls[IDC_OUTPUT_TEMPLATE].text, "%artist% - %title%");
    EXPECT_FALSE(dialog.controls[IDC_SEND_COVER].checked);
    dialog.controls[IDC_OUTPUT_FOLDER].text = c.folder;
    dialog.controls[IDC_OUTPUT_TEMPLATE].text = c.pattern;
    dialog.controls[IDC_SEND_COVER].checked = c.sendCover;
    command(IDOK);
    if (!c.notice.empty()) {
      ASSERT_EQ(boxes().size(), 1u);
      EXPECT_EQ(boxes()[0].text, c.notice);
      EXPECT_FALSE(dialog.ended);
      EXPECT_EQ(store().count("OutputFolder"), 0u);
      TearDown();
      continue;
    }
    EXPECT_TRUE(dialog.ended);
    EXPECT_EQ(outputSettings.folder, c.storedFolder);
    EXPECT_EQ(outputSettings.pattern, c.storedPattern);
    EXPECT_EQ(sendCoverSetting, c.sendCover);
    // Opened again, the dialog shows what was stored.
    dialog.ended = false;
    init();
    EXPECT_EQ(dialog.controls[IDC_OUTPUT_FOLDER].text, c.storedFolder);
    EXPECT_EQ(dialog.controls[IDC_SEND_COVER].checked, c.sendCover);
    TearDown();
  }
}

TEST_F(Dialog, BrowsePutsThePickedFolderInTheField) {
  struct Case {
    platform::FolderPick pick;
    std::string field, status;
  } cases[] = {
      {platform::FolderPick::chosen, "C:\\Stream", ""},
      {platform::FolderPick::cancelled, "/typed", ""},
      {platform::FolderPick::unavailable, "/typed", "Type the folder's path in the field"},
  };
  for (const auto& c : cases) {
    SetUp();
    dialog.controls[IDC_OUTPUT_FOLDER] = {};
    dialog.controls[IDC_STATUS] = {};
    openWithUrl("http://a/np");
    dialog.controls[IDC_OUTPUT_FOLDER].text = "/typed";
    dialog.controls[IDC_STATUS].text = "";
    fake::state().folderPick = c.pick;
    fake::state().pickedFolder = "C:\\Stream";
    command(IDC_BROWSE);
    EXPECT_EQ(fake::state().pickerStarts, std::vector<std::string>{"/typed"});
    EXPECT_EQ(dialog.controls[IDC_OUTPUT_FOLDER].text, c.field);
    EXPECT_EQ(dialog.controls[IDC_STATUS].text, c.status);
    EXPECT_FALSE(dialog.ended);
    TearDown();
  }
}

namespace {

// Discord's rows: shown as stored, stored on OK (the id without the spaces
// around it, "show" or "clear"), and the status line asking for an
// application id while "Show in Discord" is checked without one.
TEST_F(Dialog, DiscordRowsAndTheMissingApplicationId) {
  constexpr const char* HINT = "Discord needs an application id";
  struct Case {
    const char* name;
    std::string storedOn, storedId, storedPaused;  // "-": no value stored
    bool shownOn;
    std::string shownId;
    bool shownPaused;
    bool hintAtOpen;
    bool typeOn;  // what the user leaves checked and typed
    std::string typedId;
    bool typePaused;
    bool hintAfter;
    std::string savedId, savedPaused;
  } cases[] = {
      {"fresh store", "-", "-", "-", false, "", false, false, true, "", false, true, "", "clear"},
      {"on with an id", dword(1), "42", "show", true, "42", true, false, true, " 4242 ", true,
       false, "4242", "show"},
      {"on without an id", dword(1), "-", "clear", true, "", false, true, true, "7", false, false,
       "7", "clear"},
      {"turned off", dword(1), "-", "nonsense", true, "", false, true, false, "", false, false, "",
       "clear"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    SetUp();
    for (int id : {IDC_DISCORD, IDC_DISCORD_APP_ID, IDC_DISCORD_PAUSED, IDC_STATUS})
      dialog.controls[id] = {};
    fake::putValue("URL", platform::REG_TYPE_SZ, "http://a/");
    if (c.storedOn != "-") fake::putValue("Discord", platform::REG_TYPE_DWORD, c.storedOn);
    if (c.storedId != "-") fake::putValue("DiscordAppId", platform::REG_TYPE_SZ, c.storedId);
    if (c.storedPaused != "-")
      fake::putValue("DiscordPaused", platform::REG_TYPE_SZ, c.storedPaused);
    updateStatus[0] = '\0';
    start();
    ASSERT_EQ(init(), 1);
    EXPECT_EQ(dialog.controls[IDC_DISCORD].checked, c.shownOn);
    EXPECT_EQ(dialog.controls[IDC_DISCORD_APP_ID].text, c.shownId);
    EXPECT_EQ(dialog.controls[IDC_DISCORD_PAUSED].checked, c.shownPaused);
    EXPECT_EQ(dialog.controls[IDC_STATUS].text == HINT, c.hintAtOpen);
    // An outcome that arrives while the hint shows waits behind it.
    if (c.hintAtOpen && updateStatusListener != nullptr) {
      updateStatusListener("Sent");
      EXPECT_EQ(dialog.controls[IDC_STATUS].text, HINT);
    }
    dialog.controls[IDC_DISCORD].checked = c.typeOn;
    command(IDC_DISCORD);
    dialog.controls[IDC_DISCORD_APP_ID].text = c.typedId;
    command(IDC_DISCORD_APP_ID | (0x0300u << 16));  // EN_CHANGE
    dialog.controls[IDC_DISCORD_PAUSED].checked = c.typePaused;
    EXPECT_EQ(dialog.controls[IDC_STATUS].text == HINT, c.hintAfter);
    if (c.hintAtOpen && !c.hintAfter) {
      EXPECT_EQ(dialog.controls[IDC_STATUS].text, "");
    }
    EXPECT_EQ(command(IDOK), 1);
    EXPECT_EQ(fake::value("Discord")->bytes, dword(c.typeOn ? 1 : 0));
    EXPECT_EQ(fake::value("DiscordAppId")->bytes, c.savedId);
    EXPECT_EQ(fake::value("DiscordPaused")->bytes, c.savedPaused);
    EXPECT_EQ(discordSettings.on, c.typeOn);
    EXPECT_EQ(discordSettings.appId, c.savedId);
    EXPECT_EQ(discordSettings.paused, c.savedPaused);
    TearDown();
  }
}

}  // namespace

// The listening history's rows: "Test" hands the URL and token as typed to
// the hook (nothing without both), and OK stores them.
std::string testedUrl, testedToken;
int tests = 0;
void recordTest(const char* url, const char* token) {
  testedUrl = url;
  testedToken = token;
  ++tests;
}

TEST_F(Dialog, ListenRowsTestAndStore) {
  struct Case {
    const char* name;
    std::string url, token;
    std::string status;  // after Test
    bool tested;
  } cases[] = {
      {"both typed", "https://lb.example/apis/listenbrainz", "t0k3n", "Testing the token...", true},
      {"no token", "https://lb.example", "", "Not tested: no token entered", false},
      {"no URL", "", "t0k3n", "Not tested: no listen URL entered", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    SetUp();
    tests = 0;
    for (int id : {IDC_LISTEN_URL, IDC_LISTEN_TOKEN, IDC_LISTEN_TEST, IDC_STATUS})
      dialog.controls[id] = {};
    openWithUrl("http://a/np");
    listenTestHook = recordTest;
    dialog.controls[IDC_LISTEN_URL].text = c.url;
    dialog.controls[IDC_LISTEN_TOKEN].text = c.token;
    command(IDC_LISTEN_TEST);
    EXPECT_EQ(dialog.controls[IDC_STATUS].text, c.status);
    EXPECT_EQ(tests, c.tested ? 1 : 0);
    if (c.tested) {
      EXPECT_EQ(testedUrl, c.url);
      EXPECT_EQ(testedToken, c.token);
    }
    command(IDOK);
    EXPECT_TRUE(dialog.ended);
    EXPECT_EQ(listenSettings.url, c.url);
    EXPECT_EQ(listenSettings.token, c.token);
    dialog.ended = false;
    init();
    EXPECT_EQ(dialog.controls[IDC_LISTEN_TOKEN].text, c.token);
    TearDown();
  }
}

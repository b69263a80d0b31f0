// The plug-in shell against the recording double: record, lifecycle,
// boxes, allocation, escaping and the settings store's read-back rules.
#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "base/boxes.h"
#include "base/buffer.h"
#include "base/settings.h"
#include "base/state.h"
#include "platform/posix/errors.h"
#include "plugin/plugin.h"
#include "report/update.h"
#include "tests/support/fake_platform.h"
#include "trellicast/version.h"

namespace {

platform::WindowHandle const HOST = reinterpret_cast<platform::WindowHandle>(0x1234);

class Shell : public ::testing::Test {
 protected:
  void SetUp() override { fake::freshPlugin(HOST); }
  void TearDown() override {
    rawAllocate = std::malloc;
    resetState();
  }
};

TEST_F(Shell, RecordBeforeInitHasVersionAndEmptyDescription) {
  PluginRecord* record = winampGetGeneralPurposePlugin();
  ASSERT_EQ(record, &pluginRecord);
  EXPECT_EQ(record->version, 16);
  EXPECT_STREQ(record->description, "");
  EXPECT_EQ(record->init, &pluginInit);
  EXPECT_EQ(record->config, &pluginConfig);
  EXPECT_EQ(record->quit, &pluginQuit);
}

TEST_F(Shell, DescriptionNamesTheModuleFile) {
  const std::string longName(600, 'x');
  const std::string LEAD = TRELLICAST_PRODUCT " Plug-In v0.1 (";
  struct Case {
    std::string path;
    std::string description;
  } cases[] = {
      {"/opt/player/Plugins/gen_Trellicast.so", LEAD + "gen_Trellicast.so)"},
      {"gen_Trellicast.so", LEAD + "gen_Trellicast.so)"},
      {"/trailing/", LEAD + ")"},
      {"", LEAD + ")"},
      // Over-long: the path buffer keeps 511 bytes, the text is cut at 511.
      {"/" + longName, (LEAD + longName).substr(0, 511)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    fake::freshPlugin(HOST);
    fake::state().moduleFileName = c.path;
    EXPECT_EQ(pluginInit(), 0);
    EXPECT_EQ(pluginRecord.description, descriptionText);
    EXPECT_EQ(std::string(descriptionText), c.description);
    pluginQuit();
  }
}

TEST_F(Shell, FreshStoreCreatesKeyAppliesDefaultsAndArmsTenSeconds) {
  EXPECT_EQ(pluginInit(), 0);
  EXPECT_TRUE(fake::state().registry.count("Software\\Winamp\\Trellicast"));
  EXPECT_TRUE(fake::state().registry["Software\\Winamp\\Trellicast"].empty())
      << "defaults are never written back";
  EXPECT_STREQ(urlSetting.get(), "");
  EXPECT_EQ(enabledSetting, 1);
  EXPECT_EQ(intervalSetting, 10u);
  EXPECT_EQ(fake::armedPeriod(), 10000);
  EXPECT_TRUE(fake::state().boxes.empty());
  // A tick with an empty URL sends nothing and asks the host nothing.
  EXPECT_TRUE(fake::fireTimer(HOST, UPDATE_TIMER_ID));
  EXPECT_TRUE(fake::state().hostMessages.empty());
}

TEST_F(Shell, UrlReadBackRules) {
  const std::string url1024 = "http://h/" + std::string(1015, 'a');
  const std::string url1025 = url1024 + "b";
  struct Case {
    const char* name;
    std::string stored;  // raw bytes; empty = no value
    std::string expected;
  } cases[] = {
      {"no terminator", "http://a/np", "http://a/np"},
      {"with terminator", std::string("http://a/np\0", 12), "http://a/np"},
      {"exactly 1024 chars", url1024, url1024},
      {"1024 chars and terminator", url1024 + std::string(1, '\0'), url1024},
      {"1025 chars: no room for the terminator", url1025, ""},
      {"longer than the buffer", url1025 + "cc", ""},
      {"absent", "", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    fake::freshPlugin(HOST);
    // A longer URL held before must not leave its tail behind.
    fake::putValue("URL", platform::REG_TYPE_SZ, "http://previous.example/a/much/longer/path");
    pluginInit();
    if (c.stored.empty()) {
      fake::state().registry["Software\\Winamp\\Trellicast"].erase("URL");
    } else {
      fake::putValue("URL", platform::REG_TYPE_SZ, c.stored);
    }
    loadSettings();
    EXPECT_EQ(std::string(urlSetting.get()), c.expected);
    pluginQuit();
  }
}

TEST_F(Shell, DwordReadBackRules) {
  struct Case {
    const char* name;
    std::string enabledBytes;   // "-" = absent
    std::string intervalBytes;  // "-" = absent
    int32_t enabled;
    uint32_t interval;
  } cases[] = {
      {"absent", "-", "-", 1, 10},
      {"enabled 2 counts as stored", std::string("\x02\0\0\0", 4), std::string("\x05\0\0\0", 4), 2,
       5},
      {"zero", std::string(4, '\0'), std::string(4, '\0'), 0, 0},
      // Shorter data replaces only the bytes it holds: previous 0x11111111.
      {"short data", std::string("\x00", 1), std::string("\x22\x22", 2), 0x11111100, 0x11112222},
      {"longer data is unreadable", std::string(8, '\x01'), std::string(5, '\x01'), 1, 10},
      {"type not checked", "abcd", "\xff\xff\xff\xff", 0x64636261, 0xFFFFFFFF},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    fake::reset();
    pluginRecord.hostWindow = HOST;
    enabledSetting = 0x11111111;
    intervalSetting = 0x11111111;
    if (c.enabledBytes != "-") fake::putValue("Enabled", platform::REG_TYPE_SZ, c.enabledBytes);
    if (c.intervalBytes != "-") fake::putValue("Interval", platform::REG_TYPE_SZ, c.intervalBytes);
    urlSetting = allocZeroed(URL_MAX_CHARS + 1);
    bodyBuffer = allocZeroed(BODY_BUFFER_SIZE);
    loadSettings();
    EXPECT_EQ(enabledSetting, c.enabled);
    EXPECT_EQ(intervalSetting, c.interval);
  }
}

TEST_F(Shell, Utf8IsZeroOrElseTheDefault) {
  const auto bytes = [](uint32_t v) { return std::string(reinterpret_cast<const char*>(&v), 4); };
  struct Case {
    const char* name;
    uint32_t type;  // 0: absent
    std::string data;
    bool utf8;
  } cases[] = {
      {"absent", 0, "", true},
      {"1", platform::REG_TYPE_DWORD, bytes(1), true},
      {"0", platform::REG_TYPE_DWORD, bytes(0), false},
      {"2", platform::REG_TYPE_DWORD, bytes(2), true},
      {"-1", platform::REG_TYPE_DWORD, bytes(0xFFFFFFFF), true},
      {"zero bytes as REG_BINARY", 3, bytes(0), true},
      {"\"0\" as REG_SZ", platform::REG_TYPE_SZ, std::string("0\0", 2), true},
      {"zero bytes as REG_SZ", platform::REG_TYPE_SZ, bytes(0), true},
      {"a short DWORD", platform::REG_TYPE_DWORD, std::string(2, '\0'), true},
      {"a long DWORD", platform::REG_TYPE_DWORD, std::string(8, '\0'), true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    fake::freshPlugin(HOST);
    fake::putDword("Utf8", 0);
    pluginInit();
    ASSERT_FALSE(utf8Setting);
    // Read again over the previous value, as a confirmed dialog does.
    fake::state().registry[SETTINGS_SUBKEY].erase("Utf8");
    if (c.type != 0) fake::putValue("Utf8", c.type, c.data);
    loadSettings();
    EXPECT_EQ(utf8Setting, c.utf8);
    pluginQuit();
  }
}

TEST_F(Shell, TimerPeriodNeverWraps) {
  struct Case {
    uint32_t interval;
    int64_t period;
  } cases[] = {
      {0, 0},                    // raised to the platform minimum by the timer
      {1, 1000},                 //
      {9999, 9999000},           //
      {2147483, 2147483000},     // largest that fits
      {2147484, 0x7FFFFFFF},     // would pass the largest period
      {4294968, 0x7FFFFFFF},     // a 32-bit product would wrap to 704
      {0xFFFFFFFF, 0x7FFFFFFF},  //
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.interval);
    fake::reset();
    hostWindow = HOST;
    settingsLoadedHook = armUpdateTimer;  // as pluginInit wires it
    fake::putDword("Interval", c.interval);
    urlSetting = allocZeroed(URL_MAX_CHARS + 1);
    bodyBuffer = allocZeroed(BODY_BUFFER_SIZE);
    loadSettings();
    EXPECT_EQ(fake::armedPeriod(), c.period);
    // Stopped before it is armed again.
    const auto& calls = fake::state().timerCalls;
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_FALSE(calls[0].set);
    EXPECT_TRUE(calls[1].set);
    EXPECT_EQ(calls[1].window, HOST);
  }
}

TEST_F(Shell, SaveWritesRawValuesAndReloads) {
  pluginInit();
  fake::state().timerCalls.clear();
  saveSettings("http://a.example/np", 0, 7);
  const fake::Value* url = fake::value("URL");
  ASSERT_NE(url, nullptr);
  EXPECT_EQ(url->type, platform::REG_TYPE_SZ);
  EXPECT_EQ(url->bytes, "http://a.example/np") << "written without terminator";
  EXPECT_EQ(fake::value("Enabled")->bytes, std::string(4, '\0'));
  EXPECT_EQ(fake::value("Enabled")->type, platform::REG_TYPE_DWORD);
  EXPECT_EQ(fake::value("Interval")->bytes, std::string("\x07\0\0\0", 4));
  EXPECT_EQ(fake::value("Utf8"), nullptr) << "left alone unless given";
  saveSettings("http://a.example/np", 0, 7, {.utf8 = false});
  EXPECT_EQ(fake::value("Utf8")->type, platform::REG_TYPE_DWORD);
  EXPECT_EQ(fake::value("Utf8")->bytes, std::string(4, '\0'));
  EXPECT_FALSE(utf8Setting);
  EXPECT_STREQ(urlSetting.get(), "http://a.example/np");
  EXPECT_EQ(enabledSetting, 0);
  EXPECT_EQ(intervalSetting, 7u);
  EXPECT_EQ(fake::armedPeriod(), 7000);
}

TEST_F(Shell, FailedWritesShowOneNoticeForEachCodeAndAllAreAttempted) {
  struct Case {
    const char* name;
    std::map<std::string, long> errors;
    std::vector<fake::Box> boxes;
  } cases[] = {
      {"two codes",
       {{"URL", 5}, {"Interval", 1234}},
       {{"Lumtap", "Error: 5"}, {"Lumtap", "Error: 1234"}}},
      {"one code for both", {{"URL", 13}, {"Interval", 13}}, {{"Lumtap", "Error: 13"}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    fake::freshPlugin(HOST);
    fake::putValue("URL", platform::REG_TYPE_SZ, "http://old/");
    fake::putDword("Interval", 30);
    pluginInit();
    fake::state().setValueErrors = c.errors;
    saveSettings("http://new/", 0, 7);
    EXPECT_EQ(fake::state().boxes, c.boxes);
    // The write that worked is in force; the failed ones keep what was stored.
    EXPECT_EQ(enabledSetting, 0);
    EXPECT_STREQ(urlSetting.get(), "http://old/");
    EXPECT_EQ(intervalSetting, 30u);
    pluginQuit();
  }
}

TEST_F(Shell, KeyThatCannotBeOpened) {
  fake::state().createKeyError = 5;
  EXPECT_EQ(pluginInit(), 0);
  const std::vector<fake::Box> expected = {{"Error", "Cannot open registry key: (errcode=5)"}};
  EXPECT_EQ(fake::state().boxes, expected);
  EXPECT_TRUE(fake::state().timerCalls.empty()) << "timer not armed at start-up";
  EXPECT_EQ(enabledSetting, 1);
  EXPECT_EQ(intervalSetting, 10u);

  // Saving: nothing written, nothing reloaded, previous settings in force.
  fake::state().boxes.clear();
  saveSettings("http://x/", 0, 1);
  EXPECT_EQ(fake::state().boxes.size(), 1u);
  EXPECT_TRUE(fake::state().timerCalls.empty());
  fake::state().createKeyError = 0;
  EXPECT_EQ(fake::value("URL"), nullptr);
}

TEST_F(Shell, ReportErrorShowsTheLastErrorCode) {
  struct Case {
    uint32_t code;
    const char* message;
    const char* text;
  } cases[] = {
      {0, "Invalid URL", "Invalid URL: (errcode=0)"},
      {12029, "Cannot HttpSendRequestEx", "Cannot HttpSendRequestEx: (errcode=12029)"},
      {0xFFFFFFFF, "x", "x: (errcode=4294967295)"},
  };
  for (const auto& c : cases) {
    fake::reset();
    platform::setLastError(c.code);
    reportError(c.message);
    EXPECT_EQ(fake::state().boxes, (std::vector<fake::Box>{{"Error", c.text}}));
  }
  fake::reset();
  EXPECT_EQ(showNotice("Url too big"), 0);
  EXPECT_EQ(fake::state().boxes, (std::vector<fake::Box>{{"Lumtap", "Url too big"}}));
}

TEST_F(Shell, AllocZeroedIsZeroedOrReportsOutOfMemory) {
  // Dirty the heap so a buffer that is not cleared would show it.
  for (size_t size = 1; size <= 67; ++size) {
    void* p = std::malloc(size);
    std::memset(p, 0xAB, size);
    std::free(p);
    Buffer b = allocZeroed(size);
    ASSERT_TRUE(b);
    for (size_t i = 0; i < size; ++i) ASSERT_EQ(b[i], 0) << size << " " << i;
  }
  rawAllocate = [](size_t) -> void* { return nullptr; };
  platform::setLastError(8);
  EXPECT_FALSE(allocZeroed(16));
  EXPECT_EQ(fake::state().boxes, (std::vector<fake::Box>{{"Error", "Out of memory: (errcode=8)"}}));
}

TEST_F(Shell, EscapeValue) {
  struct Case {
    std::string in;
    std::string out;
  } cases[] = {
      {"", ""},
      {"Abc", "Abc"},
      {"Rock & Roll", "Rock%20%26%20Roll"},
      {"&=+%#", "%26%3D%2B%25%23"},
      {"C++ 100%", "C%2B%2B%20100%25"},
      {"a-b.c_d~e", "a-b.c_d~e"},
      {"/?:@[]", "%2F%3F%3A%40%5B%5D"},
      {"\x01\x7f\x80\xff", "%01%7F%80%FF"},
      {"Zo\xc3\xab", "Zo%C3%AB"},
  };
  for (const auto& c : cases) {
    Buffer e = escapeValue(c.in.c_str());
    ASSERT_TRUE(e);
    EXPECT_EQ(std::string(e.get()), c.out);
  }
  // Every byte value but the terminator: the worst case fills 3n exactly.
  std::string all;
  for (int b = 1; b < 256; ++b) all += static_cast<char>(b);
  Buffer e = escapeValue(all.c_str());
  EXPECT_EQ(std::strlen(e.get()), 3u * 255 - 2u * 66u);  // 66 unreserved bytes
  rawAllocate = [](size_t) -> void* { return nullptr; };
  EXPECT_FALSE(escapeValue("x"));
}

TEST_F(Shell, OutOfMemoryAtInitLeavesTheTimerUnarmed) {
  static int calls;
  for (int failAt : {1, 2}) {
    SCOPED_TRACE(failAt);
    fake::freshPlugin(HOST);
    calls = 0;
    static int limit;
    limit = failAt;
    rawAllocate = [](size_t size) -> void* {
      return ++calls == limit ? nullptr : std::malloc(size);
    };
    EXPECT_EQ(pluginInit(), 0);
    rawAllocate = std::malloc;
    EXPECT_EQ(fake::state().boxes.size(), 1u);
    EXPECT_EQ(fake::state().boxes[0].text.rfind("Out of memory", 0), 0u);
    EXPECT_TRUE(fake::state().timerCalls.empty());
    EXPECT_FALSE(urlSetting);
    // A later confirmed dialog reaches loadSettings: still no timer, no crash.
    saveSettings("http://x/", 1, 1);
    for (const auto& call : fake::state().timerCalls) EXPECT_FALSE(call.set);
    pluginQuit();
  }
}

TEST_F(Shell, QuitStopsTheTimerBeforeReleasing) {
  fake::putValue("URL", platform::REG_TYPE_SZ, "http://127.0.0.1:9/np");
  pluginInit();
  ASSERT_TRUE(fake::state().timers.count({HOST, UPDATE_TIMER_ID}));
  pluginQuit();
  EXPECT_FALSE(bodyBuffer);
  EXPECT_FALSE(urlSetting);
  EXPECT_FALSE(fake::fireTimer(HOST, UPDATE_TIMER_ID)) << "no tick after quit";
}

}  // namespace

// The real POSIX config file in a temporary folder, driven through the
// plug-in core (with the recording double for boxes and timers).
#include "platform/posix/store.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "base/settings.h"
#include "base/state.h"
#include "platform/posix/system.h"
#include "plugin/plugin.h"
#include "tests/support/fake_platform.h"
#include "tests/support/id3_writer.h"

namespace fs = std::filesystem;

namespace {

platform::WindowHandle const HOST = reinterpret_cast<platform::WindowHandle>(0x1234);

std::string readFile(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

void writeFile(const fs::path& p, const std::string& bytes) {
  std::ofstream(p, std::ios::binary | std::ios::trunc) << bytes;
}

unsigned modeOf(const fs::path& p) {
  struct stat st {};
  return ::stat(p.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}

class Store : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(root.empty());
    platform::posix::setConfigPath(file.string());
    fake::freshPlugin(HOST);
  }
  void TearDown() override {
    resetState();
    platform::posix::setConfigPath("");
  }
  id3w::TempDir temp;
  const fs::path root = temp.root();
  const fs::path file = root / "conf" / "trellicast.conf";
};

TEST_F(Store, ReadBackRules) {
  const std::string long1024(1024, 'u');
  struct Case {
    const char* name;
    std::string text;
    std::string url;
    int32_t enabled;
    uint32_t interval;
    bool utf8;
  } cases[] = {
      {"no file", "", "", 1, 10, true},
      {"plain", "URL=http://a/np\nEnabled=0\nInterval=5\nUtf8=0\n", "http://a/np", 0, 5, false},
      {"blanks, case, comments and the last line",
       "# URL=http://comment/\n  url = http://first/ \nINTERVAL\t=\t7\nURL=http://last/\n"
       "junk without equals\n",
       "http://last/", 1, 7, true},
      {"quoted, with escapes", "URL=\" a\\\"b\\\\c\\r\\n\tA \"\n", " a\"b\\c\r\n\tA ", 1, 10, true},
      {"numbers that are not whole numbers", "Enabled=on\nInterval=-1\nUtf8=1.0\n", "", 1, 10,
       true},
      {"Utf8 other than 0 or 1", "Utf8=2\n", "", 1, 10, true},
      {"a URL of 1024 characters", "URL=" + long1024 + "\n", long1024, 1, 10, true},
      {"a URL of 1025 characters has no room", "URL=" + long1024 + "x\n", "", 1, 10, true},
      {"no newline at the end", "Interval=3", "", 1, 3, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(file.parent_path());
    if (!c.text.empty()) {
      fs::create_directories(file.parent_path());
      writeFile(file, c.text);
    }
    fake::freshPlugin(HOST);
    pluginInit();
    EXPECT_EQ(std::string(urlSetting.get()), c.url);
    EXPECT_EQ(enabledSetting, c.enabled);
    EXPECT_EQ(intervalSetting, c.interval);
    EXPECT_EQ(utf8Setting, c.utf8);
    EXPECT_EQ(fake::armedPeriod(), c.interval * 1000);
    EXPECT_TRUE(fake::state().boxes.empty());
    pluginQuit();
  }
}

TEST_F(Store, SavingKeepsOtherLinesAndRoundTripsAnyText) {
  pluginInit();
  saveSettings("http://a/np", 0, 7);
  EXPECT_EQ(readFile(file), "URL=http://a/np\nEnabled=0\nInterval=7\n");
  EXPECT_EQ(modeOf(file), 0600u);
  EXPECT_EQ(modeOf(file.parent_path()), 0700u);

  writeFile(file, "# mine\nurl = http://old/\nOther=kept\n\nURL=http://older/\nInterval=9\n");
  const std::string odd = " http://h/a b\r\nX: \"1\" \\ \t";
  saveSettings(odd.c_str(), 1, 30, {.utf8 = false});
  EXPECT_EQ(readFile(file),
            "# mine\nURL=\" http://h/a b\\r\\nX: \\\"1\\\" \\\\ \t\"\nOther=kept\n\nInterval=30\n"
            "Enabled=1\nUtf8=0\n");
  EXPECT_EQ(std::string(urlSetting.get()), odd);
  EXPECT_EQ(intervalSetting, 30u);
  EXPECT_FALSE(utf8Setting);
  EXPECT_TRUE(fake::state().boxes.empty());
  EXPECT_FALSE(fs::exists(file.string() + ".tmp"));

  EXPECT_EQ(platform::posix::changeSetting("interval", std::nullopt), 0);
  EXPECT_EQ(platform::posix::changeSetting("Interval", "x"), EINVAL);
  EXPECT_EQ(platform::posix::changeSetting("Colour", "red"), EINVAL);
  EXPECT_EQ(readFile(file),
            "# mine\nURL=\" http://h/a b\\r\\nX: \\\"1\\\" \\\\ \t\"\nOther=kept\n\n"
            "Enabled=1\nUtf8=0\n");
}

TEST_F(Store, AStoreThatCannotBeOpened) {
  struct Case {
    const char* name;
    bool fileIsFolder;  // else the config folder's place is taken by a file
    const char* loadBox;
  } cases[] = {
      {"the file is a folder", true, "Cannot open registry key: (errcode=21)"},
      {"the folder is a file", false, "Cannot open registry key: (errcode=20)"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(file.parent_path());
    if (c.fileIsFolder) {
      fs::create_directories(file);
    } else {
      writeFile(file.parent_path(), "");
    }
    fake::freshPlugin(HOST);
    pluginInit();
    // Not a file: a folder on the way fails the read (ENOTDIR) as well.
    EXPECT_EQ(fake::state().boxes, (std::vector<fake::Box>{{"Error", c.loadBox}}));
    EXPECT_TRUE(fake::state().timerCalls.empty()) << "not armed";
    fake::state().boxes.clear();
    saveSettings("http://x/", 1, 5);
    EXPECT_EQ(fake::state().boxes.size(), 1u);
    EXPECT_TRUE(fake::state().timerCalls.empty()) << "nothing reloaded";
    pluginQuit();
    fs::remove_all(file.parent_path());
  }
}

TEST_F(Store, AFailedSaveIsOneBox) {
  // The temporary file's place is taken, so the rewrite fails as a whole.
  fs::create_directories(file.string() + ".tmp");
  pluginInit();
  fake::state().boxes.clear();
  saveSettings("http://x/", 1, 5,
               {.utf8 = false, .outputFolder = "", .outputTemplate = "%title%", .sendCover = true});
  EXPECT_EQ(fake::state().boxes,
            (std::vector<fake::Box>{{"Lumtap", "Error: " + std::to_string(EEXIST)}}));
  EXPECT_EQ(intervalSetting, 10u) << "nothing written";
}

TEST_F(Store, ATemporaryFileLeftByAKilledWriterGoes) {
  fs::create_directories(file.parent_path());
  writeFile(file, "Interval=4\n");
  writeFile(file.string() + ".tmp", "Interval=5\n");
  pluginInit();
  EXPECT_EQ(intervalSetting, 4u) << "the old file, whole";
  EXPECT_FALSE(fs::exists(file.string() + ".tmp"));
}

TEST_F(Store, OldRegistryFileIsCarriedOverOnce) {
  platform::posix::setConfigPath("");
  const fs::path config = root / "xdg";
  ::setenv("XDG_CONFIG_HOME", config.c_str(), 1);
  fs::create_directories(config / "trellicast");
  const std::string old =
      "trellicast-registry 1\nkey Software\nkey Software\\Winamp\nkey "
      "Software\\Winamp\\Trellicast\n"
      "value URL 1 http://127.0.0.1:8000/np?a=1%26b=%2520\nvalue Interval 4 %05%00%00%00\n"
      "value utf8 4 %00%00%00%00\nvalue Enabled 1 1\nvalue Other 1 x\nend\n";
  writeFile(config / "trellicast" / "registry", old);
  testing::internal::CaptureStderr();
  pluginInit();
  const std::string said = testing::internal::GetCapturedStderr();
  const std::string folder = config.string() + "/trellicast/";
  EXPECT_EQ(said, "trellicast: settings carried over from " + folder + "registry to " + folder +
                      "trellicast.conf\ntrellicast: " + folder + "registry renamed to " + folder +
                      "registry.old\n");
  EXPECT_EQ(readFile(config / "trellicast" / "trellicast.conf"),
            "URL=http://127.0.0.1:8000/np?a=1&b=%20\nInterval=5\nUtf8=0\n");
  EXPECT_EQ(readFile(config / "trellicast" / "registry.old"), old) << "kept, renamed";
  EXPECT_FALSE(fs::exists(config / "trellicast" / "registry"));
  EXPECT_STREQ(urlSetting.get(), "http://127.0.0.1:8000/np?a=1&b=%20");
  EXPECT_EQ(intervalSetting, 5u);
  EXPECT_EQ(enabledSetting, 1) << "a string was never an Enabled of the config file";
  // Once: the config file now rules, and deleting it starts afresh.
  saveSettings("http://new/", 1, 6);
  testing::internal::CaptureStderr();
  loadSettings();
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  EXPECT_STREQ(urlSetting.get(), "http://new/");
  fs::remove(config / "trellicast" / "trellicast.conf");
  testing::internal::CaptureStderr();
  loadSettings();
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  EXPECT_STREQ(urlSetting.get(), "");
  EXPECT_EQ(intervalSetting, 10u);
  EXPECT_FALSE(fs::exists(config / "trellicast" / "trellicast.conf"));
  ::unsetenv("XDG_CONFIG_HOME");
}

TEST_F(Store, ALinkedConfigFileIsReplacedWhereItLeads) {
  const fs::path mine = root / "dotfiles" / "trellicast.conf";
  struct Case {
    const char* name;
    fs::path link;       // what file's link holds
    fs::path via;        // a second link on the way, or empty
    const char* before;  // the file it leads to, or none yet
  } cases[] = {
      {"relative", "../dotfiles/trellicast.conf", {}, "# mine\nInterval=4\n"},
      {"absolute", mine, {}, "# mine\nInterval=4\n"},
      {"a link to a link", "../dotfiles/via.conf", root / "dotfiles" / "via.conf",
       "# mine\nInterval=4\n"},
      {"leading nowhere yet", "../dotfiles/trellicast.conf", {}, nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(file.parent_path());
    fs::remove_all(mine.parent_path());
    fs::create_directories(file.parent_path());
    fs::create_directories(mine.parent_path());
    if (c.before != nullptr) writeFile(mine, c.before);
    fs::create_symlink(c.link, file);
    if (!c.via.empty()) fs::create_symlink("trellicast.conf", c.via);
    fake::freshPlugin(HOST);
    pluginInit();
    saveSettings("http://a/np", 1, 7);
    EXPECT_TRUE(fs::is_symlink(file)) << "the link stays";
    EXPECT_EQ(fs::read_symlink(file), c.link);
    EXPECT_TRUE(c.via.empty() || fs::is_symlink(c.via));
    EXPECT_EQ(readFile(mine), c.before != nullptr
                                  ? "# mine\nInterval=7\nURL=http://a/np\nEnabled=1\n"
                                  : "URL=http://a/np\nEnabled=1\nInterval=7\n");
    EXPECT_EQ(intervalSetting, 7u);
    EXPECT_EQ(modeOf(mine), 0600u);
    EXPECT_FALSE(fs::exists(mine.string() + ".tmp"));
    EXPECT_FALSE(fs::exists(file.string() + ".tmp"));
    EXPECT_TRUE(fake::state().boxes.empty());
    pluginQuit();
  }
}

}  // namespace

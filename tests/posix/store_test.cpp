// The real POSIX settings store in a temporary folder, driven through the
// plug-in core (with the recording double for boxes and timers) and
// directly through the port.
#include "platform/posix/store.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "base/settings.h"
#include "base/state.h"
#include "platform/port.h"
#include "platform/posix/errors.h"
#include "platform/posix/system.h"
#include "plugin/plugin.h"
#include "tests/support/fake_platform.h"
#include "tests/support/id3_writer.h"

namespace fs = std::filesystem;

namespace {

platform::WindowHandle const HOST = reinterpret_cast<platform::WindowHandle>(0x1234);
const fake::Box CANNOT_OPEN1015{"Error", "Cannot open registry key: (errcode=1015)"};

std::string readFile(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

void writeFile(const fs::path& p, const std::string& bytes) {
  std::ofstream out(p, std::ios::binary | std::ios::trunc);
  out << bytes;
}

class Store : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(root.empty());
    platform::posix::setRegistryPath(file.string());
    fake::freshPlugin(HOST);
  }
  void TearDown() override {
    resetState();
    platform::posix::setRegistryPath("");
  }

  // Writes one value through the port, as another writer would.
  void put(const char* name, uint32_t type, const std::string& bytes) {
    platform::KeyHandle key = nullptr;
    ASSERT_EQ(platform::regCreateKey(SETTINGS_SUBKEY, &key), platform::REG_SUCCESS);
    ASSERT_EQ(
        platform::regSetValue(key, name, type, bytes.data(), static_cast<uint32_t>(bytes.size())),
        platform::REG_SUCCESS);
    ASSERT_EQ(platform::regCloseKey(key), platform::REG_SUCCESS);
  }
  static std::string dword(uint32_t v) { return std::string(reinterpret_cast<char*>(&v), 4); }

  id3w::TempDir temp;
  const fs::path root = temp.root();
  const fs::path file = root / "config" / "trellicast" / "registry";
};

TEST_F(Store, FreshStoreCreatesTheKeyAndAppliesDefaults) {
  ASSERT_FALSE(fs::exists(file));
  EXPECT_EQ(pluginInit(), 0);
  EXPECT_TRUE(fake::state().boxes.empty());
  EXPECT_STREQ(urlSetting.get(), "");
  EXPECT_EQ(enabledSetting, 1);
  EXPECT_EQ(intervalSetting, 10u);
  EXPECT_EQ(fake::armedPeriod(), 10000);
  // The key (and its parents) exist on disk, with no values: defaults are
  // not written back.
  std::vector<platform::posix::StoredValue> values;
  std::vector<std::string> subKeys;
  ASSERT_EQ(platform::posix::storeListKey("software\\WINAMP", &values, &subKeys), 0);
  EXPECT_EQ(subKeys, std::vector<std::string>{"Software\\Winamp\\Trellicast"});
  ASSERT_EQ(platform::posix::storeListKey(SETTINGS_SUBKEY, &values, nullptr), 0);
  EXPECT_TRUE(values.empty());
  pluginQuit();
}

TEST_F(Store, UrlWithoutTerminatorAfterALongerOne) {
  put("URL", platform::REG_TYPE_SZ, "http://example.invalid/a/much/longer/path");
  ASSERT_EQ(pluginInit(), 0);
  EXPECT_STREQ(urlSetting.get(), "http://example.invalid/a/much/longer/path");
  put("URL", platform::REG_TYPE_SZ, "http://h/");  // no terminator stored
  loadSettings();
  EXPECT_STREQ(urlSetting.get(), "http://h/");
  // Saved by the core: written without terminator, reads back the same.
  saveSettings("http://127.0.0.1:9/x", 1, 3);
  EXPECT_STREQ(urlSetting.get(), "http://127.0.0.1:9/x");
  char raw[64] = {};
  uint32_t size = sizeof raw;
  platform::KeyHandle key = nullptr;
  ASSERT_EQ(platform::regCreateKey(SETTINGS_SUBKEY, &key), 0);
  ASSERT_EQ(platform::regQueryValue(key, "URL", raw, &size), 0);
  EXPECT_EQ(size, std::strlen("http://127.0.0.1:9/x"));
  platform::regCloseKey(key);
  EXPECT_EQ(fake::armedPeriod(), 3000);
  EXPECT_TRUE(fake::state().boxes.empty());
  pluginQuit();
}

TEST_F(Store, ValueSizesAndTypesOnReadBack) {
  struct Case {
    const char* what;
    const char* name;
    uint32_t type;
    std::string bytes;
    int32_t enabled;    // expected afterwards
    uint32_t interval;  // expected afterwards
    std::string url;    // expected afterwards
  } cases[] = {
      {"oversized dword is unreadable", "Interval", platform::REG_TYPE_DWORD,
       std::string(8, '\x01'), 7, 10, "http://a/"},
      {"short dword replaces its bytes only", "Interval", platform::REG_TYPE_DWORD,
       std::string("\x02", 1), 7, 0x0302, "http://a/"},
      {"type not checked: string bytes as a dword", "Enabled", platform::REG_TYPE_SZ,
       std::string("\0\0\0\0", 4), 0, 0x0303, "http://a/"},
      {"type not checked: dword bytes as the URL", "URL", platform::REG_TYPE_DWORD, "abcd", 7,
       0x0303, "abcd"},
      {"URL filling the whole buffer reads as empty", "URL", platform::REG_TYPE_SZ,
       std::string(1025, 'u'), 7, 0x0303, ""},
      {"URL longer than the buffer reads as empty", "URL", platform::REG_TYPE_SZ,
       std::string(1026, 'u'), 7, 0x0303, ""},
      {"URL of 1024 characters is kept", "URL", platform::REG_TYPE_SZ, std::string(1024, 'u'), 7,
       0x0303, std::string(1024, 'u')},
      {"empty data", "URL", platform::REG_TYPE_SZ, "", 7, 0x0303, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    fs::remove_all(root / "config");
    resetState();
    fake::reset();
    pluginRecord.hostWindow = HOST;
    put("URL", platform::REG_TYPE_SZ, "http://a/");
    put("Enabled", platform::REG_TYPE_DWORD, dword(7));
    put("Interval", platform::REG_TYPE_DWORD, dword(0x0303));
    ASSERT_EQ(pluginInit(), 0);
    put(c.name, c.type, c.bytes);
    loadSettings();
    EXPECT_EQ(enabledSetting, c.enabled);
    EXPECT_EQ(intervalSetting, c.interval);
    EXPECT_EQ(std::string(urlSetting.get()), c.url);
    EXPECT_TRUE(fake::state().boxes.empty());
    pluginQuit();
  }
}

TEST_F(Store, QueryFollowsTheRegistryRules) {
  put("Name", 77, std::string("\0bin\xff\n %", 8));
  platform::KeyHandle key = nullptr;
  // Key and value names without regard to case; the root's spelling kept.
  ASSERT_EQ(platform::regCreateKey("\\SOFTWARE\\winamp\\\\TRELLICAST\\", &key), 0);
  char buffer[16] = {};
  uint32_t size = 7;
  EXPECT_EQ(platform::regQueryValue(key, "name", buffer, &size), 234);
  EXPECT_EQ(size, 8u);
  EXPECT_EQ(buffer[0], '\0') << "nothing copied when it does not fit";
  size = sizeof buffer;
  EXPECT_EQ(platform::regQueryValue(key, "NAME", buffer, &size), 0);
  EXPECT_EQ(std::string(buffer, size), std::string("\0bin\xff\n %", 8));
  size = 0;
  EXPECT_EQ(platform::regQueryValue(key, "NAME", nullptr, &size), 0);
  EXPECT_EQ(size, 8u) << "size query without a buffer";
  EXPECT_EQ(platform::regQueryValue(key, "missing", buffer, &size), 2);
  EXPECT_EQ(platform::regCloseKey(key), 0);
  EXPECT_EQ(platform::regCloseKey(key), 6) << "a closed handle is no longer valid";
  std::string name;
  ASSERT_EQ(platform::posix::storeKeyName("software\\winamp\\trellicast", &name), 0);
  EXPECT_EQ(name, "Software\\Winamp\\Trellicast");
}

TEST_F(Store, EveryTruncationOfTheFileIsSeenAsDamaged) {
  put("URL", platform::REG_TYPE_SZ, "http://127.0.0.1:8000/status?x=1&y=%20");
  put("Enabled", platform::REG_TYPE_DWORD, dword(0));
  put("Interval", platform::REG_TYPE_DWORD, dword(2));
  const std::string whole = readFile(file);
  ASSERT_GT(whole.size(), 60u);
  for (size_t cut = 0; cut <= whole.size(); ++cut) {
    SCOPED_TRACE(cut);
    writeFile(file, whole.substr(0, cut));
    resetState();
    fake::reset();
    pluginRecord.hostWindow = HOST;
    ASSERT_EQ(pluginInit(), 0);
    if (cut < whole.size()) {
      ASSERT_EQ(fake::state().boxes, std::vector<fake::Box>{CANNOT_OPEN1015});
      EXPECT_STREQ(urlSetting.get(), "");
      EXPECT_EQ(enabledSetting, 1);
      EXPECT_EQ(intervalSetting, 10u);
      EXPECT_EQ(fake::armedPeriod(), -1) << "no timer without settings";
      EXPECT_EQ(readFile(file), whole.substr(0, cut)) << "a damaged file is left alone";
    } else {
      ASSERT_TRUE(fake::state().boxes.empty());
      EXPECT_STREQ(urlSetting.get(), "http://127.0.0.1:8000/status?x=1&y=%20");
      EXPECT_EQ(enabledSetting, 0);
      EXPECT_EQ(fake::armedPeriod(), 2000);
    }
    pluginQuit();
  }
}

TEST_F(Store, DamagedFilesGiveTheBoxAndDefaults) {
  const std::string header = "trellicast-registry 1\n";
  const std::string cases[] = {
      std::string("\x7f"
                  "ELF\x02\x01\x01\0garbage",
                  14),
      "",
      header + "end\nextra\n",
      header + "value URL 1 http://a/\nend\n",         // value outside a key
      header + "key A\nvalue URL x http://a/\nend\n",  // type not a number
      header + "key A\nvalue URL 1 %G0\nend\n",        // bad escape
      header + "key A\nvalue URL 1 %4\nend\n",         // cut escape
      header + "key A\nvalue URL 1\nend\n",            // missing data field
      header + "key A\\\\B\nend\n",                    // empty key component
      header + "key A\nvalue URL 1 a b\nend\n",        // raw space in data
      header + "key A\nend",                           // no final newline
  };
  for (const auto& text : cases) {
    SCOPED_TRACE(text);
    fs::create_directories(file.parent_path());
    writeFile(file, text);
    resetState();
    fake::reset();
    pluginRecord.hostWindow = HOST;
    ASSERT_EQ(pluginInit(), 0);
    EXPECT_EQ(fake::state().boxes, std::vector<fake::Box>{CANNOT_OPEN1015});
    EXPECT_EQ(platform::lastError(), 1015u);
    EXPECT_EQ(enabledSetting, 1);
    EXPECT_EQ(intervalSetting, 10u);
    // Saving cannot open the key either: nothing written.
    fake::state().boxes.clear();
    saveSettings("http://b/", 0, 1);
    EXPECT_EQ(fake::state().boxes, std::vector<fake::Box>{CANNOT_OPEN1015});
    EXPECT_EQ(readFile(file), text);
    pluginQuit();
  }
  // The valid minimum, and an escaped key, are not damaged.
  writeFile(file, header + "key Software\\Winamp\\Trellicast\nvalue URL 1 http://a%20b/\nend\n");
  resetState();
  fake::reset();
  pluginRecord.hostWindow = HOST;
  pluginInit();
  EXPECT_TRUE(fake::state().boxes.empty());
  EXPECT_STREQ(urlSetting.get(), "http://a b/");
  pluginQuit();
}

TEST_F(Store, FolderThatCannotBeWrittenGivesTheBox) {
  // The folder's parent is a regular file: nothing can be created there.
  writeFile(root / "config", "not a folder");
  ASSERT_EQ(pluginInit(), 0);
  ASSERT_EQ(fake::state().boxes.size(), 1u);
  EXPECT_EQ(fake::state().boxes[0], (fake::Box{"Error", "Cannot open registry key: (errcode=3)"}));
  EXPECT_EQ(intervalSetting, 10u);
  EXPECT_EQ(fake::armedPeriod(), -1);
  pluginQuit();
}

TEST_F(Store, WritesFailWhenTheFolderGoesAwayWhileTheKeyIsOpen) {
  put("Interval", platform::REG_TYPE_DWORD, dword(4));
  platform::KeyHandle key = nullptr;
  ASSERT_EQ(platform::regCreateKey(SETTINGS_SUBKEY, &key), 0);
  // A file takes the folder's place: the store reads as absent, and no
  // write can reach the disk.
  fs::remove_all(file.parent_path());
  writeFile(file.parent_path(), "blocked");
  EXPECT_EQ(platform::regSetValue(key, "URL", platform::REG_TYPE_SZ, "x", 1), 1018)
      << "the key went with its file";
  platform::regCloseKey(key);
  EXPECT_EQ(platform::regCreateKey(SETTINGS_SUBKEY, &key), 3);
  EXPECT_EQ(platform::lastError(), 3u);
  EXPECT_EQ(key, nullptr);
}

TEST_F(Store, SaveWithAFailingFolderShowsThreeNotices) {
  fs::create_directories(file.parent_path());
  put("Interval", platform::REG_TYPE_DWORD, dword(4));
  ASSERT_EQ(pluginInit(), 0);
  ASSERT_EQ(intervalSetting, 4u);
  // The key opens (it needs no write), but no temporary file can be made:
  // a folder stands in its place.
  fs::create_directory(file.string() + ".tmp");
  saveSettings("http://new/", 0, 9);
  const std::vector<fake::Box> expected(3, fake::Box{"Lumtap", "Error: 1016"});
  EXPECT_EQ(fake::state().boxes, expected);
  // All three failed: the reload finds what was stored before.
  EXPECT_STREQ(urlSetting.get(), "");
  EXPECT_EQ(intervalSetting, 4u);
  EXPECT_EQ(fake::armedPeriod(), 4000);
  pluginQuit();
}

TEST_F(Store, ReadersSeeTheOldOrTheNewFileNeverATornOne) {
  const std::string a(3000, 'a');
  const std::string b = "b";
  put("URL", platform::REG_TYPE_SZ, a);
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    // Writer: alternates a long and a short value for a while.
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(400);
    platform::KeyHandle key = nullptr;
    if (platform::regCreateKey(SETTINGS_SUBKEY, &key) != 0) ::_exit(2);
    for (int i = 0; std::chrono::steady_clock::now() < end; ++i) {
      const std::string& v = i % 2 ? a : b;
      if (platform::regSetValue(key, "URL", 1, v.data(), static_cast<uint32_t>(v.size())) != 0)
        ::_exit(3);
    }
    // Closing the key commits its writes.
    platform::regCloseKey(key);
    ::_exit(0);
  }
  int reads = 0, olds = 0, news = 0;
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(400);
  while (std::chrono::steady_clock::now() < end) {
    platform::KeyHandle key = nullptr;
    ASSERT_EQ(platform::regCreateKey(SETTINGS_SUBKEY, &key), 0);
    std::string buffer(4000, '\0');
    uint32_t size = static_cast<uint32_t>(buffer.size());
    ASSERT_EQ(platform::regQueryValue(key, "URL", buffer.data(), &size), 0);
    buffer.resize(size);
    ASSERT_TRUE(buffer == a || buffer == b) << "torn value of " << size << " bytes";
    (buffer == a ? olds : news)++;
    ++reads;
    platform::regCloseKey(key);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_GT(reads, 10);
  // No temporary file is left behind.
  for (const auto& entry : fs::directory_iterator(file.parent_path()))
    EXPECT_EQ(entry.path().filename(), "registry");
}

TEST_F(Store, RegistryEditingServices) {
  put("URL", platform::REG_TYPE_SZ, "u");
  put("Enabled", platform::REG_TYPE_DWORD, dword(1));
  platform::KeyHandle key = nullptr;
  ASSERT_EQ(platform::regCreateKey("Software\\Winamp\\Trellicast\\Sub\\Deeper", &key), 0);
  platform::regCloseKey(key);
  std::vector<platform::posix::StoredValue> values;
  std::vector<std::string> subKeys;
  ASSERT_EQ(platform::posix::storeListKey(SETTINGS_SUBKEY, &values, &subKeys), 0);
  ASSERT_EQ(values.size(), 2u);
  EXPECT_EQ(values[0].name, "URL");
  EXPECT_EQ(values[1].name, "Enabled");
  EXPECT_EQ(subKeys, std::vector<std::string>{"Software\\Winamp\\Trellicast\\Sub"});
  EXPECT_EQ(platform::posix::storeDeleteValue(SETTINGS_SUBKEY, "url"), 0);
  EXPECT_EQ(platform::posix::storeDeleteValue(SETTINGS_SUBKEY, "url"), 2);
  EXPECT_EQ(platform::posix::storeDeleteKey("software\\winamp\\trellicast\\sub"), 0);
  ASSERT_EQ(platform::posix::storeListKey(SETTINGS_SUBKEY, &values, &subKeys), 0);
  EXPECT_EQ(values.size(), 1u);
  EXPECT_TRUE(subKeys.empty());
  EXPECT_EQ(platform::posix::storeListKey(std::string(SETTINGS_SUBKEY) + "\\Sub\\Deeper", nullptr,
                                          nullptr),
            2);
  // A key deleted while open.
  ASSERT_EQ(platform::regCreateKey(SETTINGS_SUBKEY, &key), 0);
  EXPECT_EQ(platform::posix::storeDeleteKey("Software\\Winamp"), 0);
  uint32_t v = 0, size = 4;
  EXPECT_EQ(platform::regQueryValue(key, "Enabled", &v, &size), 1018);
  EXPECT_EQ(platform::regSetValue(key, "Enabled", 4, &v, 4), 1018);
  platform::regCloseKey(key);
}

// What a reader sees of one value: through its own key, as another process would.
std::string readValue(const char* name) {
  platform::KeyHandle key = nullptr;
  if (platform::regCreateKey(SETTINGS_SUBKEY, &key) != 0) return "<no key>";
  std::string buffer(64, '\0');
  uint32_t size = static_cast<uint32_t>(buffer.size());
  const long rc = platform::regQueryValue(key, name, buffer.data(), &size);
  platform::regCloseKey(key);
  return rc == 0 ? buffer.substr(0, size) : "<" + std::to_string(rc) + ">";
}

TEST_F(Store, AKeysWritesReachTheFileTogetherWhenItCloses) {
  put("URL", platform::REG_TYPE_SZ, "old");
  const std::string before = readFile(file);
  platform::KeyHandle saving = nullptr;
  ASSERT_EQ(platform::regCreateKey(SETTINGS_SUBKEY, &saving), 0);
  ASSERT_EQ(platform::regSetValue(saving, "URL", platform::REG_TYPE_SZ, "new", 3), 0);
  ASSERT_EQ(platform::regSetValue(saving, "url", platform::REG_TYPE_SZ, "newer", 5), 0);
  // The writing key sees its own writes; nobody else does yet.
  char got[16] = {};
  uint32_t size = sizeof got;
  ASSERT_EQ(platform::regQueryValue(saving, "URL", got, &size), 0);
  EXPECT_EQ(std::string(got, size), "newer");
  EXPECT_EQ(readValue("URL"), "old");
  EXPECT_EQ(readFile(file), before) << "nothing written before the key closes";
  // Another key commits a value of its own meanwhile: both survive.
  put("Interval", platform::REG_TYPE_DWORD, dword(5));
  ASSERT_EQ(platform::regCloseKey(saving), 0);
  EXPECT_EQ(readValue("URL"), "newer");
  EXPECT_EQ(readValue("Interval"), dword(5));
  std::vector<platform::posix::StoredValue> values;
  ASSERT_EQ(platform::posix::storeListKey(SETTINGS_SUBKEY, &values, nullptr), 0);
  ASSERT_EQ(values.size(), 2u);
  EXPECT_EQ(values[0].name, "URL") << "the name keeps its first spelling";
}

TEST_F(Store, ClosingAKeyWhoseFolderWentAwayReportsTheLostWrites) {
  put("URL", platform::REG_TYPE_SZ, "old");
  platform::KeyHandle key = nullptr;
  ASSERT_EQ(platform::regCreateKey(SETTINGS_SUBKEY, &key), 0);
  ASSERT_EQ(platform::regSetValue(key, "URL", platform::REG_TYPE_SZ, "new", 3), 0);
  fs::remove_all(file.parent_path());
  writeFile(file.parent_path(), "blocked");
  EXPECT_EQ(platform::regCloseKey(key), 1018);
  EXPECT_EQ(platform::regCloseKey(key), 6) << "the handle is gone all the same";
}

// The writers' lock is a flock on the store's folder; the test holds it as
// another writer would.
class HeldLock {
 public:
  explicit HeldLock(const fs::path& folder) : fd_(::open(folder.c_str(), O_RDONLY | O_DIRECTORY)) {
    EXPECT_EQ(::flock(fd_, LOCK_EX | LOCK_NB), 0);
  }
  ~HeldLock() { ::close(fd_); }
  void release() { ::flock(fd_, LOCK_UN); }

 private:
  int fd_;
};

TEST_F(Store, ATemporaryFileIsRemovedOnlyWhenNoWriterHoldsTheLock) {
  put("URL", platform::REG_TYPE_SZ, "kept");
  const fs::path temp = file.string() + ".tmp";
  for (const bool writerAlive : {false, true}) {
    SCOPED_TRACE(writerAlive ? "a writer holds the lock" : "the writer died");
    writeFile(temp, "trellicast-registry 1\nkey half");
    HeldLock lock(file.parent_path());
    if (!writerAlive) lock.release();
    EXPECT_EQ(readValue("URL"), "kept");
    EXPECT_EQ(fs::exists(temp), writerAlive);
  }
}

TEST_F(Store, AWriterWaitsForTheLockButNotForever) {
  struct Case {
    const char* what;
    int releaseAfterMs;  // -1: never
    long expected;
    const char* stored;
  } cases[] = {
      {"released soon", 100, 0, "new"},
      {"held throughout", -1, 1016, "old"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    put("URL", platform::REG_TYPE_SZ, "old");
    platform::KeyHandle key = nullptr;
    ASSERT_EQ(platform::regCreateKey(SETTINGS_SUBKEY, &key), 0);
    HeldLock lock(file.parent_path());
    std::thread releaser([&] {
      if (c.releaseAfterMs < 0) return;
      std::this_thread::sleep_for(std::chrono::milliseconds(c.releaseAfterMs));
      lock.release();
    });
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(platform::regSetValue(key, "URL", platform::REG_TYPE_SZ, "new", 3), c.expected);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
    releaser.join();
    lock.release();
    EXPECT_EQ(platform::regCloseKey(key), 0);
    EXPECT_EQ(readValue("URL"), c.stored);
  }
}

TEST_F(Store, DefaultLocationFollowsTheConfigFolder) {
  platform::posix::setRegistryPath("");
  const char* oldXdg = std::getenv("XDG_CONFIG_HOME");
  const std::string saved = oldXdg ? oldXdg : "";
  ::setenv("XDG_CONFIG_HOME", "/some/where", 1);
  EXPECT_EQ(platform::posix::registryPath(), "/some/where/trellicast/registry");
  ::unsetenv("XDG_CONFIG_HOME");
  const std::string home = std::getenv("HOME") ? std::getenv("HOME") : "";
  ::setenv("HOME", "/home/u", 1);
  EXPECT_EQ(platform::posix::registryPath(), "/home/u/.config/trellicast/registry");
  ::setenv("HOME", home.c_str(), 1);
  if (oldXdg) ::setenv("XDG_CONFIG_HOME", saved.c_str(), 1);
  platform::posix::setRegistryPath(file.string());
  EXPECT_EQ(platform::posix::registryPath(), file.string());
}

}  // namespace

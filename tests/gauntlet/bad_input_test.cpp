// Settings and player input that no careful user would give, through the
// real POSIX config file, the core, the settings dialog's procedure (driven
// through the recording double as the user would) and the real libcurl
// backend posting to loopback receivers. Each row states the defined
// result: what is stored, what a tick sends, and the box shown, if any (a
// send's failure shows at the tick after it).
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "base/player.h"
#include "base/settings.h"
#include "base/state.h"
#include "dialog/resources/resource.h"
#include "platform/port.h"
#include "platform/posix/http.h"
#include "platform/posix/store.h"
#include "platform/posix/system.h"
#include "plugin/plugin.h"
#include "tests/gauntlet/fault_server.h"
#include "tests/gauntlet/form_fields.h"
#include "tests/support/fake_platform.h"
#include "tests/support/id3_writer.h"
#include "tests/support/send_cycle.h"

namespace {

namespace fs = std::filesystem;
using Boxes = std::vector<fake::Box>;

platform::WindowHandle const HOST = reinterpret_cast<platform::WindowHandle>(0x7002);
constexpr int WAIT_MS = 3000;
// The room the body leaves for the escaped title (8192 bytes less the fixed
// rows, status 1 and the terminator).
const std::string HEAD = "wm_action=wm_data&wm_data[status]=1&wm_data[title]=";

std::string replaceAll(std::string text, const std::string& from, const std::string& to) {
  for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
    text.replace(at, from.size(), to);
  return text;
}

std::string header(const std::string& head, const std::string& name) {
  const std::string key = "\r\n" + name + ": ";
  const size_t at = head.find(key);
  if (at == std::string::npos) return "<none>";
  const size_t end = head.find("\r\n", at + key.size());
  return head.substr(at + key.size(), end - at - key.size());
}

class BadInput : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(dir.empty());
    platform::posix::setConfigPath(file.string());
    fresh();
  }
  void TearDown() override {
    pluginQuit();
    sends::settle();
    (void)platform::httpPostOutcome();
    resetState();
    platform::posix::setConfigPath("");
  }
  // A new plug-in over an empty store, no send left over from before.
  void fresh() {
    pluginQuit();
    sends::settle();
    (void)platform::httpPostOutcome();
    fs::remove(file);
    wire();
  }
  // The double and the state as at load time, with the player's answers.
  void wire() {
    fake::freshPlugin(HOST);
    fake::state().host = [this](uintptr_t, intptr_t code) -> intptr_t {
      if (code == GET_STATUS) return 1;
      if (code == GET_TITLE) return title ? reinterpret_cast<intptr_t>(title->c_str()) : 0;
      return 0;  // position 0, no file name
    };
  }
  // Reloads the plug-in over what the store holds.
  void restart() {
    pluginQuit();
    wire();
    ASSERT_EQ(pluginInit(), 0);
  }
  // A line another program wrote into the config file.
  void put(const char* name, const std::string& text) {
    std::ofstream(file, std::ios::app) << name << "=" << text << "\n";
  }
  std::optional<std::string> stored(const char* name) {
    std::vector<std::pair<std::string, std::string>> settings;
    if (platform::posix::storedSettings(&settings) != 0) return std::nullopt;
    for (const auto& [n, value] : settings)
      if (n == name) return value;
    return std::nullopt;
  }
  // Opens the dialog; the user's actions run inside it.
  void dialog(std::function<void(platform::WindowHandle)> script) {
    fake::state().dialogTemplate = fake::settingsDialogControls();
    fake::state().dialogScript = std::move(script);
    pluginConfig();
  }
  Boxes& boxes() { return fake::state().boxes; }
  bool tick() { return sends::tick(HOST); }
  void collect() {
    sends::collect([this] { EXPECT_TRUE(tick()); });
  }

  id3w::TempDir temp;
  const fs::path dir = temp.root();
  const fs::path file = dir / "trellicast.conf";
  std::optional<std::string> title = "t";
};

// ---- URLs -------------------------------------------------------------------

enum class Entry {
  typed,   // typed into the URL edit (its limit applies), then OK
  pasted,  // put into the edit by other means (no limit), then OK, then Cancel
  stored,  // written into the store by another program, then the plug-in starts
};

struct UrlRow {
  const char* name;
  std::string url;  // "{p}": the IPv4 receiver's port, "{p6}": the IPv6 one's
  Entry entry;
  Boxes dialogBoxes;
  std::optional<std::string> storedUrl;  // what the store holds afterwards
  // What one tick does: a request line and Authorization header at the
  // receiver, or a box, or nothing at all.
  std::string requestLine;
  std::string authorization = "<none>";
  Boxes tickBoxes = {};
  bool ipv6 = false;
};

TEST_F(BadInput, UrlTable) {
  gauntlet::FaultServer v4;
  ASSERT_TRUE(v4.ok());
  gauntlet::FaultServer v6(AF_INET6);
  const std::string p = std::to_string(v4.port());
  const std::string p6 = v6.ok() ? std::to_string(v6.port()) : "0";
  const std::string at = "http://127.0.0.1:{p}";
  const std::string q1024 = at + "/np?pad=";
  const size_t pad = 1024 - replaceAll(q1024, "{p}", p).size();
  const std::string url1024 = q1024 + std::string(pad, 'x');
  const std::string url1025 = url1024 + "y";
  const Boxes none;
  const Boxes invalid = {{"Error", "Invalid URL: (errcode=3)"}};
  const std::string kept = "http://previous/";

  const UrlRow rows[] = {
      {"no scheme", "127.0.0.1:{p}/np", Entry::typed, none, "127.0.0.1:{p}/np", "", "<none>",
       invalid},
      {"leading space", " " + at + "/np", Entry::typed, none, " " + at + "/np", "", "<none>",
       invalid},
      {"spaces in path and query", at + "/a b/c?q=x y", Entry::typed, none, at + "/a b/c?q=x y",
       "POST /a%20b/c?q=x%20y HTTP/1.1"},
      {"space inside the host",
       "http://127.0.0 .1:{p}/np",
       Entry::typed,
       none,
       "http://127.0.0 .1:{p}/np",
       "",
       "<none>",
       {{"Error", "Cannot HttpSendRequestEx: (errcode=3)"}}},
      {"line breaks cannot add a header", at + "/np\r\nX-Injected: 1", Entry::typed, none,
       at + "/np\r\nX-Injected: 1", "POST /np%0D%0AX-Injected:%201 HTTP/1.1"},
      {"port out of range", "http://127.0.0.1:99999/np", Entry::typed, none,
       "http://127.0.0.1:99999/np", "", "<none>", invalid},
      {"1024 characters typed", url1024, Entry::typed, none, url1024,
       "POST " + url1024.substr(url1024.find("/np")) + " HTTP/1.1"},
      {"1025 characters typed stop at the edit's limit", url1025, Entry::typed, none, url1024,
       "POST " + url1024.substr(url1024.find("/np")) + " HTTP/1.1"},
      {"1025 characters pasted past the limit",
       url1025,
       Entry::pasted,
       {{"Lumtap", "Url too big"}},
       kept,
       "",
       "<none>",
       invalid},
      {"1024 characters stored", url1024, Entry::stored, none, url1024,
       "POST " + url1024.substr(url1024.find("/np")) + " HTTP/1.1"},
      {"1025 characters stored read as no URL", url1025, Entry::stored, none, url1025, ""},
      {"IPv6 literal with port",
       "http://[::1]:{p6}/np",
       Entry::typed,
       none,
       "http://[::1]:{p6}/np",
       "POST /np HTTP/1.1",
       "<none>",
       {},
       true},
      {"unknown scheme with a port is posted as plain HTTP", "ftp://127.0.0.1:{p}/np", Entry::typed,
       none, "ftp://127.0.0.1:{p}/np", "POST /np HTTP/1.1"},
      {"user name without password", "http://user@127.0.0.1:{p}/np", Entry::typed, none,
       "http://user@127.0.0.1:{p}/np", "POST /np HTTP/1.1", "Basic dXNlcjo="},
      {"user name with an empty password", "http://user:@127.0.0.1:{p}/np", Entry::typed, none,
       "http://user:@127.0.0.1:{p}/np", "POST /np HTTP/1.1", "Basic dXNlcjo="},
      {"password without user name sends no credentials", "http://:pw@127.0.0.1:{p}/np",
       Entry::typed, none, "http://:pw@127.0.0.1:{p}/np", "POST /np HTTP/1.1"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    if (row.ipv6 && !v6.ok()) {
      std::printf("[  SKIPPED ] row \"%s\": ::1 is not available\n", row.name);
      continue;
    }
    auto fill = [&](std::string s) { return replaceAll(replaceAll(s, "{p6}", p6), "{p}", p); };
    const std::string url = fill(row.url);
    fresh();
    put("URL", kept);
    put("Interval", "1");
    if (row.entry == Entry::stored) put("URL", url);
    restart();
    ASSERT_TRUE(boxes().empty());
    if (row.entry != Entry::stored) {
      dialog([&](platform::WindowHandle d) {
        fake::Control* edit = fake::control(d, IDC_URL);
        // Typing stops at the limit the dialog set on the edit.
        edit->text = row.entry == Entry::typed ? url.substr(0, edit->limit) : url;
        fake::command(d, IDOK);
        if (row.entry == Entry::pasted) fake::command(d, IDCANCEL);
      });
      EXPECT_EQ(boxes(), row.dialogBoxes);
    }
    EXPECT_EQ(stored("URL"), row.storedUrl ? std::optional(fill(*row.storedUrl)) : std::nullopt);
    boxes().clear();
    gauntlet::FaultServer& server = row.ipv6 ? v6 : v4;
    const size_t before = server.requests();
    if (row.entry == Entry::pasted) {
      // The previous URL stays in force; point it at nothing that resolves.
      EXPECT_STREQ(urlSetting.get(), kept.c_str());
      std::strcpy(urlSetting.get(), "no scheme");
    }
    ASSERT_TRUE(tick());
    collect();
    EXPECT_EQ(boxes(), row.tickBoxes);
    if (row.requestLine.empty()) {
      ::usleep(100 * 1000);
      EXPECT_EQ(server.requests(), before) << "nothing is posted";
      continue;
    }
    const auto posts = server.wait(before + 1, WAIT_MS);
    ASSERT_EQ(posts.size(), before + 1);
    const auto& post = posts.back();
    EXPECT_EQ(post.head.substr(0, post.head.find("\r\n")), row.requestLine);
    EXPECT_EQ(header(post.head, "Authorization"), row.authorization);
    EXPECT_EQ(header(post.head, "X-Injected"), "<none>");
    if (row.ipv6) {
      EXPECT_EQ(header(post.head, "Host"), "[::1]:" + p6);
    }
    EXPECT_EQ(post.body, HEAD + "t");
  }
}

// ---- Stored numbers ---------------------------------------------------------

struct NumberRow {
  const char* name;
  const char* value;             // "Interval" or "Enabled"
  std::string text;              // as the line holds it
  std::optional<uint32_t> read;  // none: not a number, the default applies
  // What OK in the dialog opened over it does: the boxes, and the stored
  // values afterwards (none: OK was refused and the dialog cancelled).
  Boxes okBoxes;
};

TEST_F(BadInput, StoredNumbersOfOddShapes) {
  const Boxes none;
  const Boxes tooBig = {{"Lumtap", "Interval too big"}};
  const NumberRow rows[] = {
      {"interval 30", "Interval", "30", 30, none},
      {"blanks around it", "Interval", " \t30 ", 30, none},
      {"leading zeros", "Interval", "007", 7, none},
      {"quoted", "Interval", "\"30\"", 30, none},
      {"empty", "Interval", "", std::nullopt, none},
      {"a word", "Interval", "thirty", std::nullopt, none},
      {"negative", "Interval", "-5", std::nullopt, none},
      {"with a sign", "Interval", "+5", std::nullopt, none},
      {"hexadecimal", "Interval", "0x10", std::nullopt, none},
      {"a fraction", "Interval", "1.5", std::nullopt, none},
      {"a number and more", "Interval", "30 seconds", std::nullopt, none},
      {"4294967295", "Interval", "4294967295", 0xFFFFFFFF, tooBig},
      {"4294967296", "Interval", "4294967296", std::nullopt, none},
      {"interval 0", "Interval", "0", 0, none},
      {"enabled 2", "Enabled", "2", 2, none},
      {"enabled 0", "Enabled", "0", 0, none},
      {"enabled yes", "Enabled", "yes", std::nullopt, none},
      {"enabled 4294967295", "Enabled", "4294967295", 0xFFFFFFFF, none},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    fresh();
    put("URL", "http://127.0.0.1:9/np");
    put(row.value, row.text);
    restart();
    ASSERT_TRUE(boxes().empty());
    const bool isInterval = std::strcmp(row.value, "Interval") == 0;
    const uint32_t interval = isInterval ? row.read.value_or(DEFAULT_INTERVAL) : DEFAULT_INTERVAL;
    const auto enabled =
        static_cast<int32_t>(isInterval ? DEFAULT_ENABLED : row.read.value_or(DEFAULT_ENABLED));
    EXPECT_EQ(intervalSetting, interval);
    EXPECT_EQ(enabledSetting, enabled);
    const uint64_t ms = static_cast<uint64_t>(interval) * 1000;
    EXPECT_EQ(fake::armedPeriod(), static_cast<int64_t>(std::min<uint64_t>(ms, 0x7FFFFFFF)));

    // The dialog shows what was read and stores it again on OK, or refuses
    // an interval of more than seven digits.
    std::string shownInterval;
    bool shownChecked = false;
    dialog([&](platform::WindowHandle d) {
      shownInterval = fake::control(d, IDC_INTERVAL)->text;
      shownChecked = fake::control(d, IDC_ENABLED)->checked;
      fake::command(d, IDOK);
      if (!static_cast<fake::Dialog*>(d)->ended) fake::command(d, IDCANCEL);
    });
    EXPECT_EQ(shownInterval, std::to_string(interval));
    EXPECT_EQ(shownChecked, enabled == 1);
    EXPECT_EQ(boxes(), row.okBoxes);
    if (row.okBoxes.empty()) {
      EXPECT_EQ(stored("Interval"), std::to_string(interval));
      EXPECT_EQ(stored("Enabled"), enabled == 1 ? "1" : "0");
    } else {
      EXPECT_EQ(stored(row.value), row.text) << "nothing stored";
    }
  }
}

// ---- Titles from the player --------------------------------------------------

TEST_F(BadInput, TitlesFromThePlayer) {
  gauntlet::FaultServer server;
  ASSERT_TRUE(server.ok());
  std::string everyByte;
  for (int b = 1; b <= 255; ++b) everyByte += static_cast<char>(b);
  std::string everyByteMany;
  while (everyByteMany.size() < 100000) everyByteMany += everyByte;
  struct Row {
    const char* name;
    std::optional<std::string> title;
    bool whole;  // the title fits the body and arrives whole
  } rows[] = {
      {"no title at all", std::nullopt, true},
      {"empty", "", true},
      {"100 000 letters", std::string(100000, 'a'), false},
      {"100 000 bytes that all need escapes", std::string(100000, '%'), false},
      {"every byte value 1 to 255", everyByte, true},
      {"every byte value, repeated to 100 000", everyByteMany, false},
  };
  put("URL", "http://127.0.0.1:" + std::to_string(server.port()) + "/np");
  restart();
  size_t seen = 0;
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    title = row.title;
    ASSERT_TRUE(tick());
    const auto posts = server.wait(++seen, WAIT_MS);
    ASSERT_EQ(posts.size(), seen);
    const auto& post = posts.back();
    EXPECT_TRUE(post.complete);
    EXPECT_LE(post.body.size(), 8191u);
    EXPECT_EQ(header(post.head, "Content-Length"), std::to_string(post.body.size()));
    const auto fields = gauntlet::parseForm(post.body);
    ASSERT_TRUE(fields.has_value()) << "the body parses: " << post.body.substr(0, 200);
    ASSERT_EQ(fields->size(), 3u);
    EXPECT_EQ((*fields)[0], (std::pair<std::string, std::string>{"wm_action", "wm_data"}));
    EXPECT_EQ((*fields)[1], (std::pair<std::string, std::string>{"wm_data[status]", "1"}));
    EXPECT_EQ((*fields)[2].first, "wm_data[title]");
    const std::string sent = (*fields)[2].second;
    const std::string wanted = row.title.value_or("");
    if (row.whole) {
      EXPECT_EQ(sent, wanted);
    } else {
      // Cut to what fits, never inside an escape: a prefix of the title
      // that fills the body to within one escape.
      EXPECT_EQ(sent, wanted.substr(0, sent.size()));
      EXPECT_GE(post.body.size(), 8191u - 2);
    }
  }
  collect();
  EXPECT_TRUE(boxes().empty());
}

}  // namespace

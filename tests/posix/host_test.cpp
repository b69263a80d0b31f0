// The stand-in player as a whole: trellicast-host run as a separate process
// without a terminal, with its config file in a temporary folder, loading the
// real module built beside it.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "platform/port.h"
#include "platform/posix/system.h"
#include "tests/gauntlet/fault_server.h"
#include "tests/gauntlet/form_fields.h"
#include "tests/support/id3_writer.h"
#include "trellicast/version.h"

namespace fs = std::filesystem;

namespace {

struct Outcome {
  int status;
  std::string out;
  std::string err;
};

std::string shellQuoted(const std::string& s) {
  std::string q = "'";
  for (const char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return q + "'";
}

std::string readFile(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

// A minimal ID3v2.3 tag with artist and title, then a few zero bytes.
void writeTagged(const fs::path& p, const std::string& artist, const std::string& title) {
  id3w::writeFile(p.string(), id3w::tagV2(3, {id3w::textFrame("TPE1", artist),
                                              id3w::textFrame("TIT2", title)}) +
                                  std::string(64, '\0'));
}

// The posted form's fields; none when the body is not a well-formed form.
std::map<std::string, std::string> formFields(const std::string& body) {
  std::map<std::string, std::string> fields;
  if (const auto parsed = gauntlet::parseForm(body)) fields.insert(parsed->begin(), parsed->end());
  return fields;
}

std::vector<std::string> bodies(gauntlet::FaultServer& server) {
  std::vector<std::string> out;
  for (const auto& post : server.wait(0, 0)) out.push_back(post.body);
  return out;
}

class Host : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_FALSE(dir.empty()); }

  Outcome host(const std::string& args) {
    const fs::path err = dir / "stderr";
    const std::string command = "timeout 20 " + shellQuoted(TRELLICAST_HOST_BIN) + " --config " +
                                shellQuoted(config.string()) + " " + args + " </dev/null 2>" +
                                shellQuoted(err.string());
    Outcome run{-1, "", ""};
    FILE* p = ::popen(command.c_str(), "r");
    if (p == nullptr) return run;
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) run.out.append(buf, n);
    const int status = ::pclose(p);
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    run.err = readFile(err);
    return run;
  }
  void set(const std::string& name, const std::string& value) {
    const Outcome r = host("set " + name + " " + shellQuoted(value));
    ASSERT_EQ(r.status, 0) << r.err;
  }
  // song.mp3, tagged, and the settings that post to url every second.
  fs::path songPostingTo(const std::string& url, const std::string& artist = "A",
                         const std::string& title = "B") {
    writeTagged(dir / "song.mp3", artist, title);
    set("URL", url);
    set("Interval", "1");
    return dir / "song.mp3";
  }

  // The stand-in player on a new pseudo terminal, with args after
  // "--config <config>": the terminal's master side and the player's pid
  // (-1 for what could not be made).
  std::pair<int, pid_t> startOnTerminal(const std::vector<std::string>& args) {
    const int master = ::posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0 || ::grantpt(master) != 0 || ::unlockpt(master) != 0) return {-1, -1};
    const std::string slaveName = ::ptsname(master);
    std::vector<std::string> all = {"trellicast-host", "--config", config.string()};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& a : all) argv.push_back(a.data());
    argv.push_back(nullptr);
    const pid_t child = ::fork();
    if (child == 0) {
      const int slave = ::open(slaveName.c_str(), O_RDWR);
      ::dup2(slave, 0);
      ::dup2(slave, 1);
      ::dup2(slave, 2);
      ::execv(TRELLICAST_HOST_BIN, argv.data());
      ::_exit(127);
    }
    return {master, child};
  }

  id3w::TempDir temp;
  const fs::path dir = temp.root();
  const fs::path config = dir / "config" / "trellicast.conf";
};

TEST_F(Host, PlaysNonInteractivelyAndQuitsCleanly) {
  writeTagged(dir / "one.mp3", "The Testers", "First Song");
  std::ofstream(dir / "plain.track.mp3") << "no tag here";
  set("Enabled", "0");
  set("Interval", "1");
  const auto start = std::chrono::steady_clock::now();
  const Outcome r =
      host("play --track-seconds 0.3 --quit-after 1 " + shellQuoted((dir / "one.mp3").string()) +
           " " + shellQuoted((dir / "plain.track.mp3").string()));
  const auto took = std::chrono::steady_clock::now() - start;
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "") << "no box was shown";
  const std::string expected = "config: " + config.string() +
                               "\n"
                               "loaded: " TRELLICAST_PRODUCT
                               " Plug-In v0.1 (gen_Trellicast.so)\n"
                               "update timer: every 1000 ms\n"
                               "playing 1/2: The Testers - First Song (" +
                               (dir / "one.mp3").string() +
                               ")\n"
                               "playing 2/2: plain.track (" +
                               (dir / "plain.track.mp3").string() + ")\nstopped\nquit\n";
  EXPECT_EQ(r.out, expected);
  EXPECT_LT(took, std::chrono::seconds(8));
}

TEST_F(Host, TimerPeriodFollowsTheStoredInterval) {
  std::ofstream(dir / "a.mp3") << "x";
  struct Case {
    const char* interval;  // as given to set
    const char* line;
  } cases[] = {
      {"2", "update timer: every 2000 ms"},
      {"0", "update timer: every 10 ms"},                   // raised to the shortest period
      {"2147483647", "update timer: every 2147483647 ms"},  // clamped, never wrapped
      {"4294968", "update timer: every 2147483647 ms"},     // product past 32 bits
  };
  set("Enabled", "0");
  for (const auto& c : cases) {
    SCOPED_TRACE(c.interval);
    set("Interval", c.interval);
    const Outcome r = host("play --quit-after 0.2 " + shellQuoted((dir / "a.mp3").string()));
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find(std::string(c.line) + "\n"), std::string::npos) << r.out;
  }
}

TEST_F(Host, StoreThatCannotBeOpenedGivesTheBoxOnStandardError) {
  std::ofstream(dir / "a.mp3") << "x";
  struct Case {
    const char* what;
    std::function<void()> prepare;
    const char* box;
  } cases[] = {
      {"the file is a folder", [&] { fs::create_directories(config); },
       "[Error] Cannot open registry key: (errcode=21)\n"},
      {"the file's folder is a file",
       [&] {
         fs::remove_all(dir / "config");
         std::ofstream(dir / "config") << "file";
       },
       "[Error] Cannot open registry key: (errcode=20)\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    c.prepare();
    const Outcome r = host("play --quit-after 0.2 " + shellQuoted((dir / "a.mp3").string()));
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, c.box);
    EXPECT_NE(r.out.find("loaded: " TRELLICAST_PRODUCT " Plug-In v0.1 (gen_Trellicast.so)\n"),
              std::string::npos);
    EXPECT_NE(r.out.find("update timer: not armed\n"), std::string::npos);
  }
}

TEST_F(Host, ModuleThatCannotRunIsRefusedOnOneLine) {
  std::ofstream(dir / "a.mp3") << "x";
  const std::string missing = (dir / "missing.so").string();
  // The backend's library beside the player loads but has no plug-in record.
  const std::string backend =
      (fs::path(TRELLICAST_HOST_BIN).parent_path() / "libtrellicast_posix.so").string();
  struct Case {
    std::string module;
    std::string err;  // the start of the one line on standard error
  } cases[] = {
      {missing, "trellicast-host: cannot load " + missing + ": "},
      {backend, "trellicast-host: " + backend + " is not a plug-in module\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.module);
    const Outcome r = host("--module " + shellQuoted(c.module) + " play --quit-after 5 " +
                           shellQuoted((dir / "a.mp3").string()));
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "") << "nothing ran";
    EXPECT_EQ(r.err.rfind(c.err, 0), 0u) << r.err;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
  }
}

TEST_F(Host, AnswersThePluginsQueriesWhilePlaying) {
  gauntlet::FaultServer receiver;
  ASSERT_TRUE(receiver.ok());
  const fs::path song = songPostingTo("http://127.0.0.1:" + std::to_string(receiver.port()) + "/in",
                                      "Band & Co", "Tune = 100%");
  const Outcome r = host("play --track-seconds 1.5 --quit-after 2.7 " + shellQuoted(song.string()));
  EXPECT_EQ(r.status, 0) << r.err;
  const auto bodies = ::bodies(receiver);
  ASSERT_GE(bodies.size(), 2u) << r.out << r.err;
  // Ticks at about 1 s (playing) and 2 s (stopped after the only entry).
  const auto first = formFields(bodies.front());
  const auto last = formFields(bodies.back());
  EXPECT_EQ(first.at("wm_data[status]"), "1");
  EXPECT_EQ(last.at("wm_data[status]"), "0");
  for (const auto& fields : {first, last}) {
    EXPECT_EQ(fields.at("wm_action"), "wm_data");
    EXPECT_EQ(fields.at("wm_data[title]"), "Band & Co - Tune = 100%");
  }
}

// The player tells its window of each change, so at interval 10 every track
// and the stop go out as they happen; tracks shorter than the settling time
// are never posted, only the state they end in.
TEST_F(Host, ChangesPostAsTheyHappenAtIntervalTen) {
  gauntlet::FaultServer receiver;
  ASSERT_TRUE(receiver.ok());
  set("URL", "http://127.0.0.1:" + std::to_string(receiver.port()) + "/in");
  set("Interval", "10");
  struct Case {
    const char* what;
    int tracks;
    const char* trackSeconds;
    const char* quitAfter;
    std::vector<std::string> posts;  // "status title", in order
  } cases[] = {
      {"three 2 s tracks, then stopped",
       3,
       "2",
       "7",
       {"1 A - T1", "1 A - T2", "1 A - T3", "0 A - T3"}},
      {"six 0.1 s tracks, then stopped", 6, "0.1", "1.5", {"0 A - T6"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    std::string files;
    for (int i = 1; i <= c.tracks; ++i) {
      const fs::path song = dir / ("t" + std::to_string(i) + ".mp3");
      writeTagged(song, "A", "T" + std::to_string(i));
      files += " " + shellQuoted(song.string());
    }
    const Outcome r = host(std::string("play --track-seconds ") + c.trackSeconds +
                           " --quit-after " + c.quitAfter + files);
    EXPECT_EQ(r.status, 0) << r.err;
    std::vector<std::string> posts;
    for (const auto& post : receiver.take()) {
      const auto fields = formFields(post.body);
      posts.push_back(fields.at("wm_data[status]") + " " + fields.at("wm_data[title]"));
    }
    EXPECT_EQ(posts, c.posts) << r.out;
  }
}

TEST_F(Host, SendThatNeverEndsHoldsNeitherThePlayerNorItsQuit) {
  // A port that takes the connection and never answers the TLS handshake:
  // each send runs 5 s on the sender thread. The player's ticks and its
  // quit do not wait for it; the module is unloaded while it runs; its
  // failure is shown once, at the first tick after it ended.
#if defined(__SANITIZE_ADDRESS__)
  constexpr auto SLACK = std::chrono::milliseconds(1500);
#else
  constexpr auto SLACK = std::chrono::milliseconds(500);
#endif
  gauntlet::FaultServer silent(gauntlet::Fault::neverRead);
  ASSERT_TRUE(silent.ok());
  const fs::path song = songPostingTo("https://127.0.0.1:" + std::to_string(silent.port()) + "/np");
  struct Case {
    const char* quitAfter;
    std::chrono::milliseconds runs;
    size_t boxes;
  } cases[] = {
      {"3", std::chrono::milliseconds(3000), 0},    // quit during the first send
      {"7.5", std::chrono::milliseconds(7500), 1},  // its outcome taken at about 7 s
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.quitAfter);
    const auto start = std::chrono::steady_clock::now();
    const Outcome r = host("play --track-seconds 60 --quit-after " + std::string(c.quitAfter) +
                           " " + shellQuoted(song.string()));
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_LT(took, c.runs + SLACK);
    EXPECT_GE(took, c.runs);
    std::string boxes;
    for (size_t i = 0; i < c.boxes; ++i)
      boxes += "[Error] Cannot HttpSendRequestEx: (errcode=28)\n";
    EXPECT_EQ(r.err, boxes);
    EXPECT_EQ(r.out.substr(r.out.size() - 5), "quit\n") << r.out;
  }
}

TEST_F(Host, KeysOnATerminalPauseAndQuitAndTheTerminalIsRestored) {
  gauntlet::FaultServer receiver;
  ASSERT_TRUE(receiver.ok());
  const std::string song =
      songPostingTo("http://127.0.0.1:" + std::to_string(receiver.port()) + "/in").string();
  const auto [master, child] =
      startOnTerminal({"play", "--track-seconds", "60", "--quit-after", "15", song});
  ASSERT_GE(master, 0);
  ASSERT_GE(child, 0);
  const std::string slaveName = ::ptsname(master);
  // Everything the player prints, drained as it comes.
  std::string shown;
  auto drain = [&](int ms) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (std::chrono::steady_clock::now() < end) {
      pollfd p{master, POLLIN, 0};
      if (::poll(&p, 1, 20) > 0) {
        char buf[1024];
        const ssize_t n = ::read(master, buf, sizeof buf);
        if (n > 0) shown.append(buf, static_cast<size_t>(n));
      }
    }
  };
  drain(600);
  ASSERT_EQ(::write(master, " ", 1), 1);  // pause
  drain(1500);
  const int slave = ::open(slaveName.c_str(), O_RDWR | O_NOCTTY);
  termios during{};
  ASSERT_EQ(::tcgetattr(slave, &during), 0);
  ASSERT_EQ(::write(master, "q", 1), 1);
  drain(600);
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  termios after{};
  ASSERT_EQ(::tcgetattr(slave, &after), 0);
  ::close(slave);
  ::close(master);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << shown;
  EXPECT_NE(shown.find("paused"), std::string::npos) << shown;
  EXPECT_NE(shown.find("quit"), std::string::npos) << shown;
  EXPECT_EQ(during.c_lflag & (ICANON | ECHO), 0u) << "keys without Enter, no echo";
  EXPECT_EQ(after.c_lflag & (ICANON | ECHO), static_cast<tcflag_t>(ICANON | ECHO))
      << "terminal restored on exit";
  const auto bodies = ::bodies(receiver);
  ASSERT_FALSE(bodies.empty()) << shown;
  EXPECT_EQ(formFields(bodies.back()).at("wm_data[status]"), "3");
}

TEST_F(Host, SetGetAndUnsetEditTheConfigFile) {
  struct Step {
    std::string args;
    int status;
    std::string out;
    std::string err = "";
  } steps[] = {
      {"get", 0, ""},
      {"set URL 'http://h/p?a=1&b=2'", 0, ""},
      {"set interval 31", 0, ""},
      {"set OutputTemplate ' two  words '", 0, ""},
      {"get", 0, "URL=http://h/p?a=1&b=2\nInterval=31\nOutputTemplate=\" two  words \"\n"},
      {"get Interval", 0, "Interval=31\n"},
      {"set Interval 4294967296", 1, "",
       "trellicast-host: Interval takes a whole number from 0 to 4294967295\n"},
      {"set Colour red", 1, "",
       "trellicast-host: no setting is named Colour (URL, Enabled, Interval, Utf8, OutputFolder, "
       "OutputTemplate, OutputStopped, SendCover, Discord, DiscordAppId, DiscordPaused, ListenUrl, "
       "ListenToken)\n"},
      {"set URL", 1, "", "trellicast-host: set takes NAME VALUE\n"},
      {"unset url", 0, ""},
      {"get URL", 1, "", "trellicast-host: URL is not set\n"},
      {"reg add x", 1, "", "trellicast-host: unknown command reg (play, mpris, set, get, unset)\n"},
  };
  for (const auto& s : steps) {
    SCOPED_TRACE(s.args);
    const Outcome r = host(s.args);
    EXPECT_EQ(r.status, s.status);
    EXPECT_EQ(r.out, s.out);
    EXPECT_EQ(r.err, s.err);
  }
  EXPECT_EQ(readFile(config), "Interval=31\nOutputTemplate=\" two  words \"\n");
}

// On a terminal a box waits for Enter, but the player and the module go on:
// every change still goes out while the box of the first failure waits.
TEST_F(Host, ABoxOnATerminalHoldsNoPosts) {
  gauntlet::FaultServer receiver(gauntlet::Fault::status404);
  ASSERT_TRUE(receiver.ok());
  set("URL", "http://127.0.0.1:" + std::to_string(receiver.port()) + "/in");
  set("Interval", "10");
  std::vector<std::string> songs;
  for (int i = 1; i <= 3; ++i) {
    songs.push_back((dir / ("t" + std::to_string(i) + ".mp3")).string());
    writeTagged(songs.back(), "A", "T" + std::to_string(i));
  }
  const auto [master, child] = startOnTerminal(
      {"play", "--track-seconds", "1.5", "--quit-after", "6", songs[0], songs[1], songs[2]});
  ASSERT_GE(master, 0);
  ASSERT_GE(child, 0);
  std::string shown;
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(12);
  for (int status = 0; std::chrono::steady_clock::now() < end;) {
    pollfd p{master, POLLIN, 0};
    if (::poll(&p, 1, 20) > 0) {
      char buf[1024];
      const ssize_t n = ::read(master, buf, sizeof buf);
      if (n > 0) shown.append(buf, static_cast<size_t>(n));
    }
    if (::waitpid(child, &status, WNOHANG) == child) break;
  }
  ::close(master);
  std::vector<std::string> posts;
  for (const auto& post : receiver.take()) {
    const auto fields = formFields(post.body);
    posts.push_back(fields.at("wm_data[status]") + " " + fields.at("wm_data[title]"));
  }
  EXPECT_EQ(posts, (std::vector<std::string>{"1 A - T1", "1 A - T2", "1 A - T3", "0 A - T3"}))
      << shown;
  const std::string box = "== Error ==\r\nThe server answered 404 Not Found\r\n[Press Enter]";
  EXPECT_NE(shown.find(box), std::string::npos) << shown;
  EXPECT_EQ(shown.find(box), shown.rfind(box)) << "shown once";
}

}  // namespace

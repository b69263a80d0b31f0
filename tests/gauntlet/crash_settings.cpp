// Kills a process that keeps saving the settings, with SIGKILL at random
// moments, again and again; after every kill the store must open and hold
// exactly one of the two sets of settings that were being saved, whole,
// with no temporary file left behind.
//
//   crash_settings [--kills N] [--seed S] [--max-delay-us U]
//
// A child saves set A and set B in turn through the core's saveSettings on
// the real POSIX store (the recording double stands in for timers and
// boxes). Exit status 0 when every kill left A or B, 1 otherwise.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>

#include "base/settings.h"
#include "base/state.h"
#include "platform/port.h"
#include "platform/posix/system.h"
#include "tests/support/fake_platform.h"

namespace fs = std::filesystem;

namespace {

struct Settings {
  std::string url;
  int32_t enabled;
  int32_t interval;
};

const Settings SETTINGS_OLD = {"http://127.0.0.1:8000/old", 1, 10};
const Settings SETTINGS_NEW = {"http://127.0.0.1:9000/a/longer/path/for/the/new/settings?x=1&y=2",
                               0, 3600};

enum class Seen { a, b, mixed, damaged };

// Reads the three values through the store as a reader process would.
Seen readBack(std::string* detail) {
  char url[2048] = {};
  platform::Setting read[] = {
      {.name = "URL", .kind = platform::SettingKind::text, .buffer = url, .capacity = sizeof url},
      {.name = "Enabled", .kind = platform::SettingKind::number},
      {.name = "Interval", .kind = platform::SettingKind::number},
  };
  const long rc = platform::readSettings(read, 3);
  if (rc != 0 || read[0].error != 0 || read[1].error != 0 || read[2].error != 0) {
    *detail = "the store does not read: " + std::to_string(rc);
    return Seen::damaged;
  }
  const auto enabled = static_cast<int32_t>(read[1].number);
  const auto interval = static_cast<int32_t>(read[2].number);
  const std::string got(url);
  *detail = got + " enabled=" + std::to_string(enabled) + " interval=" + std::to_string(interval);
  for (const auto* s : {&SETTINGS_OLD, &SETTINGS_NEW}) {
    if (got == s->url && enabled == s->enabled && interval == s->interval)
      return s == &SETTINGS_OLD ? Seen::a : Seen::b;
  }
  return Seen::mixed;
}

[[noreturn]] void saveForever(int ready) {
  fake::reset();
  resetState();
  for (unsigned i = 0;; ++i) {
    const Settings& s = i % 2 ? SETTINGS_OLD : SETTINGS_NEW;
    saveSettings(s.url.c_str(), s.enabled, s.interval);
    if (i == 0) {
      const char byte = 1;
      if (::write(ready, &byte, 1) != 1) ::_exit(3);
      ::close(ready);
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  int kills = 200;
  unsigned seed = std::random_device{}();
  unsigned maxDelayUs = 30000;
  for (int i = 1; i + 1 < argc; i += 2) {
    if (std::strcmp(argv[i], "--kills") == 0) kills = std::atoi(argv[i + 1]);
    if (std::strcmp(argv[i], "--seed") == 0) seed = static_cast<unsigned>(std::atol(argv[i + 1]));
    if (std::strcmp(argv[i], "--max-delay-us") == 0)
      maxDelayUs = static_cast<unsigned>(std::atol(argv[i + 1]));
  }
  char pattern[] = "/tmp/trellicast-crash-XXXXXX";
  if (::mkdtemp(pattern) == nullptr) return 2;
  const fs::path dir = pattern;
  const fs::path file = dir / "trellicast.conf";
  platform::posix::setConfigPath(file.string());
  fake::reset();
  resetState();
  saveSettings(SETTINGS_OLD.url.c_str(), SETTINGS_OLD.enabled, SETTINGS_OLD.interval);

  std::mt19937 random(seed);
  std::uniform_int_distribution<unsigned> delay(0, maxDelayUs);
  int counts[4] = {};
  int leftovers = 0;
  for (int k = 0; k < kills; ++k) {
    int pipe[2];
    if (::pipe(pipe) != 0) return 2;
    const pid_t child = ::fork();
    if (child < 0) return 2;
    if (child == 0) {
      ::close(pipe[0]);
      saveForever(pipe[1]);
    }
    ::close(pipe[1]);
    char byte = 0;
    const bool started = ::read(pipe[0], &byte, 1) == 1;
    ::close(pipe[0]);
    ::usleep(delay(random));
    ::kill(child, SIGKILL);
    int status = 0;
    ::waitpid(child, &status, 0);
    if (!started) {
      std::fprintf(stderr, "kill %d: the saving process did not start\n", k);
      return 2;
    }
    std::string detail;
    const Seen seen = readBack(&detail);
    ++counts[static_cast<int>(seen)];
    if (seen == Seen::mixed || seen == Seen::damaged)
      std::fprintf(stderr, "kill %d: %s: %s\n", k, seen == Seen::mixed ? "MIX" : "DAMAGED",
                   detail.c_str());
    // Whatever the killed process left (its temporary file) is gone once
    // the store has been read again, and the file is the user's alone.
    if ((fs::status(file).permissions() & fs::perms::all) !=
        (fs::perms::owner_read | fs::perms::owner_write)) {
      ++leftovers;
      std::fprintf(stderr, "kill %d: the file is not 0600\n", k);
    }
    for (const auto& entry : fs::directory_iterator(dir)) {
      if (entry.path() != file) {
        ++leftovers;
        std::fprintf(stderr, "kill %d: left behind: %s\n", k, entry.path().filename().c_str());
      }
    }
  }
  std::printf(
      "crash_settings: %d kills (seed %u, delays up to %u us): old %d, new %d, mixed %d, "
      "damaged %d, files left behind %d\n",
      kills, seed, maxDelayUs, counts[0], counts[1], counts[2], counts[3], leftovers);
  fs::remove_all(dir);
  return counts[2] == 0 && counts[3] == 0 && leftovers == 0 ? 0 : 1;
}

// trellicast-host: a stand-in media player that loads the plug-in module and
// answers its window messages, and the editor of its config file.
//
//   trellicast-host [--config PATH] [--module PATH] play [--track-seconds N]
//                   [--quit-after N] FILE...
//   trellicast-host [--config PATH] [--module PATH] mpris [--player NAME]
//                   [--quit-after N] [--refresh N]
//   trellicast-host [--config PATH] set NAME VALUE | get [NAME] | unset NAME
//
// The mpris mode follows a desktop player on the session bus instead
// (host/mpris.h). The player does not decode audio: each entry "plays" for --track-seconds
// (default 10), then the next one starts; after the last one it stays
// stopped until it is told to quit. Keys on a terminal: space pause/resume,
// n next, c configure, q quit. Each change of what it plays is told to its
// own window (3003 when an entry starts, 603 with 2 when it pauses, resumes
// or stops), as the module expects of a player.
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "base/player.h"
#include "host/module_run.h"
#include "host/mpris.h"
#include "host/seconds.h"
#include "platform/port.h"
#include "platform/posix/store.h"
#include "platform/posix/system.h"
#include "platform/unicode.h"
#include "tags/tag_title.h"

namespace posix = platform::posix;
using host::say;

namespace {

void usage() {
  std::fputs(
      "usage: trellicast-host [--config PATH] [--module PATH] play [--track-seconds N]\n"
      "                       [--quit-after N] FILE...\n"
      "       trellicast-host [--config PATH] [--module PATH] mpris [--player NAME]\n"
      "                       [--quit-after N] [--refresh N]\n"
      "       trellicast-host [--config PATH] set NAME VALUE | get [NAME] | unset NAME\n",
      stderr);
}

// ---- Titles -------------------------------------------------------------------

std::string fileTitle(const std::string& path) {
  std::string name = path.substr(path.rfind('/') + 1);
  const size_t dot = name.rfind('.');
  if (dot != std::string::npos && dot > 0) name.erase(dot);
  return name;
}

// "Artist - Title" when the file's tag has both, else the file name. Read
// by the plug-in's own tag readers, behind the same guards.
std::string entryTitle(const std::string& path) {
  const std::string title = tagTitle(path.c_str());
  return title.empty() ? fileTitle(path) : title;
}

// ---- The player ------------------------------------------------------------------

struct Entry {
  std::string path;
  std::string title;
  std::u16string wideTitle;  // the title in UTF-16, for 213
};

std::u16string wideText(const std::string& text) { return unicode::utf8ToUtf16(text); }

struct Playlist {
  std::vector<Entry> entries;
  size_t position = 0;
  int status = STOPPED;
  uint32_t trackMs = 10000;
  uint64_t trackEnd = 0;  // delayed callback ending the current entry
  std::chrono::steady_clock::time_point startedAt;
  uint32_t remainingMs = 0;
};

Playlist player;

void next();

void armTrackEnd(uint32_t ms) {
  posix::cancelDelayed(player.trackEnd);
  player.remainingMs = ms;
  player.startedAt = std::chrono::steady_clock::now();
  player.trackEnd = posix::runDelayed(ms, next);
}

void start(size_t position) {
  player.position = position;
  player.status = PLAYING;
  const Entry& e = player.entries[position];
  say("playing " + std::to_string(position + 1) + "/" + std::to_string(player.entries.size()) +
      ": " + e.title + " (" + e.path + ")");
  armTrackEnd(player.trackMs);
  host::notifyWindow(reinterpret_cast<uintptr_t>(e.path.c_str()), NOTIFY_NEW_FILE);
}

void stop() {
  posix::cancelDelayed(player.trackEnd);
  if (player.status == STOPPED) return;  // 'n' after the end changes nothing
  player.status = STOPPED;
  say("stopped");
  host::notifyWindow(STATUS_CHANGED, NOTIFY_CHANGED);
}

void next() {
  if (player.position + 1 < player.entries.size()) {
    start(player.position + 1);
  } else {
    stop();
  }
}

void togglePause() {
  if (player.status == PLAYING) {
    posix::cancelDelayed(player.trackEnd);
    const auto played = std::chrono::duration_cast<std::chrono::milliseconds>(
                            std::chrono::steady_clock::now() - player.startedAt)
                            .count();
    player.remainingMs =
        played >= player.remainingMs ? 0 : player.remainingMs - static_cast<uint32_t>(played);
    player.status = PAUSED;
    say("paused");
    host::notifyWindow(STATUS_CHANGED, NOTIFY_CHANGED);
  } else if (player.status == PAUSED) {
    player.status = PLAYING;
    say("resumed");
    armTrackEnd(player.remainingMs);
    host::notifyWindow(STATUS_CHANGED, NOTIFY_CHANGED);
  } else {
    start(0);
  }
}

// Where the playing track is (wParam 0, ms) or how long it is (wParam 1,
// seconds), by the player's own clock; -1 while stopped.
intptr_t outputTime(uintptr_t wParam) {
  if (player.status == STOPPED) return -1;
  if (wParam == 1) return static_cast<intptr_t>((player.trackMs + 500) / 1000);
  uint64_t played = player.trackMs - player.remainingMs;
  if (player.status == PLAYING)
    played += static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                        std::chrono::steady_clock::now() - player.startedAt)
                                        .count());
  return static_cast<intptr_t>(std::min<uint64_t>(played, player.trackMs));
}

intptr_t hostWindowProcedure(platform::WindowHandle, unsigned message, uintptr_t wParam,
                             intptr_t code) {
  if (message != platform::USER_MESSAGE) return 0;
  switch (code) {
    case GET_STATUS:
      return player.status;
    case GET_LIST_POSITION:
      return static_cast<intptr_t>(player.position);
    case GET_OUTPUT_TIME:
      return outputTime(wParam);
    case GET_TITLE:
      return wParam < player.entries.size()
                 ? reinterpret_cast<intptr_t>(player.entries[wParam].title.c_str())
                 : 0;
    case GET_TITLE_WIDE:
      return wParam < player.entries.size()
                 ? reinterpret_cast<intptr_t>(player.entries[wParam].wideTitle.c_str())
                 : 0;
    case GET_FILE_NAME:
      return wParam < player.entries.size()
                 ? reinterpret_cast<intptr_t>(player.entries[wParam].path.c_str())
                 : 0;
    default:
      return 0;
  }
}

void onKey(unsigned char key) {
  if (key == ' ') {
    togglePause();
  } else if (key == 'n') {
    next();
  }
}

std::string besideSelf(const char* name) {
  char self[4096];
  const ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
  if (n <= 0) return name;
  std::string path(self, static_cast<size_t>(n));
  return path.substr(0, path.rfind('/') + 1) + name;
}

int play(const std::string& modulePath, const std::vector<std::string>& args) {
  host::ModuleRun mode;
  std::vector<std::string> files;
  for (size_t i = 0; i < args.size(); ++i) {
    if (args[i] == "--track-seconds" && i + 1 < args.size()) {
      if (!host::parseSeconds(args[++i].c_str(), &player.trackMs) || player.trackMs == 0) {
        std::fprintf(stderr, "trellicast-host: bad --track-seconds %s\n", args[i].c_str());
        return 2;
      }
    } else if (args[i] == "--quit-after" && i + 1 < args.size()) {
      uint32_t ms = 0;
      if (!host::parseSeconds(args[++i].c_str(), &ms)) {
        std::fprintf(stderr, "trellicast-host: bad --quit-after %s\n", args[i].c_str());
        return 2;
      }
      mode.quitAfterMs = ms;
    } else if (args[i].rfind("--", 0) == 0 && args[i] != "--") {
      usage();
      return 2;
    } else {
      files.push_back(args[i]);
    }
  }
  if (files.empty()) {
    usage();
    return 2;
  }
  for (const auto& f : files) {
    const std::string title = entryTitle(f);
    player.entries.push_back({f, title, wideText(title)});
  }

  host::LoadedModule module;
  if (!host::loadModule(modulePath, &module)) return 1;
  mode.answer = hostWindowProcedure;
  mode.onKey = onKey;
  mode.keys = "space pause/resume, n next";
  mode.begin = [] { start(0); };
  mode.end = [] { posix::cancelDelayed(player.trackEnd); };
  host::runModule(std::move(module), mode);
  return 0;
}

// ---- The config file ----------------------------------------------------------------

int failed(const std::string& line) {
  std::fprintf(stderr, "trellicast-host: %s\n", line.c_str());
  return 1;
}

// set NAME VALUE, get [NAME], unset NAME.
int configCommand(const std::string& command, const std::vector<std::string>& args) {
  const size_t wanted = command == "set" ? 2 : 1;
  if (args.size() != wanted && !(command == "get" && args.empty()))
    return failed(command + " takes " + (command == "set" ? "NAME VALUE" : "NAME"));
  const platform::SettingName* known = args.empty() ? nullptr : posix::settingNamed(args[0]);
  if (!args.empty() && known == nullptr) {
    std::string names;
    for (const auto& n : platform::SETTING_NAMES)
      names += std::string(names.empty() ? "" : ", ") + n.name;
    return failed("no setting is named " + args[0] + " (" + names + ")");
  }
  int rc = 0;
  if (command == "get") {
    std::vector<std::pair<std::string, std::string>> stored;
    rc = posix::storedSettings(&stored);
    bool shown = false;
    for (const auto& [name, value] : stored) {
      if (known != nullptr && name != known->name) continue;
      say(name + "=" + posix::quoted(value));
      shown = true;
    }
    if (rc == 0 && known != nullptr && !shown)
      return failed(std::string(known->name) + " is not set");
  } else if (command == "unset") {
    rc = posix::changeSetting(known->name, std::nullopt);
  } else {
    rc = posix::changeSetting(known->name, args[1]);
    if (rc == EINVAL)
      return failed(std::string(known->name) + " takes a whole number from 0 to 4294967295");
  }
  return rc == 0 ? 0 : failed(posix::configPath() + ": " + std::strerror(rc));
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  std::string modulePath = besideSelf("gen_Trellicast.so");
  size_t i = 0;
  for (; i < args.size(); ++i) {
    if (args[i] == "--config" && i + 1 < args.size()) {
      posix::setConfigPath(args[++i]);
    } else if (args[i] == "--module" && i + 1 < args.size()) {
      modulePath = args[++i];
    } else {
      break;
    }
  }
  if (i >= args.size()) {
    usage();
    return 2;
  }
  const std::string command = args[i];
  const std::vector<std::string> rest(args.begin() + static_cast<long>(i) + 1, args.end());
  if (command == "play") return play(modulePath, rest);
  if (command == "set" || command == "get" || command == "unset")
    return configCommand(command, rest);
  if (command == "mpris") return host::mprisMode(modulePath, rest);
  return failed("unknown command " + command + " (play, mpris, set, get, unset)");
}

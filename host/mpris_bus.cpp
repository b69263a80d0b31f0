// Players on the session bus, followed through sd-bus on the player's own
// event loop.
//
// Order of start-up: the two signal matches (NameOwnerChanged for names under
// org.mpris.MediaPlayer2, PropertiesChanged of the Player interface) are
// sent before ListNames; the bus daemon handles one connection's messages in
// order, so a player that appears in between is seen by the match. Each
// listed name is resolved to its unique name (GetNameOwner), because
// property signals come from the unique name, and then asked for all its
// properties (GetAll). A signal that only invalidates properties, and the
// periodic refresh, ask again; one GetAll per player is in flight at a time.
//
// What players send is read tolerantly: a property of an unexpected type is
// skipped, artists may be a list or one string, the title a string or a
// list, and a message that cannot be read changes nothing.
#include "host/mpris_bus.h"

#include <systemd/sd-bus.h>
#include <time.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <vector>

#include "platform/posix/system.h"

namespace host::mpris {

namespace {

constexpr uint64_t CALL_TIMEOUT_US = 2'000'000;
constexpr int MESSAGES_PER_DISPATCH = 64;  // then timers get their turn
constexpr const char* PLAYER_PATH = "/org/mpris/MediaPlayer2";
constexpr const char* PLAYER_INTERFACE = "org.mpris.MediaPlayer2.Player";

struct BusCloser {
  void operator()(sd_bus* bus) const { sd_bus_close_unref(bus); }  // no flush: never blocks
};
struct SlotCloser {
  void operator()(sd_bus_slot* slot) const { sd_bus_slot_unref(slot); }
};
struct MessageCloser {
  void operator()(sd_bus_message* m) const { sd_bus_message_unref(m); }
};
using BusOwner = std::unique_ptr<sd_bus, BusCloser>;
using SlotOwner = std::unique_ptr<sd_bus_slot, SlotCloser>;
using MessageOwner = std::unique_ptr<sd_bus_message, MessageCloser>;

struct BusPlayer {
  std::string name;   // well-known name
  std::string owner;  // unique name; empty until known
  Playback playback = Playback::stopped;
  Track track;
  uint64_t lastChange = 0;
  SlotOwner ownerCall;
  SlotOwner getAll;
  bool getAllAgain = false;  // asked for while one was in flight
};

struct Follower {
  BusOwner bus;
  std::string filter;
  uint32_t refreshMs = 30000;
  void (*onLost)() = nullptr;
  void (*onChange)() = nullptr;
  // std::map keeps each BusPlayer where it is: calls in flight point at it.
  std::map<std::string, BusPlayer> players;
  SlotOwner nameMatch, propertiesMatch, listCall;
  uint64_t changes = 0;
  uint64_t refreshId = 0;
  bool more = false;  // the last dispatch stopped with messages left
  std::string shown;  // the last "mpris:" line printed
};

Follower& follower() {
  static Follower* instance = new Follower();  // outlives callbacks during exit
  return *instance;
}

// ---- Reading values ---------------------------------------------------------------

// A variant's content as far as the properties we read care.
struct Value {
  enum Kind { none, text, texts, number } kind = none;
  int64_t integer = -1;  // a whole number's value (a double's, cut)
  std::string string;
  std::vector<std::string> strings;
};

bool isStringType(char t) {
  return t == SD_BUS_TYPE_STRING || t == SD_BUS_TYPE_OBJECT_PATH || t == SD_BUS_TYPE_SIGNATURE;
}

bool isNumberType(char t) { return t != '\0' && std::strchr("ybnqiuxtd", t) != nullptr; }

// Reads the variant at the cursor (nested variants are unwrapped). False
// when the message cannot be read further.
bool readVariant(sd_bus_message* m, Value* value, int depth = 0) {
  char type = 0;
  const char* contents = nullptr;
  if (sd_bus_message_peek_type(m, &type, &contents) <= 0 || type != SD_BUS_TYPE_VARIANT ||
      contents == nullptr) {
    return false;
  }
  if (sd_bus_message_enter_container(m, SD_BUS_TYPE_VARIANT, contents) <= 0) return false;
  const std::string sig(contents);
  int r = 0;
  if (sig.size() == 1 && isStringType(sig[0])) {
    const char* s = nullptr;
    r = sd_bus_message_read_basic(m, sig[0], &s);
    if (r > 0) {
      value->kind = Value::text;
      value->string = s != nullptr ? s : "";
    }
  } else if (sig.size() == 2 && sig[0] == SD_BUS_TYPE_ARRAY && isStringType(sig[1])) {
    r = sd_bus_message_enter_container(m, SD_BUS_TYPE_ARRAY, sig.c_str() + 1);
    if (r > 0) {
      value->kind = Value::texts;
      const char* s = nullptr;
      while ((r = sd_bus_message_read_basic(m, sig[1], &s)) > 0) {
        value->strings.emplace_back(s != nullptr ? s : "");
      }
      if (r == 0) r = sd_bus_message_exit_container(m);
    }
  } else if (sig == "x" || sig == "t") {
    int64_t n = 0;
    r = sd_bus_message_read_basic(m, sig[0], &n);
    value->kind = Value::number;
    value->integer = n;
  } else if (sig == "i" || sig == "u") {
    int32_t n = 0;
    r = sd_bus_message_read_basic(m, sig[0], &n);
    value->kind = Value::number;
    value->integer = sig == "u" ? static_cast<uint32_t>(n) : n;
  } else if (sig == "d") {
    double n = 0;
    r = sd_bus_message_read_basic(m, sig[0], &n);
    value->kind = Value::number;
    value->integer = static_cast<int64_t>(n);
  } else if (sig.size() == 1 && isNumberType(sig[0])) {
    value->kind = Value::number;
    r = sd_bus_message_skip(m, contents);
  } else if (sig == "v" && depth < 4) {
    r = readVariant(m, value, depth + 1) ? 1 : -EBADMSG;
  } else {
    r = sd_bus_message_skip(m, contents);
  }
  if (r < 0) return false;
  return sd_bus_message_exit_container(m) >= 0;
}

// Reads a{sv} at the cursor, calling onEntry(key) with the cursor at each
// entry's variant; onEntry must read or skip it. False when unreadable.
template <typename OnEntry>
bool readDictionary(sd_bus_message* m, OnEntry onEntry) {
  if (sd_bus_message_enter_container(m, SD_BUS_TYPE_ARRAY, "{sv}") <= 0) return false;
  int r = 0;
  while ((r = sd_bus_message_enter_container(m, SD_BUS_TYPE_DICT_ENTRY, "sv")) > 0) {
    const char* key = nullptr;
    if (sd_bus_message_read_basic(m, SD_BUS_TYPE_STRING, &key) <= 0) return false;
    if (!onEntry(std::string(key != nullptr ? key : ""))) return false;
    if (sd_bus_message_exit_container(m) < 0) return false;
  }
  if (r < 0) return false;
  return sd_bus_message_exit_container(m) >= 0;
}

// Metadata (a{sv} inside the variant at the cursor) into a track. Keys we
// do not use (length, art...) are skipped whatever their type.
bool readMetadata(sd_bus_message* m, Track* track) {
  char type = 0;
  const char* contents = nullptr;
  if (sd_bus_message_peek_type(m, &type, &contents) <= 0 || type != SD_BUS_TYPE_VARIANT) {
    return false;
  }
  if (contents == nullptr || std::strcmp(contents, "a{sv}") != 0) {
    // Not a dictionary: the player gives no usable track.
    *track = {};
    return sd_bus_message_skip(m, "v") >= 0;
  }
  if (sd_bus_message_enter_container(m, SD_BUS_TYPE_VARIANT, contents) <= 0) return false;
  Track t;
  const bool ok = readDictionary(m, [m, &t](const std::string& key) {
    Value v;
    if (!readVariant(m, &v)) return false;
    const auto first = [&v] { return v.strings.empty() ? std::string() : v.strings.front(); };
    if (key == "xesam:title") {
      t.title = v.kind == Value::text ? v.string : v.kind == Value::texts ? first() : "";
    } else if (key == "xesam:artist") {
      if (v.kind == Value::texts) t.artists = v.strings;
      if (v.kind == Value::text) t.artists = {v.string};
    } else if (key == "xesam:url") {
      t.url = v.kind == Value::text ? v.string : v.kind == Value::texts ? first() : "";
    } else if (key == "mpris:artUrl") {
      t.artUrl = v.kind == Value::text ? v.string : "";
    } else if (key == "mpris:trackid") {
      t.id = v.kind == Value::text ? v.string : "";
    } else if (key == "mpris:length") {
      t.lengthUs = v.kind == Value::number && v.integer > 0 ? v.integer : -1;
    }
    return true;
  });
  if (!ok || sd_bus_message_exit_container(m) < 0) return false;
  *track = std::move(t);
  return true;
}

// The player properties we follow, from a GetAll answer or a signal.
struct Update {
  std::optional<Playback> playback;
  std::optional<Track> track;
};

bool readProperties(sd_bus_message* m, Update* update) {
  return readDictionary(m, [m, update](const std::string& key) {
    if (key == "PlaybackStatus") {
      Value v;
      if (!readVariant(m, &v)) return false;
      if (v.kind == Value::text) update->playback = playbackFromText(v.string);
      return true;
    }
    if (key == "Metadata") {
      Track t;
      if (!readMetadata(m, &t)) return false;
      update->track = std::move(t);
      return true;
    }
    return sd_bus_message_skip(m, "v") >= 0;
  });
}

// ---- Players ------------------------------------------------------------------------

void apply(BusPlayer& p, const Update& u) {
  bool changed = false;
  if (u.playback && *u.playback != p.playback) {
    p.playback = *u.playback;
    changed = true;
  }
  if (u.track && !(*u.track == p.track)) {
    p.track = *u.track;
    changed = true;
  }
  if (changed) p.lastChange = ++follower().changes;
}

MessageOwner newCall(const char* destination, const char* path, const char* interface,
                     const char* member) {
  sd_bus_message* m = nullptr;
  if (sd_bus_message_new_method_call(follower().bus.get(), &m, destination, path, interface,
                                     member) < 0) {
    return nullptr;
  }
  return MessageOwner(m);
}

// Sends m; the answer (or the error, or the time-out after 2 s) goes to
// handler. Returns the slot that cancels it, or none when it was not sent.
SlotOwner callAsync(MessageOwner m, sd_bus_message_handler_t handler, void* userdata) {
  if (!m) return nullptr;
  sd_bus_slot* slot = nullptr;
  if (sd_bus_call_async(follower().bus.get(), &slot, m.get(), handler, userdata, CALL_TIMEOUT_US) <
      0) {
    return nullptr;
  }
  return SlotOwner(slot);
}

void requestAll(BusPlayer& p);

int onGetAll(sd_bus_message* reply, void* userdata, sd_bus_error*) {
  BusPlayer& p = *static_cast<BusPlayer*>(userdata);
  p.getAll.reset();  // sd-bus holds its own reference while this runs
  if (!sd_bus_message_is_method_error(reply, nullptr)) {
    Update u;
    if (readProperties(reply, &u)) apply(p, u);
  }
  if (p.getAllAgain) {
    p.getAllAgain = false;
    requestAll(p);
  }
  return 0;
}

void requestAll(BusPlayer& p) {
  if (p.owner.empty()) return;
  if (p.getAll) {
    p.getAllAgain = true;
    return;
  }
  MessageOwner m =
      newCall(p.owner.c_str(), PLAYER_PATH, "org.freedesktop.DBus.Properties", "GetAll");
  if (m && sd_bus_message_append(m.get(), "s", PLAYER_INTERFACE) < 0) m.reset();
  p.getAll = callAsync(std::move(m), onGetAll, &p);
}

// A new owner for a player's name: a fresh player until it answers.
void setOwner(BusPlayer& p, const std::string& owner) {
  if (p.owner == owner) return;
  p.owner = owner;
  p.playback = Playback::stopped;
  p.track = {};
  p.lastChange = ++follower().changes;
  p.getAll.reset();
  p.getAllAgain = false;
  requestAll(p);
}

int onNameOwner(sd_bus_message* reply, void* userdata, sd_bus_error*) {
  BusPlayer& p = *static_cast<BusPlayer*>(userdata);
  p.ownerCall.reset();
  const char* owner = nullptr;
  if (!sd_bus_message_is_method_error(reply, nullptr) &&
      sd_bus_message_read_basic(reply, SD_BUS_TYPE_STRING, &owner) > 0 && owner != nullptr &&
      owner[0] != '\0') {
    if (p.owner.empty()) setOwner(p, owner);
  } else if (p.owner.empty()) {
    follower().players.erase(p.name);  // gone before it could be asked
  }
  return 0;
}

BusPlayer& addPlayer(const std::string& name) {
  BusPlayer& p = follower().players[name];
  if (p.name.empty()) {
    p.name = name;
    p.lastChange = ++follower().changes;
  }
  return p;
}

int onNameOwnerChanged(sd_bus_message* m, void*, sd_bus_error*) {
  const char *name = nullptr, *oldOwner = nullptr, *newOwner = nullptr;
  if (sd_bus_message_read(m, "sss", &name, &oldOwner, &newOwner) < 0 || name == nullptr ||
      newOwner == nullptr) {
    return 0;
  }
  Follower& f = follower();
  if (!wantedName(name, f.filter)) return 0;
  if (newOwner[0] == '\0') {
    f.players.erase(name);
    return 0;
  }
  BusPlayer& p = addPlayer(name);
  p.ownerCall.reset();  // the signal is newer than any answer still to come
  setOwner(p, newOwner);
  return 0;
}

int onPropertiesChanged(sd_bus_message* m, void*, sd_bus_error*) {
  const char* sender = sd_bus_message_get_sender(m);
  const char* interface = nullptr;
  if (sender == nullptr || sd_bus_message_read_basic(m, SD_BUS_TYPE_STRING, &interface) <= 0 ||
      interface == nullptr || std::strcmp(interface, PLAYER_INTERFACE) != 0) {
    return 0;
  }
  Update u;
  if (!readProperties(m, &u)) return 0;
  bool invalidated = false;
  if (sd_bus_message_enter_container(m, SD_BUS_TYPE_ARRAY, "s") > 0) {
    const char* s = nullptr;
    invalidated = sd_bus_message_read_basic(m, SD_BUS_TYPE_STRING, &s) > 0;
  }
  for (auto& [name, p] : follower().players) {
    if (p.owner != sender) continue;
    apply(p, u);
    if (invalidated) requestAll(p);
  }
  return 0;
}

int onListNames(sd_bus_message* reply, void*, sd_bus_error*) {
  Follower& f = follower();
  f.listCall.reset();
  if (sd_bus_message_is_method_error(reply, nullptr)) return 0;
  if (sd_bus_message_enter_container(reply, SD_BUS_TYPE_ARRAY, "s") <= 0) return 0;
  std::vector<std::string> listed;
  const char* s = nullptr;
  while (sd_bus_message_read_basic(reply, SD_BUS_TYPE_STRING, &s) > 0) {
    if (s != nullptr && wantedName(s, f.filter)) listed.emplace_back(s);
  }
  // Names the daemon no longer lists are gone (a signal was missed).
  for (auto it = f.players.begin(); it != f.players.end();) {
    bool found = false;
    for (const auto& n : listed) found = found || n == it->first;
    it = found ? std::next(it) : f.players.erase(it);
  }
  for (const auto& name : listed) {
    BusPlayer& p = addPlayer(name);
    if (!p.owner.empty()) {
      requestAll(p);
    } else if (!p.ownerCall) {
      MessageOwner m = newCall("org.freedesktop.DBus", "/org/freedesktop/DBus",
                               "org.freedesktop.DBus", "GetNameOwner");
      if (m && sd_bus_message_append(m.get(), "s", name.c_str()) < 0) m.reset();
      p.ownerCall = callAsync(std::move(m), onNameOwner, &p);
    }
  }
  return 0;
}

void listNames() {
  Follower& f = follower();
  if (f.listCall) return;
  f.listCall = callAsync(
      newCall("org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", "ListNames"),
      onListNames, nullptr);
}

void refresh() {
  Follower& f = follower();
  listNames();
  f.refreshId = platform::posix::runDelayed(f.refreshMs, refresh);
}

// ---- The loop's watch -----------------------------------------------------------------

uint64_t monotonicUs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 1000000u + static_cast<uint64_t>(ts.tv_nsec) / 1000u;
}

platform::posix::DescriptorWait prepare() {
  Follower& f = follower();
  platform::posix::DescriptorWait w;
  if (!f.bus) return w;
  w.fd = sd_bus_get_fd(f.bus.get());
  const int events = sd_bus_get_events(f.bus.get());
  w.events = static_cast<short>(events > 0 ? events : 0);
  uint64_t due = UINT64_MAX;
  if (f.more) {
    w.timeoutMs = 0;
  } else if (sd_bus_get_timeout(f.bus.get(), &due) >= 0 && due != UINT64_MAX) {
    const uint64_t now = monotonicUs();
    const uint64_t waitUs = due > now ? due - now : 0;
    w.timeoutMs = static_cast<int>(std::min<uint64_t>((waitUs + 999) / 1000, 1000000));
  }
  return w;
}

void showChange() {
  const NowPlaying now = nowPlaying();
  std::string line = "mpris: ";
  if (now.player.empty()) {
    line += "no player";
  } else {
    line += now.player + " " +
            playbackName(now.status == 1   ? Playback::playing
                         : now.status == 3 ? Playback::paused
                                           : Playback::stopped) +
            ": " + now.title;
  }
  Follower& f = follower();
  if (line == f.shown) return;
  f.shown = line;
  std::printf("%s\n", line.c_str());
  std::fflush(stdout);
}

void lose() {
  Follower& f = follower();
  void (*onLost)() = f.onLost;
  f.onLost = nullptr;
  disconnectBus();
  if (onLost != nullptr) onLost();
}

void dispatch() {
  Follower& f = follower();
  if (!f.bus) return;
  f.more = false;
  for (int i = 0; i < MESSAGES_PER_DISPATCH; ++i) {
    const int r = sd_bus_process(f.bus.get(), nullptr);
    if (r < 0) {
      std::fprintf(stderr, "trellicast-host: lost the session bus: %s\n", std::strerror(-r));
      lose();
      return;
    }
    if (r == 0) break;
    if (i + 1 == MESSAGES_PER_DISPATCH) f.more = true;
  }
  showChange();
  if (f.onChange != nullptr) f.onChange();
}

// Subscribes to the signals matching rule (the request is not waited for);
// the match lasts as long as the slot returned, which is empty when the
// request could not be queued.
SlotOwner addMatch(const char* rule, sd_bus_message_handler_t handler) {
  sd_bus_slot* slot = nullptr;
  if (sd_bus_add_match_async(follower().bus.get(), &slot, rule, handler, nullptr, nullptr) < 0) {
    return nullptr;
  }
  return SlotOwner(slot);
}

}  // namespace

bool connectBus(std::string* error) {
  const char* address = std::getenv("DBUS_SESSION_BUS_ADDRESS");
  if (address == nullptr || address[0] == '\0') {
    *error = "no session bus: DBUS_SESSION_BUS_ADDRESS is not set";
    return false;
  }
  sd_bus* bus = nullptr;
  const int r = sd_bus_open_user(&bus);
  if (r < 0) {
    *error =
        std::string("cannot connect to the session bus at ") + address + ": " + std::strerror(-r);
    return false;
  }
  follower().bus.reset(bus);
  return true;
}

void startFollowing(const std::string& filter, uint32_t refreshMs, void (*onLost)(),
                    void (*onChange)()) {
  Follower& f = follower();
  if (!f.bus) return;
  f.filter = filter;
  f.refreshMs = refreshMs;
  f.onLost = onLost;
  f.onChange = onChange;
  f.nameMatch = addMatch(
      "type='signal',sender='org.freedesktop.DBus',interface='org.freedesktop.DBus',"
      "member='NameOwnerChanged',arg0namespace='org.mpris.MediaPlayer2'",
      onNameOwnerChanged);
  f.propertiesMatch = addMatch(
      "type='signal',interface='org.freedesktop.DBus.Properties',member='PropertiesChanged',"
      "path='/org/mpris/MediaPlayer2',arg0='org.mpris.MediaPlayer2.Player'",
      onPropertiesChanged);
  platform::posix::setDescriptorWatch({prepare, dispatch});
  refresh();  // lists the names now, and again every refreshMs
  showChange();
  if (onChange != nullptr) onChange();
}

NowPlaying nowPlaying() {
  Follower& f = follower();
  std::vector<Candidate> candidates;
  std::vector<const BusPlayer*> players;
  for (const auto& [name, p] : f.players) {
    if (p.owner.empty()) continue;  // not yet resolved: nothing known of it
    candidates.push_back({p.playback, p.lastChange});
    players.push_back(&p);
  }
  NowPlaying now;
  const int i = pickPlayer(candidates);
  if (i < 0) return now;
  const BusPlayer& p = *players[static_cast<size_t>(i)];
  now.player = p.name.substr(PLAYER_PREFIX.size());
  now.status = statusCode(p.playback);
  now.title = displayTitle(p.track);
  now.path = localPath(p.track.url);
  now.track = p.track.id + '\n' + p.track.url;
  now.artPath = localPath(p.track.artUrl);
  now.lengthUs = p.track.lengthUs;
  now.busName = p.name;
  return now;
}

void disconnectBus() {
  Follower& f = follower();
  platform::posix::setDescriptorWatch({});
  platform::posix::cancelDelayed(f.refreshId);
  f.refreshId = 0;
  // Slots first: each holds a reference to the bus.
  f.players.clear();
  f.nameMatch.reset();
  f.propertiesMatch.reset();
  f.listCall.reset();
  f.bus.reset();
  f.more = false;
  f.onChange = nullptr;
}

}  // namespace host::mpris

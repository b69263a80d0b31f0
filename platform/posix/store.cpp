// The POSIX settings store: a config file of "Name=Value" lines,
//
//   # where the player posts
//   URL=https://example.org/np
//   Interval=30
//
// at $XDG_CONFIG_HOME/trellicast/trellicast.conf (~/.config/... when that
// is unset) or the path the player was given. Names are those of
// SETTING_NAMES, compared without regard to case; blanks around a name or
// a value do not count; where a name is given twice the last line counts.
// A value with blanks at its ends, a line break or a leading quote is
// written in quotes, with \\, \", \n and \r escapes.
// A number is a whole number from 0 to 4294967295; any other text where a
// number is expected does not read (EINVAL), so its default applies, as a
// value of the wrong type in the registry does.
//
// A write keeps every other line (comments included) and replaces the file:
// the new text goes to "<file>.tmp" (0600), is flushed and renamed over the
// file, so a process killed at any moment leaves the old file or the new
// one. Where the file is a symbolic link, the file it leads to is replaced
// in its own folder and the link stays. Writers take turns through a lock
// (flock) on the config path's folder (made 0700 when missing), held while
// "<file>.tmp" exists: a "<file>.tmp" found while nobody holds the lock was
// left by a writer that died, and any reading removes it.
#include "platform/posix/store.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "platform/posix/system.h"

namespace platform {

namespace {

using posix::configPath;

struct FdCloser {
  void operator()(int* fd) const {
    ::close(*fd);
    delete fd;
  }
};
using FdOwner = std::unique_ptr<int, FdCloser>;

FdOwner openFd(const std::string& path, int flags, mode_t mode = 0) {
  const int fd = ::open(path.c_str(), flags | O_CLOEXEC, mode);
  return FdOwner(fd < 0 ? nullptr : new int(fd));
}

std::string& pathOverride() {
  static auto* path = new std::string();
  return *path;
}

std::string folderOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}

// The file the config path names: the path itself, or where its symbolic
// links lead (a link that leads nowhere yet names the file to make).
std::string filePath() {
  std::string path = configPath();
  for (int links = 0; links < 40; ++links) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) break;
    std::string target(static_cast<size_t>(st.st_size) + 1, '\0');
    const ssize_t n = ::readlink(path.c_str(), target.data(), target.size());
    if (n <= 0 || static_cast<size_t>(n) >= target.size()) break;
    target.resize(static_cast<size_t>(n));
    path = target.starts_with('/') ? target : folderOf(path) + "/" + target;
  }
  return path;
}

std::string tempPath() { return filePath() + ".tmp"; }

std::string_view trimmed(std::string_view text) {
  const size_t start = text.find_first_not_of(" \t\r");
  if (start == std::string_view::npos) return {};
  return text.substr(start, text.find_last_not_of(" \t\r") - start + 1);
}

bool sameName(std::string_view a, std::string_view b) {
  return a.size() == b.size() && ::strncasecmp(a.data(), b.data(), a.size()) == 0;
}

// The setting a line gives a value to, or the empty text (a comment, a
// blank line, anything else).
std::string_view nameOf(std::string_view line) {
  const size_t equals = line.find('=');
  if (equals == std::string_view::npos || trimmed(line).starts_with('#')) return {};
  return trimmed(line.substr(0, equals));
}

// The whole file, or errno (ENOENT when there is none).
int readFile(const std::string& path, std::string* text) {
  text->clear();
  const FdOwner fd = openFd(path, O_RDONLY);
  if (!fd) return errno;
  char chunk[4096];
  for (ssize_t n; (n = ::read(*fd, chunk, sizeof chunk)) != 0;) {
    if (n < 0 && errno != EINTR) return errno;
    if (n > 0) text->append(chunk, static_cast<size_t>(n));
  }
  return 0;
}

// A value as a line holds it: as it is, or "..." with \\, \", \n and \r
// escapes (see quoted).
std::string unquoted(std::string_view field) {
  if (field.size() < 2 || field.front() != '"' || field.back() != '"') return std::string(field);
  std::string out;
  for (size_t i = 1; i + 1 < field.size(); ++i) {
    const bool escape = field[i] == '\\' && i + 2 < field.size();
    const char c = field[escape ? ++i : i];
    out += !escape ? c : c == 'n' ? '\n' : c == 'r' ? '\r' : c;
  }
  return out;
}

// The value of the last line that names the setting.
std::optional<std::string> valueIn(std::string_view text, std::string_view name) {
  std::optional<std::string> value;
  for (size_t start = 0; start < text.size();) {
    const size_t end = std::min(text.find('\n', start), text.size());
    const std::string_view line = text.substr(start, end - start);
    if (sameName(nameOf(line), name)) value = unquoted(trimmed(line.substr(line.find('=') + 1)));
    start = end + 1;
  }
  return value;
}

// The folder, made (0700) when missing, and whether it takes the file.
int makeFolder(const std::string& folder) {
  struct stat st {};
  if (::stat(folder.c_str(), &st) != 0) {
    if (errno != ENOENT) return errno;
    if (const std::string parent = folderOf(folder); parent != folder) {
      if (const int rc = makeFolder(parent); rc != 0) return rc;
    }
    if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) return errno;
  }
  return ::access(folder.c_str(), W_OK | X_OK) == 0 ? 0 : errno;
}

FdOwner lockFolder(int how) {
  FdOwner fd = openFd(folderOf(configPath()), O_RDONLY | O_DIRECTORY);
  while (fd && ::flock(*fd, how) != 0)
    if (errno != EINTR) return nullptr;
  return fd;
}

struct Change {
  std::string name;
  std::optional<std::string> value;  // none: removed
};

// The file's text with the changes made: a setting's first line takes its
// new value, its other lines go, and a setting not there yet is added.
std::string changed(std::string_view text, const std::vector<Change>& changes) {
  std::string out;
  std::vector<bool> placed(changes.size(), false);
  for (size_t start = 0; start < text.size();) {
    const size_t end = std::min(text.find('\n', start), text.size());
    const std::string_view line = text.substr(start, end - start);
    start = end + 1;
    bool kept = true;
    for (size_t i = 0; i < changes.size() && kept; ++i) {
      if (!sameName(nameOf(line), changes[i].name)) continue;
      kept = false;
      if (changes[i].value && !placed[i])
        out += changes[i].name + "=" + posix::quoted(*changes[i].value) + "\n";
      placed[i] = true;
    }
    if (kept) out.append(line).append("\n");
  }
  for (size_t i = 0; i < changes.size(); ++i)
    if (changes[i].value && !placed[i])
      out += changes[i].name + "=" + posix::quoted(*changes[i].value) + "\n";
  return out;
}

// Makes the changes under the writers' lock, by replacement.
int rewrite(const std::vector<Change>& changes) {
  const FdOwner lock = lockFolder(LOCK_EX);
  if (!lock) return errno;
  const std::string file = filePath();
  std::string text;
  if (const int rc = readFile(file, &text); rc != 0 && rc != ENOENT) return rc;
  text = changed(text, changes);
  const std::string temp = file + ".tmp";
  ::unlink(temp.c_str());
  int rc = 0;
  {
    const FdOwner fd = openFd(temp, O_WRONLY | O_CREAT | O_EXCL, 0600);
    if (!fd) return errno;
    for (size_t done = 0; rc == 0 && done < text.size();) {
      const ssize_t n = ::write(*fd, text.data() + done, text.size() - done);
      if (n < 0 && errno != EINTR) rc = errno;
      if (n > 0) done += static_cast<size_t>(n);
    }
    if (rc == 0 && ::fsync(*fd) != 0) rc = errno;
  }
  if (rc == 0 && ::rename(temp.c_str(), file.c_str()) != 0) rc = errno;
  if (rc != 0) {
    ::unlink(temp.c_str());
    return rc;
  }
  // The rename itself, durable.
  if (const FdOwner folder = openFd(folderOf(file), O_RDONLY | O_DIRECTORY)) ::fsync(*folder);
  return 0;
}

// Before the config file there was a registry kept in a file; its
// settings are carried over once, into the default config file only, and
// the old file is then renamed "registry.old", so a config file deleted
// later does not bring them back.
std::string oldRegistryPath() { return folderOf(configPath()) + "/registry"; }

// A field of the old file: printable bytes as themselves, others as %XX.
std::string unescaped(std::string_view field) {
  std::string out;
  for (size_t i = 0; i < field.size(); ++i) {
    const bool escaped = field[i] == '%' && i + 2 < field.size();
    out += escaped ? static_cast<char>(
                         std::strtol(std::string(field.substr(i + 1, 2)).c_str(), nullptr, 16))
                   : field[i];
    if (escaped) i += 2;
  }
  return out;
}

void carryOver() {
  if (!pathOverride().empty() || ::access(configPath().c_str(), F_OK) == 0) return;
  std::string text;
  if (readFile(oldRegistryPath(), &text) != 0 || !text.starts_with("trellicast-registry 1\n"))
    return;
  std::vector<Change> found;
  bool inKey = false;
  for (size_t start = 0; start < text.size();) {
    const size_t end = std::min(text.find('\n', start), text.size());
    std::vector<std::string> fields;  // "key PATH" or "value NAME TYPE DATA"
    for (size_t at = start; at <= end; at = text.find(' ', at) + 1) {
      fields.push_back(text.substr(at, std::min(text.find(' ', at), end) - at));
      if (text.find(' ', at) >= end) break;
    }
    start = end + 1;
    if (fields.size() == 2 && fields[0] == "key") {
      inKey = sameName(unescaped(fields[1]), "Software\\Winamp\\Trellicast");
      continue;
    }
    if (!inKey || fields.size() != 4 || fields[0] != "value") continue;
    const SettingName* known = posix::settingNamed(unescaped(fields[1]));
    const std::string data = unescaped(fields[3]);
    uint32_t number = 0;
    std::memcpy(&number, data.data(), std::min<size_t>(data.size(), 4));
    const std::string chars = data.substr(0, data.find('\0'));
    if (known != nullptr && known->kind == SettingKind::text && fields[2] == "1")
      found.push_back({known->name, chars});
    if (known != nullptr && known->kind == SettingKind::number && fields[2] == "4" &&
        data.size() == 4)
      found.push_back({known->name, std::to_string(number)});
  }
  if (found.empty() || makeFolder(folderOf(configPath())) != 0 || rewrite(found) != 0) return;
  std::fprintf(stderr, "trellicast: settings carried over from %s to %s\n",
               oldRegistryPath().c_str(), configPath().c_str());
  const std::string kept = oldRegistryPath() + ".old";
  if (::rename(oldRegistryPath().c_str(), kept.c_str()) == 0)
    std::fprintf(stderr, "trellicast: %s renamed to %s\n", oldRegistryPath().c_str(), kept.c_str());
}

// The file's text for a reader, once a writer that died is cleaned up
// after; ENOENT is an empty file.
int load(std::string* text) {
  carryOver();
  if (::access(tempPath().c_str(), F_OK) == 0) {
    if (const FdOwner lock = lockFolder(LOCK_EX | LOCK_NB)) ::unlink(tempPath().c_str());
  }
  const int rc = readFile(configPath(), text);
  return rc == ENOENT ? 0 : rc;
}

bool wholeNumber(const std::string& text, uint32_t* number) {
  if (text.empty() || text.size() > 10 || text.find_first_not_of("0123456789") != std::string::npos)
    return false;
  const unsigned long long value = std::strtoull(text.c_str(), nullptr, 10);
  *number = static_cast<uint32_t>(value);
  return value <= 0xFFFFFFFFull;
}

long readOne(std::string_view text, Setting& s) {
  if (s.kind == SettingKind::text) std::memset(s.buffer, 0, s.capacity);
  const std::optional<std::string> value = valueIn(text, s.name);
  if (!value) return ENOENT;
  if (s.kind == SettingKind::number) return wholeNumber(*value, &s.number) ? 0 : EINVAL;
  if (value->size() >= s.capacity) return ERANGE;
  std::memcpy(s.buffer, value->data(), value->size());
  return 0;
}

}  // namespace

long readSettings(Setting* settings, size_t count) {
  std::string text;
  if (const int rc = load(&text); rc != 0) return rc;
  for (size_t i = 0; i < count; ++i) settings[i].error = readOne(text, settings[i]);
  return 0;
}

long writeSettings(Setting* settings, size_t count) {
  // A store that cannot be read or whose folder cannot take the file
  // cannot be opened for writing either.
  std::string text;
  if (const int rc = load(&text); rc != 0) return rc;
  if (const int rc = makeFolder(folderOf(configPath())); rc != 0) return rc;
  std::vector<Change> changes;
  for (size_t i = 0; i < count; ++i) {
    Setting& s = settings[i];
    changes.push_back(
        {s.name, s.kind == SettingKind::text ? std::string(s.text) : std::to_string(s.number)});
  }
  const int rc = rewrite(changes);
  for (size_t i = 0; i < count; ++i) settings[i].error = rc;
  return 0;
}

namespace posix {

void setConfigPath(const std::string& path) { pathOverride() = path; }

std::string configPath() {
  if (!pathOverride().empty()) return pathOverride();
  std::string base;
  if (const char* xdg = std::getenv("XDG_CONFIG_HOME"); xdg != nullptr && xdg[0] == '/') {
    base = xdg;
  } else {
    const char* home = std::getenv("HOME");
    if (home == nullptr || home[0] == '\0') {
      const passwd* pw = ::getpwuid(::getuid());
      home = pw != nullptr ? pw->pw_dir : "/tmp";
    }
    base = std::string(home) + "/.config";
  }
  return base + "/trellicast/trellicast.conf";
}

const SettingName* settingNamed(std::string_view name) {
  for (const SettingName& known : SETTING_NAMES)
    if (sameName(known.name, name)) return &known;
  return nullptr;
}

int storedSettings(std::vector<std::pair<std::string, std::string>>* settings) {
  std::string text;
  if (const int rc = load(&text); rc != 0) return rc;
  settings->clear();
  for (const SettingName& known : SETTING_NAMES)
    if (auto value = valueIn(text, known.name)) settings->emplace_back(known.name, *value);
  return 0;
}

std::string quoted(const std::string& value) {
  if (trimmed(value) == value && !value.starts_with('"') &&
      value.find_first_of("\r\n") == std::string::npos)
    return value;
  std::string out = "\"";
  for (const char c : value)
    out += c == '"' || c == '\\' ? std::string("\\") + c
           : c == '\n'           ? "\\n"
           : c == '\r'           ? "\\r"
                                 : std::string(1, c);
  return out + "\"";
}

int changeSetting(const std::string& name, const std::optional<std::string>& value) {
  const SettingName* known = settingNamed(name);
  uint32_t number = 0;
  if (known == nullptr ||
      (value && known->kind == SettingKind::number && !wholeNumber(*value, &number)))
    return EINVAL;
  carryOver();
  if (const int rc = makeFolder(folderOf(configPath())); rc != 0) return rc;
  return rewrite({{known->name, value}});
}

}  // namespace posix

}  // namespace platform

// The POSIX settings store: the registry's keys and typed values, kept as
// raw bytes in one file whose path the player decides.
//
// File format (text, one record a line, every line ended by "\n"):
//
//   trellicast-registry 1
//   key Software\Winamp\Trellicast
//   value URL 1 http://127.0.0.1:8000/
//   value Interval 4 %02%00%00%00
//   end
//
// "key" starts a key (its full path below the local machine root); each
// "value" line that follows belongs to it: name, type (decimal), data. Key
// paths, names and data are written byte by byte: printable ASCII except
// "%" as itself, every other byte (space, "%", control and high bytes) as
// %XX, so fields never hold a space and any bytes round-trip. A file that
// does not start with the header or does not end with the "end" line, or
// holds any malformed line, is damaged: opening a key then fails with
// ERROR_REGISTRY_CORRUPT (1015) and the file is left as it is. So a
// truncated file is always seen as damaged, never as a shorter registry.
// A missing file is an empty registry.
//
// Every operation reads the file afresh, so the player's "reg" command and
// a running player see each other's writes. Writes go to a temporary file
// in the same folder, are flushed to disk, and replace the file by rename:
// a reader sees the old or the new file, never a torn one. Concurrent
// writers are not locked against each other: the last one wins.
//
// Writes made through one open key belong together (the plug-in saves its
// three settings through one key and closes it). Before the first write
// through a key, the file as it stood is kept in an undo record beside it,
// "<file>.undo-<pid>-<serial>", whose first line says whether the file
// existed; closing the key removes the record. Each write still reaches the
// file at once, so readers see every value as soon as it is set. When a
// process ends with a key open (killed in the middle of saving), its record
// outlives it: the next operation of any process finds a record whose
// process is gone and puts the file back as it was before that key's first
// write. A save cut short thus reads back as the old settings, never as a
// mix of old and new. Temporary files left by a dead process are removed
// at the same moment.
#include "platform/posix/store.h"

#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "platform/port.h"
#include "platform/posix/errors.h"
#include "platform/posix/system.h"

namespace platform {

namespace {

using namespace posix;

constexpr std::string_view kHeader = "trellicast-registry 1";
constexpr std::string_view kEnd = "end";

struct Key {
  std::string path;
  std::vector<StoredValue> values;
};

struct Database {
  std::vector<Key> keys;
};

struct OpenKey {
  std::string path;
  std::string undo;  // the undo record written before this key's first write
};

constexpr std::string_view kUndoExisted = "trellicast-undo 1 existed\n";
constexpr std::string_view kUndoAbsent = "trellicast-undo 1 absent\n";

std::set<OpenKey*>& openKeys() {
  static auto* keys = new std::set<OpenKey*>();
  return *keys;
}

std::string& pathOverride() {
  static auto* path = new std::string();
  return *path;
}

char lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool sameName(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (lower(a[i]) != lower(b[i])) return false;
  return true;
}

// "A\\B\\\\C\\" -> "A\B\C": empty components are dropped.
std::string canonicalPath(std::string_view subKey) {
  std::string out;
  size_t start = 0;
  while (start <= subKey.size()) {
    size_t end = subKey.find('\\', start);
    if (end == std::string_view::npos) end = subKey.size();
    if (end > start) {
      if (!out.empty()) out += '\\';
      out.append(subKey.substr(start, end - start));
    }
    start = end + 1;
  }
  return out;
}

Key* findKey(Database& db, std::string_view path) {
  for (auto& k : db.keys)
    if (sameName(k.path, path)) return &k;
  return nullptr;
}

StoredValue* findValue(Key& key, std::string_view name) {
  for (auto& v : key.values)
    if (sameName(v.name, name)) return &v;
  return nullptr;
}

// Adds the key and every missing parent; returns whether anything was added.
bool addKey(Database& db, const std::string& path) {
  bool added = false;
  size_t pos = 0;
  while (true) {
    const size_t end = path.find('\\', pos);
    const std::string prefix = path.substr(0, end);
    if (!prefix.empty() && findKey(db, prefix) == nullptr) {
      db.keys.push_back({prefix, {}});
      added = true;
    }
    if (end == std::string::npos) break;
    pos = end + 1;
  }
  return added;
}

long errnoCode(int error) {
  switch (error) {
    case EACCES:
    case EPERM:
    case EROFS:
      return kStoreAccessDenied;
    case ENOENT:
    case ENOTDIR:
      return kStorePathNotFound;
    case ENOSPC:
    case EDQUOT:
      return kStoreDiskFull;
    default:
      return kStoreIoFailed;
  }
}

// ---- File format -------------------------------------------------------------

void appendEscaped(std::string& out, std::string_view bytes) {
  static const char hex[] = "0123456789ABCDEF";
  for (const char c : bytes) {
    const auto b = static_cast<unsigned char>(c);
    if (b > 0x20 && b < 0x7F && b != '%') {
      out += c;
    } else {
      out += '%';
      out += hex[b >> 4];
      out += hex[b & 0xF];
    }
  }
}

int hexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

bool unescape(std::string_view field, std::string* out) {
  out->clear();
  for (size_t i = 0; i < field.size(); ++i) {
    const auto b = static_cast<unsigned char>(field[i]);
    if (b == '%') {
      if (i + 2 >= field.size()) return false;
      const int hi = hexDigit(field[i + 1]);
      const int lo = hexDigit(field[i + 2]);
      if (hi < 0 || lo < 0) return false;
      *out += static_cast<char>(hi * 16 + lo);
      i += 2;
    } else if (b > 0x20 && b < 0x7F) {
      *out += field[i];
    } else {
      return false;
    }
  }
  return true;
}

std::vector<std::string_view> splitFields(std::string_view line) {
  std::vector<std::string_view> fields;
  size_t start = 0;
  while (true) {
    const size_t end = line.find(' ', start);
    fields.push_back(line.substr(start, end == std::string_view::npos ? end : end - start));
    if (end == std::string_view::npos) break;
    start = end + 1;
  }
  return fields;
}

bool parseType(std::string_view text, uint32_t* type) {
  if (text.empty() || text.size() > 10) return false;
  uint64_t v = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + static_cast<uint64_t>(c - '0');
  }
  if (v > 0xFFFFFFFFu) return false;
  *type = static_cast<uint32_t>(v);
  return true;
}

bool parse(std::string_view text, Database* db) {
  db->keys.clear();
  // Every line ends with "\n"; the last one is the end marker.
  if (text.empty() || text.back() != '\n') return false;
  text.remove_suffix(1);
  std::vector<std::string_view> lines;
  size_t start = 0;
  while (true) {
    const size_t end = text.find('\n', start);
    lines.push_back(text.substr(start, end == std::string_view::npos ? end : end - start));
    if (end == std::string_view::npos) break;
    start = end + 1;
  }
  if (lines.size() < 2 || lines.front() != kHeader || lines.back() != kEnd) return false;

  Key* current = nullptr;
  for (size_t i = 1; i + 1 < lines.size(); ++i) {
    const auto fields = splitFields(lines[i]);
    if (fields[0] == "key" && fields.size() == 2) {
      std::string path;
      if (!unescape(fields[1], &path) || path.empty() || path != canonicalPath(path)) return false;
      addKey(*db, path);
      current = findKey(*db, path);
    } else if (fields[0] == "value" && fields.size() == 4 && current != nullptr) {
      StoredValue v;
      if (!unescape(fields[1], &v.name) || !parseType(fields[2], &v.type) ||
          !unescape(fields[3], &v.data))
        return false;
      if (StoredValue* old = findValue(*current, v.name)) {
        *old = std::move(v);
      } else {
        current->values.push_back(std::move(v));
      }
    } else {
      return false;
    }
  }
  return true;
}

std::string format(const Database& db) {
  std::string out(kHeader);
  out += '\n';
  for (const auto& k : db.keys) {
    out += "key ";
    appendEscaped(out, k.path);
    out += '\n';
    for (const auto& v : k.values) {
      out += "value ";
      appendEscaped(out, v.name);
      out += ' ';
      out += std::to_string(v.type);
      out += ' ';
      appendEscaped(out, v.data);
      out += '\n';
    }
  }
  out += kEnd;
  out += '\n';
  return out;
}

// ---- File access ---------------------------------------------------------------

struct FdCloser {
  void operator()(int* fd) const {
    if (*fd >= 0) ::close(*fd);
    delete fd;
  }
};
using Fd = std::unique_ptr<int, FdCloser>;

Fd openFd(const std::string& path, int flags, mode_t mode = 0) {
  return Fd(new int(::open(path.c_str(), flags | O_CLOEXEC, mode)));
}

std::string folderOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

// The whole file; *exists false (and success) when there is none.
long readWhole(const std::string& path, std::string* text, bool* exists) {
  text->clear();
  *exists = false;
  Fd fd = openFd(path, O_RDONLY);
  if (*fd < 0) {
    if (errno == ENOENT || errno == ENOTDIR) return kRegSuccess;
    return errnoCode(errno);
  }
  char chunk[4096];
  while (true) {
    const ssize_t n = ::read(*fd, chunk, sizeof chunk);
    if (n < 0) {
      if (errno == EINTR) continue;
      return errno == EISDIR ? kStoreAccessDenied : errnoCode(errno);
    }
    if (n == 0) break;
    text->append(chunk, static_cast<size_t>(n));
  }
  *exists = true;
  return kRegSuccess;
}

void recoverInterrupted(const std::string& path);

// The registry, after putting back what a dead writer left half done. The
// file's bytes come back in *raw (and whether it exists in *exists) when
// asked for.
long load(Database* db, std::string* raw = nullptr, bool* exists = nullptr) {
  db->keys.clear();
  const std::string path = registryPath();
  recoverInterrupted(path);
  std::string text;
  bool present = false;
  const long rc = readWhole(path, &text, &present);
  if (rc != kRegSuccess) return rc;
  if (raw != nullptr) *raw = text;
  if (exists != nullptr) *exists = present;
  // No file (or no folder) yet: an empty registry.
  if (!present) return kRegSuccess;
  return parse(text, db) ? kRegSuccess : kStoreCorrupt;
}

long makeFolders(const std::string& folder) {
  struct stat st {};
  if (::stat(folder.c_str(), &st) == 0) {
    return S_ISDIR(st.st_mode) ? kRegSuccess : kStorePathNotFound;
  }
  if (errno != ENOENT) return errnoCode(errno);
  const std::string parent = folderOf(folder);
  if (parent != folder) {
    const long rc = makeFolders(parent);
    if (rc != kRegSuccess) return rc;
  }
  if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) return errnoCode(errno);
  return kRegSuccess;
}

long writeAll(int fd, const std::string& text) {
  size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return errnoCode(errno);
    }
    done += static_cast<size_t>(n);
  }
  return kRegSuccess;
}

void syncFolder(const std::string& folder) {
  Fd dir = openFd(folder, O_RDONLY | O_DIRECTORY);
  if (*dir >= 0) ::fsync(*dir);
}

// Replaces path with text through a flushed temporary file and a rename.
long replaceFile(const std::string& path, const std::string& text) {
  const std::string folder = folderOf(path);
  long rc = kRegSuccess;
  const std::string temp = path + ".tmp-" + std::to_string(::getpid());
  {
    Fd fd = openFd(temp, O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (*fd < 0) return errnoCode(errno);
    rc = writeAll(*fd, text);
    if (rc == kRegSuccess && ::fsync(*fd) != 0) rc = errnoCode(errno);
    if (rc == kRegSuccess) {
      const int fd2 = *fd;
      *fd = -1;
      if (::close(fd2) != 0) rc = errnoCode(errno);
    }
  }
  if (rc == kRegSuccess && ::rename(temp.c_str(), path.c_str()) != 0) rc = errnoCode(errno);
  if (rc != kRegSuccess) {
    ::unlink(temp.c_str());
    return rc;
  }
  // Make the rename itself durable.
  syncFolder(folder);
  return kRegSuccess;
}

long save(const Database& db) {
  const std::string path = registryPath();
  const long rc = makeFolders(folderOf(path));
  if (rc != kRegSuccess) return rc;
  return replaceFile(path, format(db));
}

// ---- Undo records ------------------------------------------------------------------

bool processGone(pid_t pid) { return pid > 0 && ::kill(pid, 0) != 0 && errno == ESRCH; }

// Leading decimal digits of text as a number (0 when there are none); *rest
// gets what follows them.
uint64_t leadingNumber(std::string_view text, std::string_view* rest) {
  uint64_t n = 0;
  size_t i = 0;
  while (i < text.size() && i < 18 && text[i] >= '0' && text[i] <= '9')
    n = n * 10 + static_cast<uint64_t>(text[i++] - '0');
  *rest = text.substr(i);
  return n;
}

// Puts the file back as one undo record holds it, then drops the record.
void restore(const std::string& path, const std::string& record) {
  std::string text;
  bool exists = false;
  if (readWhole(record, &text, &exists) != kRegSuccess || !exists) return;
  const std::string_view view(text);
  if (view.substr(0, kUndoExisted.size()) == kUndoExisted) {
    if (replaceFile(path, text.substr(kUndoExisted.size())) != kRegSuccess) return;
  } else if (view.substr(0, kUndoAbsent.size()) == kUndoAbsent) {
    if (::unlink(path.c_str()) != 0 && errno != ENOENT) return;
  } else {
    return;  // not a record this store wrote: left alone
  }
  ::unlink(record.c_str());
  syncFolder(folderOf(path));
}

// Undoes the writes of keys left open by processes that are gone, the
// earliest record of a process last so that its state wins, and removes
// their temporary files.
void recoverInterrupted(const std::string& path) {
  const std::string folder = folderOf(path);
  const std::string base =
      path.substr(path.rfind('/') == std::string::npos ? 0 : path.rfind('/') + 1);
  const std::string undoPrefix = base + ".undo-";
  const std::string tempPrefix = base + ".tmp-";
  DIR* dir = ::opendir(folder.c_str());
  if (dir == nullptr) return;
  struct Record {
    uint64_t pid;
    uint64_t serial;
    std::string name;
  };
  std::vector<Record> records;
  std::vector<std::string> stale;
  while (const dirent* entry = ::readdir(dir)) {
    const std::string_view name(entry->d_name);
    std::string_view rest;
    if (name.substr(0, undoPrefix.size()) == undoPrefix) {
      const uint64_t pid = leadingNumber(name.substr(undoPrefix.size()), &rest);
      if (!processGone(static_cast<pid_t>(pid))) continue;
      if (rest.empty() || rest[0] != '-') continue;
      const uint64_t serial = leadingNumber(rest.substr(1), &rest);
      if (rest.empty()) {
        records.push_back({pid, serial, std::string(name)});
      } else if (rest.substr(0, 5) == ".tmp-") {
        stale.emplace_back(name);  // a record that was never finished
      }
    } else if (name.substr(0, tempPrefix.size()) == tempPrefix) {
      const uint64_t pid = leadingNumber(name.substr(tempPrefix.size()), &rest);
      if (rest.empty() && processGone(static_cast<pid_t>(pid))) stale.emplace_back(name);
    }
  }
  ::closedir(dir);
  std::sort(records.begin(), records.end(), [](const Record& a, const Record& b) {
    return a.pid != b.pid ? a.pid > b.pid : a.serial > b.serial;
  });
  for (const auto& r : records) restore(path, folder + "/" + r.name);
  for (const auto& name : stale) ::unlink((folder + "/" + name).c_str());
}

// Keeps the file as it stands, before the first write through a key.
long writeUndo(OpenKey& key, bool exists, const std::string& text) {
  static uint64_t serial = 0;
  const std::string record =
      registryPath() + ".undo-" + std::to_string(::getpid()) + "-" + std::to_string(++serial);
  std::string content(exists ? kUndoExisted : kUndoAbsent);
  if (exists) content += text;
  const long rc = replaceFile(record, content);
  if (rc == kRegSuccess) key.undo = record;
  return rc;
}

OpenKey* handleOf(KeyHandle key) {
  auto* k = static_cast<OpenKey*>(key);
  return openKeys().count(k) != 0 ? k : nullptr;
}

}  // namespace

long regCreateKey(const char* subKey, KeyHandle* key) {
  if (subKey == nullptr || key == nullptr) {
    setLastError(static_cast<uint32_t>(kStoreInvalidParameter));
    return kStoreInvalidParameter;
  }
  *key = nullptr;
  const std::string path = canonicalPath(subKey);
  Database db;
  long rc = load(&db);
  if (rc == kRegSuccess && addKey(db, path)) {
    rc = save(db);
  } else if (rc == kRegSuccess && ::access(folderOf(registryPath()).c_str(), W_OK | X_OK) != 0) {
    // All access, as the plug-in asks for, needs a store it can write.
    rc = errnoCode(errno);
  }
  if (rc != kRegSuccess) {
    setLastError(static_cast<uint32_t>(rc));
    return rc;
  }
  auto* open = new OpenKey{path, {}};
  openKeys().insert(open);
  *key = open;
  return kRegSuccess;
}

long regQueryValue(KeyHandle key, const char* name, void* data, uint32_t* size) {
  OpenKey* open = handleOf(key);
  if (open == nullptr) return kStoreInvalidHandle;
  if (data != nullptr && size == nullptr) return kStoreInvalidParameter;
  Database db;
  const long rc = load(&db);
  if (rc != kRegSuccess) return rc;
  Key* k = open->path.empty() ? nullptr : findKey(db, open->path);
  if (k == nullptr && !open->path.empty()) return kStoreKeyDeleted;
  const StoredValue* v = k == nullptr ? nullptr : findValue(*k, name == nullptr ? "" : name);
  if (v == nullptr) return kStoreNotFound;
  const auto length = static_cast<uint32_t>(v->data.size());
  if (size == nullptr) return kRegSuccess;
  if (data != nullptr && length > *size) {
    *size = length;
    return kStoreMoreData;
  }
  if (data != nullptr && length > 0) std::memcpy(data, v->data.data(), length);
  *size = length;
  return kRegSuccess;
}

long regSetValue(KeyHandle key, const char* name, uint32_t type, const void* data, uint32_t size) {
  OpenKey* open = handleOf(key);
  if (open == nullptr) return kStoreInvalidHandle;
  if (data == nullptr && size != 0) return kStoreInvalidParameter;
  if (open->path.empty()) return kStoreAccessDenied;  // no values at the root
  Database db;
  std::string before;
  bool exists = false;
  long rc = load(&db, &before, &exists);
  if (rc != kRegSuccess) return rc;
  Key* k = findKey(db, open->path);
  if (k == nullptr) return kStoreKeyDeleted;
  if (open->undo.empty()) {
    rc = writeUndo(*open, exists, before);
    if (rc != kRegSuccess) return rc;
  }
  StoredValue v{name == nullptr ? "" : name, type,
                std::string(static_cast<const char*>(data), data == nullptr ? 0 : size)};
  if (StoredValue* old = findValue(*k, v.name)) {
    old->type = v.type;
    old->data = std::move(v.data);  // the name keeps its first spelling
  } else {
    k->values.push_back(std::move(v));
  }
  return save(db);
}

long regCloseKey(KeyHandle key) {
  OpenKey* open = handleOf(key);
  if (open == nullptr) return kStoreInvalidHandle;
  if (!open->undo.empty()) {
    // The key's writes are complete: nothing to undo any more.
    ::unlink(open->undo.c_str());
    syncFolder(folderOf(open->undo));
  }
  openKeys().erase(open);
  delete open;
  return kRegSuccess;
}

namespace posix {

void setRegistryPath(const std::string& path) { pathOverride() = path; }

std::string registryPath() {
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
  return base + "/trellicast/registry";
}

long storeListKey(const std::string& subKey, std::vector<StoredValue>* values,
                  std::vector<std::string>* subKeys) {
  Database db;
  const long rc = load(&db);
  if (rc != kRegSuccess) return rc;
  const std::string path = canonicalPath(subKey);
  Key* k = findKey(db, path);
  if (k == nullptr && !path.empty()) return kStoreNotFound;
  if (values != nullptr) *values = k != nullptr ? k->values : std::vector<StoredValue>{};
  if (subKeys != nullptr) {
    subKeys->clear();
    const std::string prefix = path.empty() ? "" : (k->path + "\\");
    for (const auto& other : db.keys) {
      if (other.path.size() <= prefix.size() ||
          !sameName(std::string_view(other.path).substr(0, prefix.size()), prefix))
        continue;
      if (other.path.find('\\', prefix.size()) == std::string::npos) subKeys->push_back(other.path);
    }
  }
  return kRegSuccess;
}

long storeKeyName(const std::string& subKey, std::string* name) {
  Database db;
  const long rc = load(&db);
  if (rc != kRegSuccess) return rc;
  Key* k = findKey(db, canonicalPath(subKey));
  if (k == nullptr) return kStoreNotFound;
  *name = k->path;
  return kRegSuccess;
}

long storeDeleteValue(const std::string& subKey, const std::string& name) {
  Database db;
  const long rc = load(&db);
  if (rc != kRegSuccess) return rc;
  Key* k = findKey(db, canonicalPath(subKey));
  if (k == nullptr) return kStoreNotFound;
  for (auto it = k->values.begin(); it != k->values.end(); ++it) {
    if (sameName(it->name, name)) {
      k->values.erase(it);
      return save(db);
    }
  }
  return kStoreNotFound;
}

long storeDeleteKey(const std::string& subKey) {
  Database db;
  const long rc = load(&db);
  if (rc != kRegSuccess) return rc;
  const std::string path = canonicalPath(subKey);
  if (path.empty()) return kStoreAccessDenied;
  if (findKey(db, path) == nullptr) return kStoreNotFound;
  const std::string prefix = path + "\\";
  std::erase_if(db.keys, [&](const Key& k) {
    return sameName(k.path, path) ||
           (k.path.size() > prefix.size() &&
            sameName(std::string_view(k.path).substr(0, prefix.size()), prefix));
  });
  return save(db);
}

}  // namespace posix

}  // namespace platform

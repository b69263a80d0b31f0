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
// a running player see each other's committed writes.
//
// Writes made through one open key belong together (the plug-in saves its
// three settings through one key and closes it), so they are committed
// together: each write is checked against the file as it stands and tried
// out on a scratch copy (so a folder that cannot take the file fails that
// write, as the registry would), then kept with the key; the key shows its
// own writes at once. Closing the key commits them: the file is read again,
// the key's writes are applied, and the result goes to "<file>.tmp", is
// flushed to disk and replaces the file by rename. A process killed at any
// moment leaves the old file or the new one, never a mix.
//
// Writers take turns through a lock (flock) on the store's folder, held
// while "<file>.tmp" exists. So a "<file>.tmp" found while nobody holds the
// lock was left by a writer that died, and any opening of the store removes
// it.
#include "platform/posix/store.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <functional>
#include <iterator>
#include <memory>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "platform/percent.h"
#include "platform/port.h"
#include "platform/posix/errors.h"
#include "platform/posix/system.h"

namespace platform {

namespace {

using namespace posix;

constexpr std::string_view HEADER = "trellicast-registry 1";
constexpr std::string_view END = "end";
constexpr std::string_view TEMP_SUFFIX = ".tmp";
// How long a writer waits for another one to finish its commit.
constexpr int LOCK_WAIT_MS = 1000;
constexpr int LOCK_POLL_MS = 5;

struct Key {
  std::string path;
  std::vector<StoredValue> values;
};

struct Database {
  std::vector<Key> keys;
};

struct OpenKey {
  std::string path;
  std::vector<StoredValue> pending;  // written through this key, committed on close
};

std::set<OpenKey*>& openKeys() {
  static auto* keys = new std::set<OpenKey*>();
  return *keys;
}

std::string& pathOverride() {
  static auto* path = new std::string();
  return *path;
}

// ---- File descriptors ----------------------------------------------------------

// A descriptor as a unique_ptr's "pointer": -1 is none.
struct Fd {
  int value = -1;
  Fd() = default;
  Fd(std::nullptr_t) {}
  explicit Fd(int fd) : value(fd) {}
  explicit operator bool() const { return value >= 0; }
  friend bool operator==(Fd a, Fd b) { return a.value == b.value; }
};
struct FdCloser {
  using pointer = Fd;
  void operator()(Fd fd) const { ::close(fd.value); }
};
using FdOwner = std::unique_ptr<Fd, FdCloser>;

FdOwner openFd(const std::string& path, int flags, mode_t mode = 0) {
  return FdOwner(Fd(::open(path.c_str(), flags | O_CLOEXEC, mode)));
}

// ---- Names and paths ---------------------------------------------------------------

// text cut at every separator; "a,,b" -> "a", "", "b".
std::vector<std::string_view> split(std::string_view text, char separator) {
  std::vector<std::string_view> parts;
  size_t start = 0;
  while (true) {
    const size_t end = text.find(separator, start);
    parts.push_back(text.substr(start, end == std::string_view::npos ? end : end - start));
    if (end == std::string_view::npos) return parts;
    start = end + 1;
  }
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
  for (const auto part : split(subKey, '\\')) {
    if (part.empty()) continue;
    if (!out.empty()) out += '\\';
    out.append(part);
  }
  return out;
}

Key* findKey(Database& db, std::string_view path) {
  for (auto& k : db.keys)
    if (sameName(k.path, path)) return &k;
  return nullptr;
}

StoredValue* findValue(std::vector<StoredValue>& values, std::string_view name) {
  for (auto& v : values)
    if (sameName(v.name, name)) return &v;
  return nullptr;
}

// Sets a value; a name already there keeps its first spelling.
void putValue(std::vector<StoredValue>& values, StoredValue v) {
  if (StoredValue* old = findValue(values, v.name)) {
    old->type = v.type;
    old->data = std::move(v.data);
  } else {
    values.push_back(std::move(v));
  }
}

// Adds the key (a canonical path) and every missing parent; returns whether
// anything was added.
bool addKey(Database& db, const std::string& path) {
  bool added = false;
  std::string prefix;
  for (const auto part : split(path, '\\')) {
    if (!prefix.empty()) prefix += '\\';
    prefix.append(part);
    if (findKey(db, prefix) == nullptr) {
      db.keys.push_back({prefix, {}});
      added = true;
    }
  }
  return added;
}

long errnoCode(int error) {
  switch (error) {
    case EACCES:
    case EPERM:
    case EROFS:
      return STORE_ACCESS_DENIED;
    case ENOENT:
    case ENOTDIR:
      return STORE_PATH_NOT_FOUND;
    case ENOSPC:
    case EDQUOT:
      return STORE_DISK_FULL;
    default:
      return STORE_IO_FAILED;
  }
}

// ---- File format -------------------------------------------------------------

bool keptAsIs(unsigned char b) { return b > 0x20 && b < 0x7F && b != '%'; }

void appendEscaped(std::string& out, std::string_view bytes) {
  percentEscape(bytes, keptAsIs, std::back_inserter(out));
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
    if (field[i] == '%') {
      if (i + 2 >= field.size()) return false;
      const int hi = hexDigit(field[i + 1]);
      const int lo = hexDigit(field[i + 2]);
      if (hi < 0 || lo < 0) return false;
      *out += static_cast<char>(hi * 16 + lo);
      i += 2;
    } else if (keptAsIs(static_cast<unsigned char>(field[i]))) {
      *out += field[i];
    } else {
      return false;
    }
  }
  return true;
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
  const auto lines = split(text, '\n');
  if (lines.size() < 2 || lines.front() != HEADER || lines.back() != END) return false;

  Key* current = nullptr;
  for (size_t i = 1; i + 1 < lines.size(); ++i) {
    const auto fields = split(lines[i], ' ');
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
      putValue(current->values, std::move(v));
    } else {
      return false;
    }
  }
  return true;
}

std::string format(const Database& db) {
  std::string out(HEADER);
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
  out += END;
  out += '\n';
  return out;
}

// ---- File access ---------------------------------------------------------------

std::string folderOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

std::string tempPath() { return registryPath() + std::string(TEMP_SUFFIX); }

// The whole file; *exists false (and success) when there is none.
long readWhole(const std::string& path, std::string* text, bool* exists) {
  text->clear();
  *exists = false;
  const FdOwner fd = openFd(path, O_RDONLY);
  if (!fd) {
    if (errno == ENOENT || errno == ENOTDIR) return REG_SUCCESS;
    return errnoCode(errno);
  }
  char chunk[4096];
  while (true) {
    const ssize_t n = ::read(fd.get().value, chunk, sizeof chunk);
    if (n < 0) {
      if (errno == EINTR) continue;
      return errno == EISDIR ? STORE_ACCESS_DENIED : errnoCode(errno);
    }
    if (n == 0) break;
    text->append(chunk, static_cast<size_t>(n));
  }
  *exists = true;
  return REG_SUCCESS;
}

// The registry as the file holds it; no file (or no folder) yet is an
// empty registry.
long loadFile(Database* db) {
  db->keys.clear();
  std::string text;
  bool present = false;
  const long rc = readWhole(registryPath(), &text, &present);
  if (rc != REG_SUCCESS) return rc;
  if (!present) return REG_SUCCESS;
  return parse(text, db) ? REG_SUCCESS : STORE_CORRUPT;
}

long makeFolders(const std::string& folder) {
  struct stat st {};
  if (::stat(folder.c_str(), &st) == 0) {
    return S_ISDIR(st.st_mode) ? REG_SUCCESS : STORE_PATH_NOT_FOUND;
  }
  if (errno != ENOENT) return errnoCode(errno);
  const std::string parent = folderOf(folder);
  if (parent != folder) {
    const long rc = makeFolders(parent);
    if (rc != REG_SUCCESS) return rc;
  }
  if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) return errnoCode(errno);
  return REG_SUCCESS;
}

// The store's folder, opened and locked; waits for another writer at most
// LOCK_WAIT_MS when asked to wait.
long lockFolder(bool wait, FdOwner* lock) {
  FdOwner fd = openFd(folderOf(registryPath()), O_RDONLY | O_DIRECTORY);
  if (!fd) return errnoCode(errno);
  for (int waited = 0; ::flock(fd.get().value, LOCK_EX | LOCK_NB) != 0; waited += LOCK_POLL_MS) {
    if (errno != EWOULDBLOCK && errno != EINTR) return errnoCode(errno);
    if (!wait || waited >= LOCK_WAIT_MS) return STORE_IO_FAILED;
    const timespec pause{0, LOCK_POLL_MS * 1000000L};
    ::nanosleep(&pause, nullptr);
  }
  *lock = std::move(fd);
  return REG_SUCCESS;
}

// What a reader sees: the file, once a temporary file left by a writer
// that died is gone.
long load(Database* db) {
  struct stat st {};
  FdOwner lock;
  if (::lstat(tempPath().c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
      lockFolder(false, &lock) == REG_SUCCESS)
    ::unlink(tempPath().c_str());
  return loadFile(db);
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
  return REG_SUCCESS;
}

// Writes text to the temporary file; with commit, flushes it and renames it
// over the file, else removes it again (a trial of the write).
long writeTemp(const std::string& text, bool commit, int folderFd) {
  const std::string temp = tempPath();
  long rc = REG_SUCCESS;
  {
    FdOwner fd = openFd(temp, O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (!fd) return errnoCode(errno);
    rc = writeAll(fd.get().value, text);
    if (rc == REG_SUCCESS && commit && ::fsync(fd.get().value) != 0) rc = errnoCode(errno);
    if (rc == REG_SUCCESS && ::close(fd.release().value) != 0) rc = errnoCode(errno);
  }
  if (rc != REG_SUCCESS || !commit) {
    ::unlink(temp.c_str());
    return rc;
  }
  if (::rename(temp.c_str(), registryPath().c_str()) != 0) {
    rc = errnoCode(errno);
    ::unlink(temp.c_str());
    return rc;
  }
  // Make the rename itself durable.
  ::fsync(folderFd);
  return REG_SUCCESS;
}

// Under the writers' lock: reads the file, applies change, and writes the
// result (committed, or only tried out). A change that fails says why
// first, so a key that has gone reads as gone even where the folder has.
long writeLocked(const std::function<long(Database&)>& change, bool commit) {
  FdOwner lock;
  const long locked = lockFolder(true, &lock);
  Database db;
  long rc = loadFile(&db);
  if (rc != REG_SUCCESS) return rc;
  rc = change(db);
  if (rc != REG_SUCCESS) return rc;
  if (locked != REG_SUCCESS) return locked;
  return writeTemp(format(db), commit, lock.get().value);
}

OpenKey* handleOf(KeyHandle key) {
  auto* k = static_cast<OpenKey*>(key);
  return openKeys().count(k) != 0 ? k : nullptr;
}

// Applies a key's writes to the registry, and the value about to be
// written when there is one.
long applyWrites(Database& db, const OpenKey& open, const StoredValue* next) {
  Key* k = findKey(db, open.path);
  if (k == nullptr) return STORE_KEY_DELETED;
  for (const auto& v : open.pending) putValue(k->values, v);
  if (next != nullptr) putValue(k->values, *next);
  return REG_SUCCESS;
}

}  // namespace

long regCreateKey(const char* subKey, KeyHandle* key) {
  if (subKey == nullptr || key == nullptr) {
    setLastError(static_cast<uint32_t>(STORE_INVALID_PARAMETER));
    return STORE_INVALID_PARAMETER;
  }
  *key = nullptr;
  const std::string path = canonicalPath(subKey);
  Database db;
  long rc = load(&db);
  if (rc == REG_SUCCESS && addKey(db, path)) {
    rc = makeFolders(folderOf(registryPath()));
    if (rc == REG_SUCCESS)
      rc = writeLocked(
          [&](Database& fresh) {
            addKey(fresh, path);
            return REG_SUCCESS;
          },
          true);
  } else if (rc == REG_SUCCESS && ::access(folderOf(registryPath()).c_str(), W_OK | X_OK) != 0) {
    // All access, as the plug-in asks for, needs a store it can write.
    rc = errnoCode(errno);
  }
  if (rc != REG_SUCCESS) {
    setLastError(static_cast<uint32_t>(rc));
    return rc;
  }
  auto* open = new OpenKey{path, {}};
  openKeys().insert(open);
  *key = open;
  return REG_SUCCESS;
}

long regQueryValue(KeyHandle key, const char* name, void* data, uint32_t* size, uint32_t* type) {
  OpenKey* open = handleOf(key);
  if (open == nullptr) return STORE_INVALID_HANDLE;
  if (data != nullptr && size == nullptr) return STORE_INVALID_PARAMETER;
  Database db;
  const long rc = load(&db);
  if (rc != REG_SUCCESS) return rc;
  if (!open->path.empty() && applyWrites(db, *open, nullptr) != REG_SUCCESS)
    return STORE_KEY_DELETED;
  Key* k = open->path.empty() ? nullptr : findKey(db, open->path);
  const StoredValue* v = k == nullptr ? nullptr : findValue(k->values, name == nullptr ? "" : name);
  if (v == nullptr) return STORE_NOT_FOUND;
  if (type != nullptr) *type = v->type;
  const auto length = static_cast<uint32_t>(v->data.size());
  if (size == nullptr) return REG_SUCCESS;
  if (data != nullptr && length > *size) {
    *size = length;
    return STORE_MORE_DATA;
  }
  if (data != nullptr && length > 0) std::memcpy(data, v->data.data(), length);
  *size = length;
  return REG_SUCCESS;
}

long regSetValue(KeyHandle key, const char* name, uint32_t type, const void* data, uint32_t size) {
  OpenKey* open = handleOf(key);
  if (open == nullptr) return STORE_INVALID_HANDLE;
  if (data == nullptr && size != 0) return STORE_INVALID_PARAMETER;
  if (open->path.empty()) return STORE_ACCESS_DENIED;  // no values at the root
  StoredValue v{name == nullptr ? "" : name, type,
                std::string(static_cast<const char*>(data), data == nullptr ? 0 : size)};
  const long rc = writeLocked([&](Database& db) { return applyWrites(db, *open, &v); }, false);
  if (rc == REG_SUCCESS) putValue(open->pending, std::move(v));
  return rc;
}

long regCloseKey(KeyHandle key) {
  OpenKey* open = handleOf(key);
  if (open == nullptr) return STORE_INVALID_HANDLE;
  long rc = REG_SUCCESS;
  if (!open->pending.empty())
    rc = writeLocked([&](Database& db) { return applyWrites(db, *open, nullptr); }, true);
  openKeys().erase(open);
  delete open;
  return rc;
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
  if (rc != REG_SUCCESS) return rc;
  const std::string path = canonicalPath(subKey);
  Key* k = findKey(db, path);
  if (k == nullptr && !path.empty()) return STORE_NOT_FOUND;
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
  return REG_SUCCESS;
}

long storeKeyName(const std::string& subKey, std::string* name) {
  Database db;
  const long rc = load(&db);
  if (rc != REG_SUCCESS) return rc;
  Key* k = findKey(db, canonicalPath(subKey));
  if (k == nullptr) return STORE_NOT_FOUND;
  *name = k->path;
  return REG_SUCCESS;
}

long storeDeleteValue(const std::string& subKey, const std::string& name) {
  return writeLocked(
      [&](Database& db) {
        Key* k = findKey(db, canonicalPath(subKey));
        if (k == nullptr) return STORE_NOT_FOUND;
        const size_t before = k->values.size();
        std::erase_if(k->values, [&](const StoredValue& v) { return sameName(v.name, name); });
        return k->values.size() == before ? STORE_NOT_FOUND : REG_SUCCESS;
      },
      true);
}

long storeDeleteKey(const std::string& subKey) {
  const std::string path = canonicalPath(subKey);
  if (path.empty()) return STORE_ACCESS_DENIED;
  return writeLocked(
      [&](Database& db) {
        if (findKey(db, path) == nullptr) return STORE_NOT_FOUND;
        const std::string prefix = path + "\\";
        std::erase_if(db.keys, [&](const Key& k) {
          return sameName(k.path, path) ||
                 (k.path.size() > prefix.size() &&
                  sameName(std::string_view(k.path).substr(0, prefix.size()), prefix));
        });
        return REG_SUCCESS;
      },
      true);
}

}  // namespace posix

}  // namespace platform

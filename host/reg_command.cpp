// reg add KEY [/v NAME | /ve] [/t TYPE] [/d DATA] [/f]
// reg query KEY [/v NAME | /ve]
// reg delete KEY [/v NAME | /ve | /va] [/f]
//
// KEY starts with the root HKLM or HKEY_LOCAL_MACHINE. Switches may be
// written with "/" or "-", in any case. Output and messages take the shape
// of the Windows command, so scripts read alike on both systems.
#include "host/reg_command.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <optional>
#include <string>

#include "platform/port.h"
#include "platform/posix/store.h"

namespace host {

namespace {

constexpr const char* ROOT_NAME = "HKEY_LOCAL_MACHINE";
constexpr uint32_t REG_TYPE_NONE = 0, REG_EXPAND_SZ = 2, REG_BINARY = 3, REG_QWORD = 11;

struct TypeName {
  const char* name;
  uint32_t type;
};
constexpr TypeName TYPES[] = {{"REG_NONE", REG_TYPE_NONE},
                              {"REG_SZ", platform::REG_TYPE_SZ},
                              {"REG_EXPAND_SZ", REG_EXPAND_SZ},
                              {"REG_BINARY", REG_BINARY},
                              {"REG_DWORD", platform::REG_TYPE_DWORD},
                              {"REG_QWORD", REG_QWORD}};

std::string upper(std::string s) {
  for (char& c : s)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  return s;
}

int syntaxError(const std::string& verb, const char* detail = nullptr) {
  std::cout << "ERROR: Invalid syntax.";
  if (detail != nullptr) std::cout << " " << detail;
  std::cout << "\nType \"REG " << upper(verb) << " /?\" for usage.\n";
  return 1;
}

int systemError(long code) {
  switch (code) {
    case platform::posix::STORE_NOT_FOUND:
      std::cout << "ERROR: The system was unable to find the specified registry key or value.\n";
      break;
    case platform::posix::STORE_PATH_NOT_FOUND:
      std::cout << "ERROR: The system cannot find the path specified.\n";
      break;
    case platform::posix::STORE_ACCESS_DENIED:
      std::cout << "ERROR: Access is denied.\n";
      break;
    case platform::posix::STORE_CORRUPT:
      std::cout << "ERROR: The structure of one of the files containing registry data is "
                   "corrupt.\n";
      break;
    default:
      std::cout << "ERROR: The registry operation failed (" << code << ").\n";
  }
  return 1;
}

// "HKLM\Software\X" -> "Software\X"; nullopt for any other root.
std::optional<std::string> subKeyOf(const std::string& key) {
  const size_t slash = key.find('\\');
  const std::string root = upper(key.substr(0, slash));
  if (root != "HKLM" && root != ROOT_NAME) return std::nullopt;
  return slash == std::string::npos ? std::string() : key.substr(slash + 1);
}

std::string typeName(uint32_t type) {
  for (const auto& t : TYPES)
    if (t.type == type) return t.name;
  char text[32];
  std::snprintf(text, sizeof text, "REG_0x%X", type);
  return text;
}

std::string shownData(const platform::posix::StoredValue& v) {
  if (v.type == platform::REG_TYPE_SZ || v.type == REG_EXPAND_SZ) {
    return v.data.substr(0, v.data.find('\0'));
  }
  char text[32];
  if (v.type == platform::REG_TYPE_DWORD && v.data.size() == 4) {
    uint32_t n = 0;
    std::memcpy(&n, v.data.data(), 4);
    std::snprintf(text, sizeof text, "0x%x", n);
    return text;
  }
  if (v.type == REG_QWORD && v.data.size() == 8) {
    uint64_t n = 0;
    std::memcpy(&n, v.data.data(), 8);
    std::snprintf(text, sizeof text, "0x%llx", static_cast<unsigned long long>(n));
    return text;
  }
  std::string hex;
  for (const char c : v.data) {
    std::snprintf(text, sizeof text, "%02X", static_cast<unsigned char>(c));
    hex += text;
  }
  return hex;
}

void printValue(const platform::posix::StoredValue& v) {
  std::cout << "    " << (v.name.empty() ? "(Default)" : v.name) << "    " << typeName(v.type)
            << "    " << shownData(v) << "\n";
}

bool askYes(const std::string& question) {
  std::cout << question << " (Yes/No)? " << std::flush;
  std::string answer;
  if (!std::getline(std::cin, answer)) return false;
  answer = upper(answer);
  return answer == "Y" || answer == "YES";
}

bool parseNumber(const std::string& text, int bits, uint64_t* out) {
  if (text.empty()) return false;
  const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
  const int base = hex ? 16 : 10;
  uint64_t v = 0;
  for (size_t i = hex ? 2 : 0; i < text.size(); ++i) {
    int d;
    const char c = text[i];
    if (c >= '0' && c <= '9') {
      d = c - '0';
    } else if (base == 16 && c >= 'a' && c <= 'f') {
      d = c - 'a' + 10;
    } else if (base == 16 && c >= 'A' && c <= 'F') {
      d = c - 'A' + 10;
    } else {
      return false;
    }
    const uint64_t limit = bits == 64 ? UINT64_MAX : 0xFFFFFFFFull;
    if (v > (limit - static_cast<uint64_t>(d)) / static_cast<uint64_t>(base)) return false;
    v = v * static_cast<uint64_t>(base) + static_cast<uint64_t>(d);
  }
  *out = v;
  return true;
}

struct Switches {
  std::optional<std::string> valueName;  // /v NAME, or "" for /ve
  bool allValues = false;                // /va
  std::optional<std::string> type;       // /t
  std::optional<std::string> data;       // /d
  bool force = false;                    // /f
};

// Parses the switches after KEY; false on anything unknown or repeated.
bool parseSwitches(const std::vector<std::string>& args, size_t from, const std::string& verb,
                   Switches* s) {
  for (size_t i = from; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (a.size() < 2 || (a[0] != '/' && a[0] != '-')) return false;
    const std::string name = upper(a.substr(1));
    const bool hasNext = i + 1 < args.size();
    if (name == "V" && hasNext && !s->valueName) {
      s->valueName = args[++i];
    } else if (name == "VE" && !s->valueName) {
      s->valueName = "";
    } else if (name == "VA" && verb == "delete" && !s->allValues) {
      s->allValues = true;
    } else if (name == "T" && hasNext && verb == "add" && !s->type) {
      s->type = upper(args[++i]);
    } else if (name == "D" && hasNext && verb == "add" && !s->data) {
      s->data = args[++i];
    } else if (name == "F" && verb != "query" && !s->force) {
      s->force = true;
    } else {
      return false;
    }
  }
  return !(s->allValues && s->valueName);
}

int add(const std::string& subKey, const Switches& s) {
  uint32_t type = platform::REG_TYPE_SZ;
  if (s.type) {
    bool known = false;
    for (const auto& t : TYPES) {
      if (*s.type == t.name) {
        type = t.type;
        known = true;
      }
    }
    if (!known) return syntaxError("add", "Unsupported type for /t.");
  }
  const std::string text = s.data.value_or("");
  std::string bytes;
  if (type == platform::REG_TYPE_DWORD || type == REG_QWORD) {
    uint64_t n = 0;
    const int bits = type == REG_QWORD ? 64 : 32;
    if (!parseNumber(s.data ? text : "0", bits, &n)) {
      std::cout << "ERROR: Invalid value for /d: " << text << "\n";
      return 1;
    }
    if (bits == 32) {
      const auto n32 = static_cast<uint32_t>(n);
      bytes.assign(reinterpret_cast<const char*>(&n32), 4);
    } else {
      bytes.assign(reinterpret_cast<const char*>(&n), 8);
    }
  } else if (type == REG_BINARY) {
    if (text.size() % 2 != 0) return syntaxError("add", "Invalid hex data for /d.");
    for (size_t i = 0; i < text.size(); i += 2) {
      uint64_t b = 0;
      if (!parseNumber("0x" + text.substr(i, 2), 32, &b)) {
        return syntaxError("add", "Invalid hex data for /d.");
      }
      bytes += static_cast<char>(b);
    }
  } else {
    bytes = text;  // strings are stored without terminator
  }

  if (s.valueName && !s.force) {
    std::vector<platform::posix::StoredValue> values;
    if (platform::posix::storeListKey(subKey, &values, nullptr) == platform::REG_SUCCESS) {
      for (const auto& v : values) {
        if (upper(v.name) == upper(*s.valueName) &&
            !askYes("Value " + (s.valueName->empty() ? "(Default)" : *s.valueName) +
                    " exists, overwrite")) {
          std::cout << "The operation was canceled by the user.\n";
          return 0;
        }
      }
    }
  }

  platform::KeyHandle key = nullptr;
  long rc = platform::regCreateKey(subKey.c_str(), &key);
  if (rc != platform::REG_SUCCESS) return systemError(rc);
  if (s.valueName) {
    rc = platform::regSetValue(key, s.valueName->c_str(), type, bytes.data(),
                               static_cast<uint32_t>(bytes.size()));
  }
  // Closing the key is what commits the write: its failure is the command's.
  const long closed = platform::regCloseKey(key);
  if (rc == platform::REG_SUCCESS) rc = closed;
  if (rc != platform::REG_SUCCESS) return systemError(rc);
  std::cout << "The operation completed successfully.\n";
  return 0;
}

int query(const std::string& subKey, const Switches& s) {
  std::vector<platform::posix::StoredValue> values;
  std::vector<std::string> subKeys;
  const long rc = platform::posix::storeListKey(subKey, &values, &subKeys);
  if (rc != platform::REG_SUCCESS) return systemError(rc);
  std::string stored = subKey;
  platform::posix::storeKeyName(subKey, &stored);
  const std::string fullName = stored.empty() ? ROOT_NAME : std::string(ROOT_NAME) + "\\" + stored;

  if (s.valueName) {
    for (const auto& v : values) {
      if (upper(v.name) == upper(*s.valueName)) {
        std::cout << "\n" << fullName << "\n";
        printValue(v);
        std::cout << "\n";
        return 0;
      }
    }
    return systemError(platform::posix::STORE_NOT_FOUND);
  }
  std::cout << "\n" << fullName << "\n";
  for (const auto& v : values) printValue(v);
  std::cout << "\n";
  for (const auto& k : subKeys) std::cout << ROOT_NAME << "\\" << k << "\n";
  return 0;
}

int remove(const std::string& subKey, const Switches& s) {
  std::vector<platform::posix::StoredValue> values;
  long rc = platform::posix::storeListKey(subKey, &values, nullptr);
  if (rc != platform::REG_SUCCESS) return systemError(rc);
  if (!s.force) {
    const std::string question =
        s.valueName ? "Delete the registry value " +
                          (s.valueName->empty() ? std::string("(Default)") : *s.valueName)
        : s.allValues
            ? std::string("Delete all values under the registry key ") + ROOT_NAME + "\\" + subKey
            : std::string("Permanently delete the registry key ") + ROOT_NAME + "\\" + subKey;
    if (!askYes(question)) {
      std::cout << "The operation was canceled by the user.\n";
      return 0;
    }
  }
  if (s.valueName) {
    rc = platform::posix::storeDeleteValue(subKey, *s.valueName);
  } else if (s.allValues) {
    for (const auto& v : values) {
      rc = platform::posix::storeDeleteValue(subKey, v.name);
      if (rc != platform::REG_SUCCESS) break;
    }
  } else {
    rc = platform::posix::storeDeleteKey(subKey);
  }
  if (rc != platform::REG_SUCCESS) return systemError(rc);
  std::cout << "The operation completed successfully.\n";
  return 0;
}

}  // namespace

int regCommand(const std::vector<std::string>& args) {
  if (args.empty()) {
    std::cout << "ERROR: Invalid syntax.\nType \"REG /?\" for usage.\n";
    return 1;
  }
  std::string verb = args[0];
  for (char& c : verb)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  if (verb != "add" && verb != "query" && verb != "delete") {
    std::cout << "ERROR: Invalid syntax.\nType \"REG /?\" for usage.\n";
    return 1;
  }
  if (args.size() < 2) return syntaxError(verb);
  const std::optional<std::string> subKey = subKeyOf(args[1]);
  if (!subKey) {
    std::cout << "ERROR: Invalid key name.\nType \"REG " << upper(verb) << " /?\" for usage.\n";
    return 1;
  }
  Switches s;
  if (!parseSwitches(args, 2, verb, &s)) return syntaxError(verb);
  if (verb == "add") return add(*subKey, s);
  if (verb == "query") return query(*subKey, s);
  return remove(*subKey, s);
}

}  // namespace host

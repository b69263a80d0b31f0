// An in-memory registry key with the Windows store's read-back rules, plus
// failure injection.
#include <cstring>

#include "tests/support/fake_platform.h"

namespace {
constexpr long MORE_DATA = 234;    // ERROR_MORE_DATA
constexpr long NOT_FOUND = 2;      // ERROR_FILE_NOT_FOUND
constexpr long INVALID_DATA = 13;  // ERROR_INVALID_DATA

long readOne(const std::map<std::string, fake::Value>& values, platform::Setting& s) {
  const bool text = s.kind == platform::SettingKind::text;
  if (text) std::memset(s.buffer, 0, s.capacity);
  const auto it = values.find(s.name);
  if (it == values.end()) return NOT_FOUND;
  const std::string& bytes = it->second.bytes;
  if (text) {
    if (bytes.size() > s.capacity) return MORE_DATA;
    std::memcpy(s.buffer, bytes.data(), bytes.size());
    if (s.buffer[s.capacity - 1] == '\0') return 0;
    std::memset(s.buffer, 0, s.capacity);
    return MORE_DATA;
  }
  if (bytes.size() > sizeof s.number) return MORE_DATA;
  std::memcpy(&s.number, bytes.data(), bytes.size());
  if (s.typedOnly && (it->second.type != platform::REG_TYPE_DWORD || bytes.size() != 4))
    return INVALID_DATA;
  return 0;
}

}  // namespace

namespace fake {

void putValue(const std::string& name, uint32_t type, const std::string& bytes) {
  state().registry[SETTINGS_SUBKEY][name] = {type, bytes};
}

void putDword(const std::string& name, uint32_t v) {
  putValue(name, platform::REG_TYPE_DWORD, std::string(reinterpret_cast<const char*>(&v), 4));
}

const Value* value(const std::string& name) {
  auto& key = state().registry[SETTINGS_SUBKEY];
  auto it = key.find(name);
  return it == key.end() ? nullptr : &it->second;
}

}  // namespace fake

namespace platform {

long readSettings(Setting* settings, size_t count) {
  auto& s = fake::state();
  if (s.createKeyError != 0) return s.createKeyError;
  const auto& values = s.registry[SETTINGS_SUBKEY];  // created when absent
  for (size_t i = 0; i < count; ++i) settings[i].error = readOne(values, settings[i]);
  return 0;
}

long writeSettings(Setting* settings, size_t count) {
  auto& s = fake::state();
  if (s.createKeyError != 0) return s.createKeyError;
  auto& values = s.registry[SETTINGS_SUBKEY];
  for (size_t i = 0; i < count; ++i) {
    Setting& one = settings[i];
    const auto error = s.setValueErrors.find(one.name);
    one.error = error != s.setValueErrors.end() ? error->second : 0;
    if (one.error != 0) continue;
    values[one.name] =
        one.kind == SettingKind::text
            ? fake::Value{REG_TYPE_SZ, one.text}
            : fake::Value{REG_TYPE_DWORD, std::string(reinterpret_cast<const char*>(&one.number),
                                                      sizeof one.number)};
  }
  return 0;
}

}  // namespace platform

// An in-memory registry with the same read-back rules as the real stores,
// plus failure injection.
#include <cstring>

#include "platform/posix/errors.h"
#include "tests/support/fake_platform.h"

namespace {
constexpr long MORE_DATA = 234;  // ERROR_MORE_DATA
constexpr long NOT_FOUND = 2;    // ERROR_FILE_NOT_FOUND
}  // namespace

namespace fake {

void putValue(const std::string& name, uint32_t type, const std::string& bytes) {
  state().registry["Software\\Winamp\\Trellicast"][name] = {type, bytes};
}

void putDword(const std::string& name, uint32_t v) {
  putValue(name, platform::REG_TYPE_DWORD, std::string(reinterpret_cast<const char*>(&v), 4));
}

const Value* value(const std::string& name) {
  auto& key = state().registry["Software\\Winamp\\Trellicast"];
  auto it = key.find(name);
  return it == key.end() ? nullptr : &it->second;
}

}  // namespace fake

namespace platform {

long regCreateKey(const char* subKey, KeyHandle* key) {
  auto& s = fake::state();
  if (s.createKeyError != 0) {
    setLastError(static_cast<uint32_t>(s.createKeyError));
    return s.createKeyError;
  }
  auto it = s.registry.try_emplace(subKey).first;
  ++s.openKeys;
  *key = &it->second;
  return REG_SUCCESS;
}

long regQueryValue(KeyHandle key, const char* name, void* data, uint32_t* size, uint32_t* type) {
  auto* values = static_cast<std::map<std::string, fake::Value>*>(key);
  auto it = values->find(name);
  if (it == values->end()) return NOT_FOUND;
  if (type != nullptr) *type = it->second.type;
  const auto& bytes = it->second.bytes;
  if (bytes.size() > *size) {
    *size = static_cast<uint32_t>(bytes.size());
    return MORE_DATA;
  }
  std::memcpy(data, bytes.data(), bytes.size());
  *size = static_cast<uint32_t>(bytes.size());
  return REG_SUCCESS;
}

long regSetValue(KeyHandle key, const char* name, uint32_t type, const void* data, uint32_t size) {
  auto& s = fake::state();
  auto err = s.setValueErrors.find(name);
  if (err != s.setValueErrors.end()) return err->second;
  (*static_cast<std::map<std::string, fake::Value>*>(key))[name] = {
      type, std::string(static_cast<const char*>(data), size)};
  return REG_SUCCESS;
}

long regCloseKey(KeyHandle) {
  --fake::state().openKeys;
  return REG_SUCCESS;
}

}  // namespace platform

// The POSIX settings store's editing services beyond what the plug-in uses,
// for the stand-in player's "reg" command. Keys are written without a root
// ("Software\Winamp\Trellicast", under the local machine); key and value
// names compare without regard to case. Results are registry error codes.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace platform::posix {

// Error codes, as the Windows registry functions return them.
constexpr long STORE_NOT_FOUND = 2;           // ERROR_FILE_NOT_FOUND: no such key or value
constexpr long STORE_PATH_NOT_FOUND = 3;      // ERROR_PATH_NOT_FOUND: the folder cannot be made
constexpr long STORE_ACCESS_DENIED = 5;       // ERROR_ACCESS_DENIED: the folder cannot be written
constexpr long STORE_INVALID_HANDLE = 6;      // ERROR_INVALID_HANDLE
constexpr long STORE_INVALID_PARAMETER = 87;  // ERROR_INVALID_PARAMETER
constexpr long STORE_DISK_FULL = 112;         // ERROR_DISK_FULL
constexpr long STORE_MORE_DATA = 234;         // ERROR_MORE_DATA: data longer than the capacity
constexpr long STORE_CORRUPT = 1015;          // ERROR_REGISTRY_CORRUPT: the file is damaged
constexpr long STORE_IO_FAILED = 1016;        // ERROR_REGISTRY_IO_FAILED: any other I/O failure
constexpr long STORE_KEY_DELETED = 1018;      // ERROR_KEY_DELETED: the open key went away

struct StoredValue {
  std::string name;
  uint32_t type;
  std::string data;  // raw bytes, as written
};

// The key's values in the order they were first written, and the full
// names of its direct subkeys.
long storeListKey(const std::string& subKey, std::vector<StoredValue>* values,
                  std::vector<std::string>* subKeys);
// The key's spelling as stored (its case as first created).
long storeKeyName(const std::string& subKey, std::string* name);
long storeDeleteValue(const std::string& subKey, const std::string& name);
// Deletes the key with all its subkeys.
long storeDeleteKey(const std::string& subKey);

}  // namespace platform::posix

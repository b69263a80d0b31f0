// Part of the port: what the files for streamers (output/) need of the
// system beside their worker thread (platform/port_worker.h): "replace a
// file whole". Not included by platform/port.h: only output/ and its
// backends see it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace platform {

// ---- Replacing a file whole ------------------------------------------------------
// The outcome of one replace: written, or the system's error code and
// whether it is worth trying again soon (the file is held open by a reader
// that shares no delete: ERROR_SHARING_VIOLATION, ERROR_ACCESS_DENIED or
// ERROR_LOCK_VIOLATION on Windows; EBUSY, ETXTBSY or EINTR on POSIX).
struct FileReplace {
  bool written = false;
  uint32_t error = 0;
  bool busy = false;
};

// Writes bytes to folder/name so that a reader sees the old file or the new
// one, whole, and never a missing or partial one: a temporary file
// ".name.tmp" in the same folder is written, flushed (FlushFileBuffers /
// fsync) and closed, then renamed over name (MoveFileExW with
// MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH / rename). With
// keepExisting an existing name is left as it is (MoveFileExW without
// replacing / link) and that counts as written. The temporary file is
// removed on failure. folder and name are UTF-8 (the wide functions on
// Windows); folder without a trailing separator is fine.
FileReplace replaceFileWhole(const std::string& folder, const std::string& name, const void* bytes,
                             size_t size, bool keepExisting);

}  // namespace platform

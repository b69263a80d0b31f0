// Whole-file replacement on POSIX: a temporary file, fsync and rename.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/port_output.h"

namespace platform {
namespace {

bool writeAll(int fd, const void* bytes, size_t size) {
  const char* at = static_cast<const char*>(bytes);
  while (size > 0) {
    const ssize_t n = write(fd, at, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    at += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

FileReplace failed(int error) {
  FileReplace outcome;
  outcome.error = static_cast<uint32_t>(error);
  outcome.busy = error == EBUSY || error == ETXTBSY || error == EINTR;
  return outcome;
}

}  // namespace

FileReplace replaceFileWhole(const std::string& folder, const std::string& name, const void* bytes,
                             size_t size, bool keepExisting) {
  std::string prefix = folder;
  if (!prefix.empty() && prefix.back() != '/') prefix += '/';
  const std::string target = prefix + name;
  const std::string temporary = prefix + "." + name + ".tmp";
  const int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return failed(errno);
  if (!writeAll(fd, bytes, size) || fsync(fd) != 0) {
    const int error = errno;
    close(fd);
    unlink(temporary.c_str());
    return failed(error);
  }
  if (close(fd) != 0) {
    const int error = errno;
    unlink(temporary.c_str());
    return failed(error);
  }
  if (keepExisting) {
    const int rc = link(temporary.c_str(), target.c_str());
    const int error = errno;
    unlink(temporary.c_str());
    if (rc != 0 && error != EEXIST) return failed(error);
  } else if (rename(temporary.c_str(), target.c_str()) != 0) {
    const int error = errno;
    unlink(temporary.c_str());
    return failed(error);
  }
  FileReplace outcome;
  outcome.written = true;
  return outcome;
}

}  // namespace platform

// The Discord worker's wake-up and its connection on POSIX: a Unix socket.
//
// The wake-up is a non-blocking pipe the worker polls beside the socket, so
// one poll waits for either.
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>

#include "platform/port_discord.h"
#include "platform/port_worker.h"

namespace platform {

struct DiscordPipe {
  int fd = -1;
};

void DiscordPipeCloser::operator()(DiscordPipe* pipe) const {
  if (pipe->fd >= 0) close(pipe->fd);
  delete pipe;
}

namespace {

// The wake-up: wakeDiscord writes a byte, waitDiscord drains them. Made
// once and kept for the life of the process (two descriptors).
pthread_once_t wakeOnce = PTHREAD_ONCE_INIT;
int wakeFds[2] = {-1, -1};
void makeWakePipe() {
  if (pipe2(wakeFds, O_NONBLOCK | O_CLOEXEC) != 0) wakeFds[0] = wakeFds[1] = -1;
}

// Where the client listens: $XDG_RUNTIME_DIR, else $TMPDIR, else /tmp.
std::string runtimeFolder() {
  for (const char* name : {"XDG_RUNTIME_DIR", "TMPDIR"}) {
    const char* value = std::getenv(name);
    if (value != nullptr && value[0] != '\0') return value;
  }
  return "/tmp";
}

// 0 and the socket in *fd, or errno.
int connectTo(const std::string& path, int* fd) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (path.size() >= sizeof address.sun_path) return ENAMETOOLONG;
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  const int s = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (s < 0) return errno;
  if (connect(s, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    const int error = errno;
    close(s);
    return error;
  }
  const int flags = fcntl(s, F_GETFL);
  if (flags < 0 || fcntl(s, F_SETFL, flags | O_NONBLOCK) != 0) {
    const int error = errno;
    close(s);
    return error;
  }
  *fd = s;
  return 0;
}

int pollTimeout(uint32_t waitMs) {
  if (waitMs == DISCORD_WAIT_FOREVER) return -1;
  return waitMs > 0x7FFFFFFFu ? 0x7FFFFFFF : static_cast<int>(waitMs);
}

}  // namespace

bool prepareDiscordWake() {
  pthread_once(&wakeOnce, makeWakePipe);
  return wakeFds[0] >= 0;
}

void wakeDiscord() {
  pthread_once(&wakeOnce, makeWakePipe);
  if (wakeFds[1] < 0) return;
  const char byte = 1;
  // A full pipe already holds a wake.
  while (write(wakeFds[1], &byte, 1) < 0 && errno == EINTR) {
  }
}

uint32_t discordProcessId() { return static_cast<uint32_t>(getpid()); }

DiscordOpen openDiscordPipe() {
  DiscordOpen outcome;
  outcome.error = ENOENT;
  const std::string base = runtimeFolder();
  for (const char* sub : {"", "/snap.discord", "/app/com.discordapp.Discord"}) {
    for (int n = 0; n < 10; ++n) {
      int fd = -1;
      const int rc = connectTo(base + sub + "/discord-ipc-" + std::to_string(n), &fd);
      if (rc != 0) {
        outcome.error = static_cast<uint32_t>(rc);
        continue;
      }
      outcome.pipe.reset(new (std::nothrow) DiscordPipe{fd});
      if (!outcome.pipe) {
        close(fd);
        outcome.error = ENOMEM;
        return outcome;
      }
      outcome.error = 0;
      return outcome;
    }
  }
  return outcome;
}

uint32_t writeDiscordPipe(DiscordPipe& pipe, const void* bytes, size_t size, uint32_t waitMs) {
  const char* at = static_cast<const char*>(bytes);
  const uint64_t deadline = clockMs() + waitMs;
  while (size > 0) {
    const ssize_t n = send(pipe.fd, at, size, MSG_NOSIGNAL);
    if (n > 0) {
      at += n;
      size -= static_cast<size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) return static_cast<uint32_t>(errno);
    const uint64_t now = clockMs();
    if (now >= deadline) return ETIMEDOUT;
    pollfd out{pipe.fd, POLLOUT, 0};
    if (poll(&out, 1, static_cast<int>(deadline - now)) < 0 && errno != EINTR)
      return static_cast<uint32_t>(errno);
  }
  return 0;
}

DiscordWait waitDiscord(DiscordPipe* pipe, std::string* received, uint32_t waitMs) {
  pthread_once(&wakeOnce, makeWakePipe);
  DiscordWait outcome;
  pollfd fds[2] = {{wakeFds[0], POLLIN, 0}, {pipe != nullptr ? pipe->fd : -1, POLLIN, 0}};
  const int rc = poll(fds, 2, pollTimeout(waitMs));
  if (rc < 0) {
    // A signal cut the wait short: the caller waits again as it sees fit.
    outcome.event = DiscordEvent::woken;
    return outcome;
  }
  if (rc == 0) return outcome;  // timed out
  if (fds[1].revents != 0) {
    char chunk[4096];
    bool any = false;
    for (;;) {
      const ssize_t n = recv(pipe->fd, chunk, sizeof chunk, 0);
      if (n > 0) {
        received->append(chunk, static_cast<size_t>(n));
        any = true;
        continue;
      }
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
      // The other end closed (0) or the socket failed: bytes already read
      // are handed over first, the close is seen on the next wait.
      if (any) break;
      outcome.event = DiscordEvent::closed;
      outcome.error = n == 0 ? 0 : static_cast<uint32_t>(errno);
      return outcome;
    }
    outcome.event = DiscordEvent::received;
    return outcome;
  }
  if (fds[0].revents != 0) {
    char drain[64];
    while (read(wakeFds[0], drain, sizeof drain) > 0) {
    }
    outcome.event = DiscordEvent::woken;
  }
  return outcome;
}

}  // namespace platform

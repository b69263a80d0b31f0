#include "tests/gauntlet/fault_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <optional>
#include <string_view>

namespace gauntlet {

namespace {

using namespace std::string_view_literals;

constexpr int IO_TIMEOUT_MS = 3000;
constexpr int SLICE_MS = 50;  // how often a waiting thread looks at the server's state
constexpr size_t MAX_REQUEST = 1 << 20;
constexpr size_t HUGE_ANSWER = 10u << 20;

// The answer of each mode that answers in HTTP: its status and body.
const struct {
  Fault fault;
  std::string_view status;
  std::string_view body;
} kAnswers[] = {
    {Fault::healthy, "200 OK"sv, "ok"sv},
    {Fault::tls, "200 OK"sv, "ok"sv},
    {Fault::lateAnswer, "200 OK"sv, "ok"sv},
    {Fault::status204, "204 No Content"sv, ""sv},
    {Fault::status500, "500 Internal Server Error"sv, "error"sv},
    {Fault::status404, "404 Not Found"sv, "not found"sv},
    {Fault::status415, "415 Unsupported Media Type"sv, "unsupported"sv},
    {Fault::redirectHttps, "301 Moved Permanently"sv, ""sv},
    {Fault::hugeAnswer, "200 OK"sv, ""sv},  // the body is sent apart
};
// The modes whose answer always ends the connection.
constexpr std::string_view GARBAGE =
    "\x16\x03\x01\x02\x00\xff\xfe garbage \x00\x01\x02 not a status line\n\n"sv;
constexpr std::string_view CUT_ANSWER =
    "HTTP/1.1 200 OK\r\nContent-Length: 1000\r\nConnection: close\r\n\r\nonly a part"sv;

bool startsWithNoCase(std::string_view text, std::string_view prefix) {
  if (text.size() < prefix.size()) return false;
  for (size_t i = 0; i < prefix.size(); ++i)
    if (std::tolower(static_cast<unsigned char>(text[i])) != prefix[i]) return false;
  return true;
}

// The value of the first header line named name (lower case, with ':'),
// or none.
std::optional<std::string_view> headerValue(std::string_view head, std::string_view name) {
  size_t at = 0;
  while ((at = head.find("\r\n", at)) != std::string_view::npos) {
    at += 2;
    if (!startsWithNoCase(head.substr(at), name)) continue;
    std::string_view value = head.substr(at + name.size());
    value = value.substr(0, value.find("\r\n"));
    while (!value.empty() && (value.front() == ' ' || value.front() == '\t'))
      value.remove_prefix(1);
    return value;
  }
  return std::nullopt;
}

size_t announcedLength(const std::string& head) {
  const auto value = headerValue(head, "content-length:");
  return value ? std::strtoul(std::string(*value).c_str(), nullptr, 10) : 0;
}

// An HTTP/1.1 request that does not ask to close keeps the connection.
bool asksToKeep(const std::string& head) {
  const std::string_view line = std::string_view(head).substr(0, head.find("\r\n"));
  if (line.size() < 8 || line.substr(line.size() - 8) != "HTTP/1.1") return false;
  const auto connection = headerValue(head, "connection:");
  return !connection || !startsWithNoCase(*connection, "close");
}

using ReadSome = std::function<long(char*, size_t)>;

// Reads through readSome until the headers have arrived (headOnly) or the
// whole request, at most upTo body bytes when given. Never reads past the
// request's announced end, so a kept connection's next request stays.
void readPost(const ReadSome& readSome, Post& post, bool headOnly, size_t upTo = SIZE_MAX) {
  std::string raw;
  char chunk[4096];
  while (raw.size() < MAX_REQUEST) {
    size_t want = 1;  // byte by byte until the headers end
    const size_t end = raw.find("\r\n\r\n");
    if (end != std::string::npos) {
      post.head = raw.substr(0, end + 2);
      const size_t length = announcedLength(post.head);
      post.body = raw.substr(end + 4);
      if (headOnly) return;
      if (post.body.size() >= length || post.body.size() >= upTo) {
        post.complete = post.body.size() >= length;
        return;
      }
      want = upTo != SIZE_MAX ? 1 : std::min(sizeof chunk, length - post.body.size());
    }
    const long n = readSome(chunk, want);
    if (n <= 0) return;
    raw.append(chunk, static_cast<size_t>(n));
  }
}

// Keeps the ciphertext the TLS layer reads from the socket.
long recordRead(BIO* bio, int oper, const char* argp, size_t, int, long, int ret,
                size_t* processed) {
  if (oper == (BIO_CB_READ | BIO_CB_RETURN) && ret > 0 && processed != nullptr) {
    auto* wire = reinterpret_cast<std::string*>(BIO_get_callback_arg(bio));
    wire->append(argp, *processed);
  }
  return ret;
}

struct SslDeleter {
  void operator()(SSL* ssl) const { SSL_free(ssl); }
};

void resetClose(int fd) {
  linger hard{1, 0};
  setsockopt(fd, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
  close(fd);
}

}  // namespace

// One connection's byte stream: the socket, or the TLS session on it.
struct FaultServer::Channel {
  int fd;
  std::unique_ptr<SSL, SslDeleter> ssl;
  std::string wire;  // every byte read from the socket since the last request was kept

  long readSome(char* buffer, size_t size) {
    const long n =
        ssl ? SSL_read(ssl.get(), buffer, static_cast<int>(size)) : recv(fd, buffer, size, 0);
    if (n > 0 && !ssl) wire.append(buffer, static_cast<size_t>(n));
    return n;
  }
  bool sendAll(std::string_view bytes) {
    while (!bytes.empty()) {
      const long n = ssl ? SSL_write(ssl.get(), bytes.data(), static_cast<int>(bytes.size()))
                         : send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
      if (n <= 0) return false;
      bytes.remove_prefix(static_cast<size_t>(n));
    }
    return true;
  }
  bool pending() const { return ssl && SSL_pending(ssl.get()) > 0; }
  Post read(bool headOnly, size_t upTo = SIZE_MAX) {
    Post post;
    readPost([this](char* buffer, size_t size) { return readSome(buffer, size); }, post, headOnly,
             upTo);
    post.wire = std::move(wire);
    wire.clear();
    return post;
  }
};

const char* faultName(Fault fault) {
  switch (fault) {
    case Fault::healthy:
      return "healthy";
    case Fault::refuse:
      return "refuse";
    case Fault::reset:
      return "reset";
    case Fault::neverRead:
      return "neverRead";
    case Fault::stallAfterHead:
      return "stallAfterHead";
    case Fault::status500:
      return "status500";
    case Fault::status404:
      return "status404";
    case Fault::redirectHttps:
      return "redirectHttps";
    case Fault::hugeAnswer:
      return "hugeAnswer";
    case Fault::garbage:
      return "garbage";
    case Fault::cutAnswer:
      return "cutAnswer";
    case Fault::cutRequest:
      return "cutRequest";
    case Fault::tls:
      return "tls";
    case Fault::status204:
      return "status204";
    case Fault::silentAfterRequest:
      return "silentAfterRequest";
    case Fault::resetAfterRequest:
      return "resetAfterRequest";
    case Fault::lateAnswer:
      return "lateAnswer";
    case Fault::status415:
      return "status415";
    case Fault::refuseUploads:
      return "refuseUploads";
  }
  return "?";
}

FaultServer::FaultServer(Fault fault, TlsFiles tls, int family) : family_(family) {
  if (fault == Fault::tls) {
    context_.reset(SSL_CTX_new(TLS_server_method()));
    if (!context_ ||
        SSL_CTX_use_certificate_chain_file(context_.get(), tls.certificate.c_str()) != 1 ||
        SSL_CTX_use_PrivateKey_file(context_.get(), tls.key.c_str(), SSL_FILETYPE_PEM) != 1)
      return;
  }
  // The thread applies the first mode before it accepts anything.
  wanted_ = fault;
  wake_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (wake_ < 0 || !listenNow()) {
    port_ = 0;
    return;
  }
  thread_ = std::thread([this] { run(); });
}

FaultServer::~FaultServer() {
  stop_ = true;
  if (thread_.joinable()) thread_.join();
  {
    // Connection threads see the stop within a slice of their waits; the
    // sockets are shut so none waits for a client either.
    std::unique_lock lock(mutex_);
    for (int fd : idle_) shutdown(fd, SHUT_RDWR);
    changed_.wait(lock, [&] { return serving_ == 0; });
  }
  for (int fd : held_) close(fd);
  if (listener_ >= 0) close(listener_);
  if (wake_ >= 0) close(wake_);
}

void FaultServer::ContextFree::operator()(ssl_ctx_st* context) const { SSL_CTX_free(context); }

// Binds the loopback address of the family, on the port used before when
// there is one, so a refusing server heals where the client expects it.
bool FaultServer::listenNow() {
  const int fd = socket(family_, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  const int on = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_storage storage{};
  socklen_t length = 0;
  if (family_ == AF_INET6) {
    auto* a = reinterpret_cast<sockaddr_in6*>(&storage);
    a->sin6_family = AF_INET6;
    a->sin6_addr = in6addr_loopback;
    a->sin6_port = htons(port_);
    length = sizeof *a;
  } else {
    auto* a = reinterpret_cast<sockaddr_in*>(&storage);
    a->sin_family = AF_INET;
    a->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a->sin_port = htons(port_);
    length = sizeof *a;
  }
  auto* address = reinterpret_cast<sockaddr*>(&storage);
  if (bind(fd, address, length) != 0 || listen(fd, 64) != 0 ||
      getsockname(fd, address, &length) != 0) {
    close(fd);
    return false;
  }
  port_ = family_ == AF_INET6 ? ntohs(reinterpret_cast<sockaddr_in6*>(&storage)->sin6_port)
                              : ntohs(reinterpret_cast<sockaddr_in*>(&storage)->sin_port);
  listener_ = fd;
  return true;
}

bool FaultServer::setFault(Fault fault) {
  wanted_ = fault;
  const uint64_t one = 1;
  if (write(wake_, &one, sizeof one) < 0) return false;
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, std::chrono::seconds(3), [&] { return applied_ == fault; });
}

void FaultServer::run() {
  // Writes to a client that hung up must not end the process (OpenSSL's
  // socket writes cannot ask for MSG_NOSIGNAL). Blocked on the server's
  // threads only (the connection threads inherit the mask): a signal raised
  // on the client's threads still shows.
  sigset_t pipe;
  sigemptyset(&pipe);
  sigaddset(&pipe, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &pipe, nullptr);
  while (!stop_) {
    const Fault fault = wanted_;
    {
      std::lock_guard lock(mutex_);
      if (fault != applied_) {
        for (int fd : held_) close(fd);
        held_.clear();
        // Idle kept connections end now (their threads see the end of the
        // stream); busy ones after their answer, as the generation says.
        for (int fd : idle_) shutdown(fd, SHUT_RDWR);
        ++generation_;
        if (fault == Fault::refuse && listener_ >= 0) {
          close(listener_);
          listener_ = -1;
        }
        if (fault != Fault::refuse && listener_ < 0 && !listenNow()) {
          usleep(5000);
          continue;
        }
        applied_ = fault;
        changed_.notify_all();
      }
    }
    // The wake-up counter ends the wait as soon as the mode changes.
    pollfd p[2] = {{wake_, POLLIN, 0}, {listener_, POLLIN, 0}};
    if (poll(p, listener_ >= 0 ? 2 : 1, SLICE_MS) <= 0) continue;
    if (p[0].revents != 0) {
      uint64_t count = 0;
      [[maybe_unused]] const ssize_t n = read(wake_, &count, sizeof count);
      continue;
    }
    if (p[1].revents == 0) continue;
    const int fd = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;
    const size_t connection = ++accepted_;
    timeval timeout{IO_TIMEOUT_MS / 1000, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
    {
      std::lock_guard lock(mutex_);
      ++serving_;
    }
    std::thread([this, fd, fault, connection] {
      serve(fd, fault, connection);
      std::lock_guard lock(mutex_);
      --serving_;
      changed_.notify_all();
    }).detach();
  }
}

// Sleeps ms in slices; false when the server stops or the mode changes
// from generation meanwhile.
bool FaultServer::pause(int ms, size_t generation) const {
  for (int slept = 0; slept < ms; slept += SLICE_MS) {
    if (stop_ || generation_ != generation) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(std::min(SLICE_MS, ms - slept)));
  }
  return !stop_ && generation_ == generation;
}

void FaultServer::keep(Post post) {
  std::lock_guard lock(mutex_);
  if (keep_) posts_.push_back(std::move(post));
  ++requests_;
  changed_.notify_all();
}

void FaultServer::serve(int fd, Fault fault, size_t connection) {
  switch (fault) {
    case Fault::refuse:  // a connection queued before the listener closed
    case Fault::reset:
      resetClose(fd);
      return;
    case Fault::neverRead: {
      std::lock_guard lock(mutex_);
      held_.push_back(fd);
      return;
    }
    default:
      break;
  }
  Channel channel{fd, nullptr, {}};
  if (fault == Fault::tls) {
    // A refused handshake is kept too, with whatever the client sent.
    channel.ssl.reset(SSL_new(context_.get()));
    BIO* bio = BIO_new_socket(fd, BIO_NOCLOSE);
    bool accepted = false;
    if (channel.ssl && bio != nullptr) {
      BIO_set_callback_arg(bio, reinterpret_cast<char*>(&channel.wire));
      BIO_set_callback_ex(bio, recordRead);
      SSL_set_bio(channel.ssl.get(), bio, bio);
      accepted = SSL_accept(channel.ssl.get()) == 1;
    } else {
      BIO_free(bio);
    }
    if (!accepted) {
      if (channel.ssl) {
        char rest[4096];
        while (SSL_read(channel.ssl.get(), rest, sizeof rest) > 0) {
        }
      }
      ERR_clear_error();
      Post post;
      post.wire = std::move(channel.wire);
      post.connection = connection;
      post.onConnection = 1;
      channel.ssl.reset();
      close(fd);
      keep(std::move(post));
      return;
    }
    ++handshakes_;
  }
  const bool gone = serveRequests(fd, fault, connection, channel);
  if (channel.ssl) {
    if (!gone) SSL_shutdown(channel.ssl.get());
    channel.ssl.reset();
    ERR_clear_error();
  }
  if (!gone) close(fd);
}

// Waits for the first byte of the next request on a kept connection: false
// when the client closed it, it stayed idle for IDLE_MS, the mode changed or
// the server stops.
bool FaultServer::waitRequest(int fd, Channel& channel, size_t generation) {
  {
    std::lock_guard lock(mutex_);
    if (generation_ != generation || stop_) return false;
    idle_.push_back(fd);
  }
  bool ready = channel.pending();
  for (int waited = 0; !ready && waited < IDLE_MS && !stop_ && generation_ == generation;
       waited += SLICE_MS) {
    pollfd p{fd, POLLIN, 0};
    ready = poll(&p, 1, SLICE_MS) > 0;
  }
  std::lock_guard lock(mutex_);
  idle_.erase(std::find(idle_.begin(), idle_.end(), fd));
  if (generation_ != generation || stop_) return false;
  if (!ready) return false;
  char probe;
  return channel.pending() || recv(fd, &probe, 1, MSG_PEEK | MSG_DONTWAIT) > 0;
}

// Serves the connection's requests in fault's way; true when the socket is
// no longer the caller's to close (held by the server until the next mode
// change, or reset already).
bool FaultServer::serveRequests(int fd, Fault fault, size_t connection, Channel& channel) {
  const size_t generation = generation_;
  auto hold = [&] {
    std::lock_guard lock(mutex_);
    if (generation_ != generation) return false;  // the mode changed meanwhile
    held_.push_back(fd);
    return true;
  };
  for (size_t n = 1;; ++n) {
    if (n > 1 && !waitRequest(fd, channel, generation)) return false;
    switch (fault) {
      case Fault::stallAfterHead:
        channel.read(true);
        return hold();
      case Fault::cutRequest:
        channel.read(false, 8);
        resetClose(fd);
        return true;  // closed already
      default:
        break;
    }
    Post post = channel.read(false);
    post.connection = connection;
    post.onConnection = n;
    post.tlsAccepted = channel.ssl != nullptr;
    // A kept connection's client may close it instead of sending another
    // request; only the first request of a connection is kept without headers.
    if (n > 1 && post.head.empty()) return false;
    const bool keepAlive = post.complete && asksToKeep(post.head);
    switch (fault) {
      case Fault::silentAfterRequest:
        keep(std::move(post));
        return hold();
      case Fault::resetAfterRequest:
        keep(std::move(post));
        resetClose(fd);
        return true;
      case Fault::lateAnswer:
        if (!pause(LATE_ANSWER_MS, generation)) {
          keep(std::move(post));
          return false;
        }
        break;
      case Fault::tls:
        if (!post.complete) {  // nothing answered to a cut request
          keep(std::move(post));
          return false;
        }
        break;
      default:
        break;
    }
    if (fault == Fault::refuseUploads)
      answer(channel,
             post.head.find("multipart/form-data") != std::string::npos ? Fault::status415
                                                                        : Fault::healthy,
             keepAlive);
    else
      answer(channel, fault, keepAlive);
    keep(std::move(post));
    if (!keepAlive || fault == Fault::garbage || fault == Fault::cutAnswer) return false;
    if (generation_ != generation) return false;  // the next request in the new mode
  }
}

void FaultServer::answer(Channel& channel, Fault fault, bool keepAlive) {
  if (fault == Fault::garbage) {
    channel.sendAll(GARBAGE);
    return;
  }
  if (fault == Fault::cutAnswer) {
    channel.sendAll(CUT_ANSWER);
    return;
  }
  std::string_view status = "200 OK", body = "ok";
  for (const auto& a : kAnswers)
    if (a.fault == fault) status = a.status, body = a.body;
  std::string head = "HTTP/1.1 " + std::string(status) + "\r\n";
  if (fault == Fault::redirectHttps) {
    const std::string host = family_ == AF_INET6 ? "[::1]" : "127.0.0.1";
    head += "Location: https://" + host + ":" + std::to_string(port_) + "/np\r\n";
  }
  const size_t length = fault == Fault::hugeAnswer ? HUGE_ANSWER : body.size();
  if (fault != Fault::status204) head += "Content-Length: " + std::to_string(length) + "\r\n";
  if (!keepAlive) head += "Connection: close\r\n";
  head += "\r\n";
  if (!channel.sendAll(head + std::string(body)) || fault != Fault::hugeAnswer) return;
  const std::string block(1 << 16, 'x');
  for (size_t sent = 0; sent < HUGE_ANSWER && !stop_; sent += block.size())
    if (!channel.sendAll(block)) break;
}

std::vector<Post> FaultServer::wait(size_t count, int timeoutMs) {
  std::unique_lock lock(mutex_);
  changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                    [&] { return posts_.size() >= count; });
  return posts_;
}

std::vector<Post> FaultServer::take() {
  std::lock_guard lock(mutex_);
  std::vector<Post> out;
  out.swap(posts_);
  return out;
}

bool makeTestCertificates(const std::string& dir) {
  const std::string d = "'" + dir + "'";
  const std::string ec = " -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes";
  const std::string quiet = " >/dev/null 2>&1";
  const std::string leafExt =
      "basicConstraints=critical,CA:FALSE\n"
      "keyUsage=critical,digitalSignature\n"
      "extendedKeyUsage=serverAuth\n";
  const std::string commands[] = {
      "printf '" + leafExt + "subjectAltName=IP:127.0.0.1\\n' > " + d + "/good.ext",
      "printf '" + leafExt + "subjectAltName=DNS:other.invalid\\n' > " + d + "/other.ext",
      "openssl req -x509" + ec + " -keyout " + d + "/ca.key -out " + d +
          "/ca.pem -days 2 -subj /CN=Trellicast-Test-Authority" +
          " -addext basicConstraints=critical,CA:TRUE -addext keyUsage=critical,keyCertSign" +
          quiet,
      "openssl req" + ec + " -keyout " + d + "/good.key -out " + d +
          "/good.csr -subj /CN=127.0.0.1" + quiet,
      "openssl x509 -req -in " + d + "/good.csr -CA " + d + "/ca.pem -CAkey " + d +
          "/ca.key -CAcreateserial -days 2 -extfile " + d + "/good.ext -out " + d + "/good.pem" +
          quiet,
      "openssl req" + ec + " -keyout " + d + "/other.key -out " + d +
          "/other.csr -subj /CN=other.invalid" + quiet,
      "openssl x509 -req -in " + d + "/other.csr -CA " + d + "/ca.pem -CAkey " + d +
          "/ca.key -CAcreateserial -days 2 -extfile " + d + "/other.ext -out " + d + "/other.pem" +
          quiet,
      "openssl req -x509" + ec + " -keyout " + d + "/self.key -out " + d +
          "/self.pem -days 2 -subj /CN=127.0.0.1 -addext subjectAltName=IP:127.0.0.1" + quiet,
  };
  for (const auto& command : commands)
    if (std::system(command.c_str()) != 0) return false;
  return true;
}

}  // namespace gauntlet

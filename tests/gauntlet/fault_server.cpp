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

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <string_view>

namespace gauntlet {

namespace {

using namespace std::string_view_literals;

constexpr int kIoTimeoutMs = 3000;
constexpr size_t kMaxRequest = 1 << 20;
constexpr size_t kHugeAnswer = 10u << 20;

// The fixed answers, by the mode that sends one once it has read the request.
const struct {
  Fault fault;
  std::string_view bytes;
} kAnswers[] = {
    {Fault::healthy, "HTTP/1.1 200 OK\r\nContent-Length: 2\r\nConnection: close\r\n\r\nok"sv},
    {Fault::status500,
     "HTTP/1.1 500 Internal Server Error\r\nContent-Length: 5\r\nConnection: close\r\n\r\nerror"sv},
    {Fault::status404,
     "HTTP/1.1 404 Not Found\r\nContent-Length: 9\r\nConnection: close\r\n\r\nnot found"sv},
    {Fault::garbage, "\x16\x03\x01\x02\x00\xff\xfe garbage \x00\x01\x02 not a status line\n\n"sv},
    {Fault::cutAnswer,
     "HTTP/1.1 200 OK\r\nContent-Length: 1000\r\nConnection: close\r\n\r\nonly a part"sv},
};

std::string_view answer(Fault fault) {
  for (const auto& a : kAnswers)
    if (a.fault == fault) return a.bytes;
  return kAnswers[0].bytes;
}

size_t announcedLength(const std::string& head) {
  size_t at = 0;
  while ((at = head.find("\r\n", at)) != std::string::npos) {
    at += 2;
    static const char name[] = "content-length:";
    if (head.size() - at < sizeof name - 1) break;
    bool match = true;
    for (size_t i = 0; i + 1 < sizeof name && match; ++i)
      match = std::tolower(static_cast<unsigned char>(head[at + i])) == name[i];
    if (match) return std::strtoul(head.c_str() + at + sizeof name - 1, nullptr, 10);
  }
  return 0;
}

bool sendAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (n <= 0) return false;
    bytes.remove_prefix(static_cast<size_t>(n));
  }
  return true;
}

using ReadSome = std::function<long(char*, size_t)>;

// Reads through readSome until the headers have arrived (headOnly) or the
// whole request, at most upTo body bytes when given.
void readPost(const ReadSome& readSome, Post& post, bool headOnly, size_t upTo = SIZE_MAX) {
  std::string raw;
  char chunk[4096];
  while (raw.size() < kMaxRequest) {
    const size_t end = raw.find("\r\n\r\n");
    if (end != std::string::npos) {
      post.head = raw.substr(0, end + 2);
      const size_t want = announcedLength(post.head);
      post.body = raw.substr(end + 4);
      if (headOnly) return;
      if (post.body.size() >= want || post.body.size() >= upTo) {
        post.complete = post.body.size() >= want;
        return;
      }
    }
    const long n = readSome(chunk, headOnly || upTo != SIZE_MAX ? 1 : sizeof chunk);
    if (n <= 0) return;
    raw.append(chunk, static_cast<size_t>(n));
  }
}

Post readPost(int fd, bool headOnly, size_t upTo = SIZE_MAX) {
  Post post;
  readPost(
      [&](char* buffer, size_t size) {
        const long n = recv(fd, buffer, size, 0);
        if (n > 0) post.wire.append(buffer, static_cast<size_t>(n));
        return n;
      },
      post, headOnly, upTo);
  return post;
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
  // socket writes cannot ask for MSG_NOSIGNAL). Blocked on this thread only:
  // a signal raised on the client's threads still shows.
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
    if (poll(p, listener_ >= 0 ? 2 : 1, 50) <= 0) continue;
    if (p[0].revents != 0) {
      uint64_t count = 0;
      [[maybe_unused]] const ssize_t n = read(wake_, &count, sizeof count);
      continue;
    }
    if (p[1].revents == 0) continue;
    const int fd = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;
    ++accepted_;
    timeval timeout{kIoTimeoutMs / 1000, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
    serve(fd, fault);
  }
}

void FaultServer::serve(int fd, Fault fault) {
  switch (fault) {
    case Fault::refuse:  // a connection queued before the listener closed
    case Fault::reset:
      resetClose(fd);
      return;
    case Fault::neverRead:
      held_.push_back(fd);
      return;
    case Fault::stallAfterHead:
      readPost(fd, true);
      held_.push_back(fd);
      return;
    case Fault::cutRequest: {
      readPost(fd, false, 8);
      resetClose(fd);
      return;
    }
    default:
      break;
  }
  Post post = fault == Fault::tls ? serveTls(fd) : readPost(fd, false);
  switch (fault) {
    case Fault::redirectHttps: {
      const std::string host = family_ == AF_INET6 ? "[::1]" : "127.0.0.1";
      const std::string redirect = "HTTP/1.1 301 Moved Permanently\r\nLocation: https://" + host +
                                   ":" + std::to_string(port_) +
                                   "/np\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
      sendAll(fd, redirect);
      break;
    }
    case Fault::hugeAnswer: {
      const std::string head = "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(kHugeAnswer) +
                               "\r\nConnection: close\r\n\r\n";
      sendAll(fd, head);
      const std::string block(1 << 16, 'x');
      for (size_t sent = 0; sent < kHugeAnswer; sent += block.size())
        if (!sendAll(fd, block)) break;
      break;
    }
    case Fault::tls:
      break;  // answered inside the TLS session
    default:
      sendAll(fd, answer(fault));
      break;
  }
  close(fd);
  std::lock_guard lock(mutex_);
  if (keep_) posts_.push_back(std::move(post));
  ++requests_;
  changed_.notify_all();
}

// A handshake with the server's certificate, then one request read and
// answered 200 inside the session. A refused handshake is kept too, with
// whatever the client sent.
Post FaultServer::serveTls(int fd) {
  Post post;
  std::unique_ptr<SSL, SslDeleter> ssl(SSL_new(context_.get()));
  BIO* bio = BIO_new_socket(fd, BIO_NOCLOSE);
  if (!ssl || bio == nullptr) {
    BIO_free(bio);
    ERR_clear_error();
    return post;
  }
  BIO_set_callback_arg(bio, reinterpret_cast<char*>(&post.wire));
  BIO_set_callback_ex(bio, recordRead);
  SSL_set_bio(ssl.get(), bio, bio);
  post.tlsAccepted = SSL_accept(ssl.get()) == 1;
  if (post.tlsAccepted) {
    readPost(
        [&](char* buffer, size_t size) {
          return static_cast<long>(SSL_read(ssl.get(), buffer, static_cast<int>(size)));
        },
        post, false);
    if (post.complete) {
      const std::string_view ok = answer(Fault::healthy);
      SSL_write(ssl.get(), ok.data(), static_cast<int>(ok.size()));
    }
    SSL_shutdown(ssl.get());
  } else {
    char rest[4096];
    while (SSL_read(ssl.get(), rest, sizeof rest) > 0) {
    }
  }
  ERR_clear_error();
  return post;
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

#include "tests/report/loopback_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>

namespace loopback {

namespace {

constexpr int kReadTimeoutMs = 3000;
constexpr size_t kMaxRequest = 1 << 20;
const char kAnswer[] = "HTTP/1.1 200 OK\r\nContent-Length: 2\r\nConnection: close\r\n\r\nok";

struct SslDeleter {
  void operator()(SSL* ssl) const { SSL_free(ssl); }
};

// Length of the body the headers announce, or 0.
size_t announcedLength(const std::string& headers) {
  size_t at = 0;
  while ((at = headers.find("\r\n", at)) != std::string::npos) {
    at += 2;
    static const char name[] = "content-length:";
    if (headers.size() - at < sizeof name - 1) break;
    bool match = true;
    for (size_t i = 0; i + 1 < sizeof name && match; ++i)
      match = std::tolower(static_cast<unsigned char>(headers[at + i])) == name[i];
    if (match) return std::strtoul(headers.c_str() + at + sizeof name - 1, nullptr, 10);
  }
  return 0;
}

// Reads through readSome until one whole request has arrived, the peer
// stops, or the read times out.
void readRequest(const std::function<long(char*, size_t)>& readSome, Exchange& exchange) {
  char chunk[4096];
  while (exchange.request.size() < kMaxRequest) {
    const size_t headerEnd = exchange.request.find("\r\n\r\n");
    if (headerEnd != std::string::npos &&
        exchange.request.size() >=
            headerEnd + 4 + announcedLength(exchange.request.substr(0, headerEnd + 2))) {
      exchange.complete = true;
      return;
    }
    const long n = readSome(chunk, sizeof chunk);
    if (n <= 0) return;
    exchange.request.append(chunk, static_cast<size_t>(n));
  }
}

long recordRead(BIO* bio, int oper, const char* argp, size_t, int, long, int ret,
                size_t* processed) {
  if (oper == (BIO_CB_READ | BIO_CB_RETURN) && ret > 0 && processed != nullptr) {
    auto* wire = reinterpret_cast<std::string*>(BIO_get_callback_arg(bio));
    wire->append(argp, *processed);
  }
  return ret;
}

}  // namespace

Server::Server(Mode mode, TlsFiles tls) : mode_(mode), tls_(std::move(tls)) {
  if (mode_ == Mode::tls) {
    SSL_CTX* ctx = SSL_CTX_new(TLS_server_method());
    if (ctx == nullptr || SSL_CTX_use_certificate_chain_file(ctx, tls_.certificate.c_str()) != 1 ||
        SSL_CTX_use_PrivateKey_file(ctx, tls_.key.c_str(), SSL_FILETYPE_PEM) != 1) {
      SSL_CTX_free(ctx);
      return;
    }
    context_ = ctx;
  }
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || listen(fd, 16) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    close(fd);
    return;
  }
  listener_ = fd;
  port_ = ntohs(address.sin_port);
  thread_ = std::thread([this] { run(); });
}

Server::~Server() {
  stop_ = true;
  if (thread_.joinable()) thread_.join();
  for (int fd : held_) close(fd);
  if (listener_ >= 0) close(listener_);
  SSL_CTX_free(static_cast<SSL_CTX*>(context_));
}

void Server::run() {
  // A client that hangs up early must not kill the test with SIGPIPE from
  // the server's own writes (OpenSSL's socket writes cannot ask for
  // MSG_NOSIGNAL). Blocked on this thread only: the cycle's thread, where
  // libcurl runs, stays exposed, so a signal raised there still shows.
  sigset_t pipe;
  sigemptyset(&pipe);
  sigaddset(&pipe, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &pipe, nullptr);
  while (!stop_) {
    pollfd p{listener_, POLLIN, 0};
    if (poll(&p, 1, 20) <= 0) continue;
    const int fd = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;
    ++accepted_;
    if (mode_ == Mode::silent) {
      held_.push_back(fd);
      continue;
    }
    timeval timeout{kReadTimeoutMs / 1000, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
    serve(fd);
    close(fd);
  }
}

void Server::serve(int fd) {
  Exchange exchange;
  if (mode_ == Mode::answer) {
    readRequest(
        [&](char* buffer, size_t size) {
          const long n = recv(fd, buffer, size, 0);
          if (n > 0) exchange.wire.append(buffer, static_cast<size_t>(n));
          return n;
        },
        exchange);
    if (exchange.complete) send(fd, kAnswer, sizeof kAnswer - 1, MSG_NOSIGNAL);
  } else {
    std::unique_ptr<SSL, SslDeleter> ssl(SSL_new(static_cast<SSL_CTX*>(context_)));
    BIO* bio = BIO_new_socket(fd, BIO_NOCLOSE);
    if (ssl && bio != nullptr) {
      BIO_set_callback_arg(bio, reinterpret_cast<char*>(&exchange.wire));
      BIO_set_callback_ex(bio, recordRead);
      SSL_set_bio(ssl.get(), bio, bio);
      exchange.tlsAccepted = SSL_accept(ssl.get()) == 1;
      if (exchange.tlsAccepted) {
        readRequest(
            [&](char* buffer, size_t size) {
              return static_cast<long>(SSL_read(ssl.get(), buffer, static_cast<int>(size)));
            },
            exchange);
        if (exchange.complete) SSL_write(ssl.get(), kAnswer, sizeof kAnswer - 1);
        SSL_shutdown(ssl.get());
      } else {
        // Whatever the client sends after refusing the handshake still counts.
        char rest[4096];
        while (SSL_read(ssl.get(), rest, sizeof rest) > 0) {
        }
      }
    } else {
      BIO_free(bio);
    }
    ERR_clear_error();
  }
  std::lock_guard lock(mutex_);
  if (keep_) exchanges_.push_back(std::move(exchange));
  ++served_;
  changed_.notify_all();
}

std::vector<Exchange> Server::wait(size_t count, int timeoutMs) {
  std::unique_lock lock(mutex_);
  changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                    [&] { return exchanges_.size() >= count; });
  return exchanges_;
}

std::vector<Exchange> Server::exchanges() {
  std::lock_guard lock(mutex_);
  return exchanges_;
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

}  // namespace loopback

// A receiver on 127.0.0.1 for the update cycle's tests and benchmark: it
// accepts connections on its own thread, records the raw bytes of each
// request and answers it, or stays silent, or speaks TLS first.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace loopback {

enum class Mode {
  answer,  // read one request (headers and Content-Length bytes), answer 200
  silent,  // accept, then neither read nor answer until the server stops
  tls,     // TLS handshake with the given certificate, then as answer
};

struct Exchange {
  std::string wire;       // every byte received on the socket (ciphertext under TLS)
  std::string request;    // the HTTP request as the server read it (plaintext)
  bool complete = false;  // headers and the whole announced body arrived
  bool tlsAccepted = false;
};

struct TlsFiles {
  std::string certificate;  // PEM chain of the server
  std::string key;          // PEM private key
};

class Server {
 public:
  explicit Server(Mode mode, TlsFiles tls = {});
  ~Server();
  Server(const Server&) = delete;
  Server& operator=(const Server&) = delete;

  bool ok() const { return listener_ >= 0; }
  uint16_t port() const { return port_; }
  // Waits up to timeoutMs for at least count finished exchanges.
  std::vector<Exchange> wait(size_t count, int timeoutMs);
  // The exchanges finished so far.
  std::vector<Exchange> exchanges();
  // Connections accepted so far (silent ones included).
  size_t accepted() const { return accepted_.load(); }
  // Exchanges finished so far, kept or not.
  size_t served() const { return served_.load(); }
  // From now on only count exchanges (a long run must not grow the heap).
  void stopKeeping() { keep_ = false; }

 private:
  void run();
  void serve(int fd);

  Mode mode_;
  TlsFiles tls_;
  void* context_ = nullptr;  // SSL_CTX*
  int listener_ = -1;
  uint16_t port_ = 0;
  std::atomic<bool> stop_{false};
  std::atomic<size_t> accepted_{0};
  std::atomic<size_t> served_{0};
  std::atomic<bool> keep_{true};
  std::vector<int> held_;  // silent connections, closed when the server stops
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<Exchange> exchanges_;
  std::thread thread_;
};

// Creates, with the openssl command, in dir: a test authority (ca.pem), a
// server certificate it signs for 127.0.0.1 (good.pem/good.key), one it signs
// for another name only (other.pem/other.key) and a self-signed one for
// 127.0.0.1 (self.pem/self.key). False when any step fails.
bool makeTestCertificates(const std::string& dir);

}  // namespace loopback

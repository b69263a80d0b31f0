// A receiver on the loopback interface that misbehaves on request: it can
// refuse connections, reset them, hold them without reading or answering,
// answer with errors, redirects, late, huge or cut answers or bytes that are
// not HTTP at all, and heal again on the same port. In the healthy mode it
// reads each request whole, keeps it and answers 200; in the TLS mode it
// does the same behind a handshake with the certificate it was given.
//
// Every answer carries its Content-Length. An HTTP/1.1 request without
// "Connection: close" leaves the connection open for the next request, in
// every mode that answers (not after garbage or a cut answer); a connection
// idle for 10 s is closed. One thread accepts, each connection is served on
// a thread of its own in the mode of the moment it was accepted, so a held
// or kept connection never delays the next one. When the mode changes,
// held and idle kept connections are closed, and a connection busy with a
// request is closed once it has answered it: every request after
// setFault(m) arrives on a new connection served in mode m. accepted() and
// handshakes() count the connections and completed TLS handshakes.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

struct ssl_ctx_st;  // OpenSSL's SSL_CTX

namespace gauntlet {

enum class Fault {
  healthy,             // read the request, answer 200
  refuse,              // nothing listens on the port
  reset,               // accept, then reset the connection at once
  neverRead,           // accept, then neither read nor answer
  stallAfterHead,      // read the request's headers, then neither read nor answer
  status500,           // read the request, answer 500
  status404,           // read the request, answer 404
  redirectHttps,       // read the request, answer 301 to an https address
  hugeAnswer,          // read the request, answer 200 with a 10 MB body
  garbage,             // read the request, answer bytes that are not HTTP, close
  cutAnswer,           // read the request, announce a body, send part of it, close
  cutRequest,          // read the headers and part of the body, then close
  tls,                 // TLS handshake with the given certificate, then as healthy
  status204,           // read the request, answer 204 No Content
  silentAfterRequest,  // read the whole request, then neither answer nor close
  resetAfterRequest,   // read the whole request, then reset the connection
  lateAnswer,          // read the request, answer 200 after LATE_ANSWER_MS
  status415,           // read the request, answer 415
  refuseUploads,       // read the request, answer 415 to a multipart upload, 200 to the rest
};

// How long lateAnswer waits before it answers.
constexpr int LATE_ANSWER_MS = 1500;
// How long a kept connection may stay idle before the server closes it.
constexpr int IDLE_MS = 10000;

const char* faultName(Fault fault);

struct Post {
  std::string head;  // request line and headers, up to the blank line
  std::string body;
  std::string wire;       // every byte received on the socket (ciphertext under TLS)
  bool complete = false;  // the whole announced body arrived
  bool tlsAccepted = false;
  size_t connection = 0;    // which connection it came on: 1 for the first accepted, ...
  size_t onConnection = 0;  // its place among that connection's requests: 1, 2, ...
  // The request as read (plaintext), empty when not even its headers came.
  std::string request() const { return head.empty() ? std::string() : head + "\r\n" + body; }
};

struct TlsFiles {
  std::string certificate;  // PEM chain of the server
  std::string key;          // PEM private key
};

class FaultServer {
 public:
  // Starts in the given mode; family: AF_INET (127.0.0.1) or AF_INET6 (::1).
  // The TLS mode needs tls, read once here.
  explicit FaultServer(Fault fault = Fault::healthy, TlsFiles tls = {},
                       int family = 2 /* AF_INET */);
  explicit FaultServer(int family) : FaultServer(Fault::healthy, {}, family) {}
  ~FaultServer();
  FaultServer(const FaultServer&) = delete;
  FaultServer& operator=(const FaultServer&) = delete;

  bool ok() const { return port_ != 0; }
  uint16_t port() const { return port_; }
  // Switches the behaviour for the next connections; returns once the
  // listening socket follows (closed for refuse, open otherwise) and the
  // connections held so far are closed.
  bool setFault(Fault fault);
  // Waits up to timeoutMs until at least count requests have been read
  // (in any mode that reads them, and every handshake in the TLS mode);
  // returns those kept.
  std::vector<Post> wait(size_t count, int timeoutMs);
  // Connections accepted so far (a kept connection counts once).
  size_t accepted() const { return accepted_.load(); }
  // TLS handshakes completed so far (the TLS mode).
  size_t handshakes() const { return handshakes_.load(); }
  size_t requests() const { return requests_.load(); }
  // The requests kept so far, removed from the server (a long run takes
  // them as it goes, so the list never grows).
  std::vector<Post> take();
  // From now on only count requests (a long run must not grow the heap).
  void stopKeeping() { keep_ = false; }

 private:
  struct Channel;
  void run();
  bool listenNow();
  void serve(int fd, Fault fault, size_t connection);
  bool serveRequests(int fd, Fault fault, size_t connection, Channel& channel);
  bool waitRequest(int fd, Channel& channel, size_t generation);
  void keep(Post post);
  void answer(Channel& channel, Fault fault, bool keepAlive);
  bool pause(int ms, size_t generation) const;

  int family_;
  struct ContextFree {
    void operator()(ssl_ctx_st* context) const;
  };
  std::unique_ptr<ssl_ctx_st, ContextFree> context_;  // for the TLS mode
  uint16_t port_ = 0;
  int listener_ = -1;  // owned by the thread once it runs
  int wake_ = -1;      // eventfd: setFault wakes the thread's wait
  std::atomic<Fault> wanted_{Fault::healthy};
  Fault applied_ = Fault::healthy;
  std::atomic<bool> stop_{false};
  std::atomic<size_t> accepted_{0};
  std::atomic<size_t> requests_{0};
  std::atomic<size_t> handshakes_{0};
  std::atomic<bool> keep_{true};
  std::atomic<size_t> generation_{0};  // mode changes so far
  std::vector<int> held_;
  std::vector<int> idle_;  // kept connections waiting for their next request
  size_t serving_ = 0;     // connection threads still running
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<Post> posts_;
  std::thread thread_;
};

// Creates, with the openssl command, in dir: a test authority (ca.pem), a
// server certificate it signs for 127.0.0.1 (good.pem/good.key), one it signs
// for another name only (other.pem/other.key) and a self-signed one for
// 127.0.0.1 (self.pem/self.key). False when any step fails.
bool makeTestCertificates(const std::string& dir);

}  // namespace gauntlet

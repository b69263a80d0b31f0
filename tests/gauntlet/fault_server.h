// A receiver on the loopback interface that misbehaves on request: it can
// refuse connections, reset them, hold them without reading or answering,
// answer with errors, redirects, huge or cut answers or bytes that are not
// HTTP at all, and heal again on the same port. In the healthy mode it reads
// each request whole, keeps its body and answers 200.
//
// One thread accepts and serves connections one after the other; held
// connections are closed when the mode changes or the server stops.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace gauntlet {

enum class Fault {
  healthy,         // read the request, answer 200
  refuse,          // nothing listens on the port
  reset,           // accept, then reset the connection at once
  neverRead,       // accept, then neither read nor answer
  stallAfterHead,  // read the request's headers, then neither read nor answer
  status500,       // read the request, answer 500
  status404,       // read the request, answer 404
  redirectHttps,   // read the request, answer 301 to an https address
  hugeAnswer,      // read the request, answer 200 with a 10 MB body
  garbage,         // read the request, answer bytes that are not HTTP, close
  cutAnswer,       // read the request, announce a body, send part of it, close
  cutRequest,      // read the headers and part of the body, then close
};

const char* faultName(Fault fault);

struct Post {
  std::string head;  // request line and headers, up to the blank line
  std::string body;
  bool complete = false;  // the whole announced body arrived
};

class FaultServer {
 public:
  // family: AF_INET (127.0.0.1) or AF_INET6 (::1).
  explicit FaultServer(int family = 2 /* AF_INET */);
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
  // (in any mode that reads them); returns those kept.
  std::vector<Post> wait(size_t count, int timeoutMs);
  size_t accepted() const { return accepted_.load(); }
  size_t requests() const { return requests_.load(); }
  // The requests kept so far, removed from the server (a long run takes
  // them as it goes, so the list never grows).
  std::vector<Post> take();

 private:
  void run();
  bool listenNow();
  void serve(int fd, Fault fault);

  int family_;
  uint16_t port_ = 0;
  int listener_ = -1;  // owned by the thread once it runs
  int wake_ = -1;      // eventfd: setFault wakes the thread's wait
  std::atomic<Fault> wanted_{Fault::healthy};
  Fault applied_ = Fault::healthy;
  std::atomic<bool> stop_{false};
  std::atomic<size_t> accepted_{0};
  std::atomic<size_t> requests_{0};
  std::vector<int> held_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<Post> posts_;
  std::thread thread_;
};

}  // namespace gauntlet

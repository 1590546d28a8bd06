#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

// One request as the test server received it.
struct ReceivedRequest {
  std::string method;
  std::string target;  // path and query, as on the request line
  std::vector<std::pair<std::string, std::string>> headers;
  std::string body;
  std::string raw;  // the exact bytes of head and body

  // The first header of that name (compared ignoring case), or "".
  std::string Header(const std::string& name) const;
};

// The exact bytes the server sends back for one request. The connection is
// closed after them, or after the first `dropAfter` bytes when that is set.
struct Reply {
  std::string bytes;
  size_t dropAfter = static_cast<size_t>(-1);
  // When set, called (on the server's thread) once the first `holdAfter`
  // bytes are sent; the rest follows when it returns. Lets a test look at a
  // client in the middle of a transfer.
  size_t holdAfter = static_cast<size_t>(-1);
  std::function<void()> hold;
  // When set, the bytes go out no faster than this (a slow link, for benchmarks).
  uint64_t bytesPerSecond = 0;

  // Status line, Content-Length matching `body`, "Connection: close", any
  // extra header lines (each ending in CR LF), then the body.
  static Reply WithBody(int status, const std::string& body, const std::string& extraHeaders = "");
  // 200 with a chunked body and no Content-Length.
  static Reply Chunked(const std::string& body);
  // 200 whose head announces nothing about the body's length; the body ends
  // when the connection closes.
  static Reply UntilClose(const std::string& body);
  // A redirect to `location`.
  static Reply Redirect(int status, const std::string& location);
};

// An HTTP/1.1 server on 127.0.0.1 with an ephemeral port (or a given one), run on a thread of
// the test. One connection at a time; every request is recorded.
class HttpTestServer {
 public:
  using Handler = std::function<Reply(const ReceivedRequest&)>;

  // Answers every request with `handler`; on `port` when it is not 0.
  explicit HttpTestServer(Handler handler, uint16_t port = 0);
  // Routed: answers with the reply stored for the request's target (see
  // Route), else 404; on `port` when it is not 0.
  explicit HttpTestServer(std::map<std::string, Reply> routes = {}, uint16_t port = 0);
  ~HttpTestServer();
  HttpTestServer(const HttpTestServer&) = delete;
  HttpTestServer& operator=(const HttpTestServer&) = delete;

  uint16_t port() const { return port_; }
  // "http://127.0.0.1:<port>"
  std::string BaseUrl() const;

  void SetHandler(Handler handler);
  // The routes of a routed server, changed while it runs: `target` (path and
  // query) is answered with `reply` from now on.
  void Route(const std::string& target, Reply reply);
  void Route(const std::string& target, const std::string& body) {
    Route(target, Reply::WithBody(200, body));
  }
  std::vector<ReceivedRequest> Requests() const;
  size_t CountRequests(const std::string& target) const;
  // Waits until at least `count` requests arrived; false on time-out.
  bool WaitForRequests(size_t count, std::chrono::milliseconds timeout) const;

 private:
  void Serve();
  void HandleConnection(uintptr_t socket);

  uintptr_t listener_;
  uint16_t port_ = 0;
  std::atomic<bool> stop_{false};
  mutable std::mutex mutex_;
  mutable std::condition_variable arrived_;
  Handler handler_;
  std::map<std::string, Reply> routes_;
  std::vector<ReceivedRequest> requests_;
  std::thread thread_;
};

// "http://127.0.0.1:<port><path>" on a loopback port nobody listens on: one a
// test server held a moment ago, so connecting is refused at once.
std::string ClosedLoopbackUrl(const std::string& path);

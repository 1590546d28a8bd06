#include "common/http_test_server.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <stdexcept>
#include <thread>

namespace {

struct WinsockInit {
  WinsockInit() {
    WSADATA data;
    WSAStartup(MAKEWORD(2, 2), &data);
  }
};

std::string ReasonFor(int status) {
  switch (status) {
    case 200:
      return "OK";
    case 301:
      return "Moved Permanently";
    case 302:
      return "Found";
    case 404:
      return "Not Found";
    case 500:
      return "Internal Server Error";
    default:
      return "Status";
  }
}

bool EqualsIgnoreCase(const std::string& a, const std::string& b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) ==
                  std::tolower(static_cast<unsigned char>(y));
         });
}

// Sends `size` bytes; with a `pace` given, no faster than pace->rate bytes
// a second counted from pace->start (pace->sent carries over calls).
struct Pace {
  uint64_t rate;
  std::chrono::steady_clock::time_point start;
  uint64_t sent = 0;
};

void SendAll(SOCKET s, const char* data, size_t size, Pace* pace = nullptr) {
  while (size > 0) {
    if (pace) {
      std::this_thread::sleep_until(pace->start +
                                    std::chrono::microseconds(pace->sent * 1000000 / pace->rate));
    }
    // Paced in slices of a few milliseconds' worth.
    const size_t slice = pace ? std::max<size_t>(4096, pace->rate / 200) : 65536;
    int sent = send(s, data, static_cast<int>(std::min(size, slice)), 0);
    if (sent <= 0) return;
    data += sent;
    size -= static_cast<size_t>(sent);
    if (pace) pace->sent += static_cast<uint64_t>(sent);
  }
}

}  // namespace

std::string ReceivedRequest::Header(const std::string& name) const {
  for (const auto& header : headers) {
    if (EqualsIgnoreCase(header.first, name)) return header.second;
  }
  return {};
}

Reply Reply::WithBody(int status, const std::string& body, const std::string& extraHeaders) {
  Reply reply;
  reply.bytes = "HTTP/1.1 " + std::to_string(status) + " " + ReasonFor(status) +
                "\r\nContent-Length: " + std::to_string(body.size()) + "\r\nConnection: close\r\n" +
                extraHeaders + "\r\n" + body;
  return reply;
}

Reply Reply::Chunked(const std::string& body) {
  Reply reply;
  reply.bytes = "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\nConnection: close\r\n\r\n";
  char size[32];
  size_t half = body.size() / 2;
  for (const std::string& chunk : {body.substr(0, half), body.substr(half)}) {
    if (chunk.empty()) continue;
    snprintf(size, sizeof size, "%zx\r\n", chunk.size());
    reply.bytes += size + chunk + "\r\n";
  }
  reply.bytes += "0\r\n\r\n";
  return reply;
}

Reply Reply::UntilClose(const std::string& body) {
  Reply reply;
  reply.bytes = "HTTP/1.1 200 OK\r\nConnection: close\r\n\r\n" + body;
  return reply;
}

Reply Reply::Redirect(int status, const std::string& location) {
  return WithBody(status, "", "Location: " + location + "\r\n");
}

HttpTestServer::HttpTestServer(Handler handler, uint16_t port) : handler_(std::move(handler)) {
  static WinsockInit winsock;
  SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (s == INVALID_SOCKET) throw std::runtime_error("socket failed");
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(port);
  if (bind(s, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || listen(s, 16) != 0) {
    closesocket(s);
    throw std::runtime_error("bind/listen failed");
  }
  int length = sizeof address;
  getsockname(s, reinterpret_cast<sockaddr*>(&address), &length);
  port_ = ntohs(address.sin_port);
  listener_ = s;
  thread_ = std::thread([this] { Serve(); });
}

HttpTestServer::HttpTestServer(std::map<std::string, Reply> routes, uint16_t port)
    : HttpTestServer(Handler(), port) {
  std::lock_guard<std::mutex> lock(mutex_);
  routes_ = std::move(routes);
}

HttpTestServer::~HttpTestServer() {
  stop_ = true;
  thread_.join();
  closesocket(static_cast<SOCKET>(listener_));
}

std::string HttpTestServer::BaseUrl() const { return "http://127.0.0.1:" + std::to_string(port_); }

std::string ClosedLoopbackUrl(const std::string& path) {
  HttpTestServer gone(std::map<std::string, Reply>{});
  return gone.BaseUrl() + path;
}

void HttpTestServer::SetHandler(Handler handler) {
  std::lock_guard<std::mutex> lock(mutex_);
  handler_ = std::move(handler);
}

void HttpTestServer::Route(const std::string& target, Reply reply) {
  std::lock_guard<std::mutex> lock(mutex_);
  routes_[target] = std::move(reply);
}

std::vector<ReceivedRequest> HttpTestServer::Requests() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return requests_;
}

size_t HttpTestServer::CountRequests(const std::string& target) const {
  std::lock_guard<std::mutex> lock(mutex_);
  return static_cast<size_t>(
      std::count_if(requests_.begin(), requests_.end(),
                    [&](const ReceivedRequest& r) { return r.target == target; }));
}

bool HttpTestServer::WaitForRequests(size_t count, std::chrono::milliseconds timeout) const {
  std::unique_lock<std::mutex> lock(mutex_);
  return arrived_.wait_for(lock, timeout, [&] { return requests_.size() >= count; });
}

void HttpTestServer::Serve() {
  SOCKET listener = static_cast<SOCKET>(listener_);
  while (!stop_) {
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(listener, &readable);
    timeval wait{0, 50 * 1000};
    if (select(0, &readable, nullptr, nullptr, &wait) <= 0) continue;
    SOCKET client = accept(listener, nullptr, nullptr);
    if (client == INVALID_SOCKET) continue;
    HandleConnection(client);
    closesocket(client);
  }
}

void HttpTestServer::HandleConnection(uintptr_t socketValue) {
  SOCKET client = static_cast<SOCKET>(socketValue);
  DWORD timeoutMs = 5000;
  setsockopt(client, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&timeoutMs),
             sizeof timeoutMs);
  std::string data;
  char buffer[65536];
  size_t headEnd;
  while ((headEnd = data.find("\r\n\r\n")) == std::string::npos) {
    int got = recv(client, buffer, sizeof buffer, 0);
    if (got <= 0) return;
    data.append(buffer, static_cast<size_t>(got));
  }

  ReceivedRequest request;
  std::string head = data.substr(0, headEnd);
  size_t lineEnd = head.find("\r\n");
  std::string requestLine = head.substr(0, lineEnd);
  size_t firstSpace = requestLine.find(' ');
  size_t secondSpace = requestLine.find(' ', firstSpace + 1);
  request.method = requestLine.substr(0, firstSpace);
  request.target = requestLine.substr(firstSpace + 1, secondSpace - firstSpace - 1);
  size_t position = lineEnd == std::string::npos ? head.size() : lineEnd + 2;
  while (position < head.size()) {
    size_t end = head.find("\r\n", position);
    if (end == std::string::npos) end = head.size();
    std::string line = head.substr(position, end - position);
    size_t colon = line.find(':');
    if (colon != std::string::npos) {
      std::string value = line.substr(colon + 1);
      value.erase(0, value.find_first_not_of(' '));
      request.headers.emplace_back(line.substr(0, colon), value);
    }
    position = end + 2;
  }
  size_t contentLength = 0;
  std::string lengthHeader = request.Header("Content-Length");
  if (!lengthHeader.empty()) contentLength = std::stoul(lengthHeader);
  size_t bodyStart = headEnd + 4;
  while (data.size() - bodyStart < contentLength) {
    int got = recv(client, buffer, sizeof buffer, 0);
    if (got <= 0) break;
    data.append(buffer, static_cast<size_t>(got));
  }
  request.body = data.substr(bodyStart, contentLength);
  request.raw = data.substr(0, bodyStart + request.body.size());

  Handler handler;
  Reply reply = Reply::WithBody(404, "not found");
  {
    std::lock_guard<std::mutex> lock(mutex_);
    handler = handler_;
    auto found = routes_.find(request.target);
    if (!handler && found != routes_.end()) reply = found->second;
  }
  if (handler) reply = handler(request);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    requests_.push_back(request);
  }
  arrived_.notify_all();

  size_t toSend = std::min(reply.dropAfter, reply.bytes.size());
  size_t first = reply.hold ? std::min(reply.holdAfter, toSend) : 0;
  Pace pace{reply.bytesPerSecond, std::chrono::steady_clock::now()};
  Pace* paced = reply.bytesPerSecond > 0 ? &pace : nullptr;
  SendAll(client, reply.bytes.data(), first, paced);
  if (reply.hold) {
    reply.hold();
    pace = {reply.bytesPerSecond, std::chrono::steady_clock::now()};  // no burst after the hold
  }
  SendAll(client, reply.bytes.data() + first, toSend - first, paced);
  if (reply.dropAfter != static_cast<size_t>(-1)) {
    // A hard close: the client sees the connection reset mid-body.
    linger hard{1, 0};
    setsockopt(client, SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&hard), sizeof hard);
  } else {
    shutdown(client, SD_SEND);
  }
}

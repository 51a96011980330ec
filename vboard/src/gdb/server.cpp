#include "gdb/server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace vboard::gdb {

SocketStream::~SocketStream() {
  if (fd_ >= 0) ::close(fd_);
}

long SocketStream::read(char* buf, size_t n, int timeout_ms) {
  pollfd p{fd_, POLLIN, 0};
  int r;
  do {
    r = ::poll(&p, 1, timeout_ms);
  } while (r < 0 && errno == EINTR);
  if (r < 0) return -1;
  if (r == 0) return 0;
  ssize_t got;
  do {
    got = ::recv(fd_, buf, n, 0);
  } while (got < 0 && errno == EINTR);
  return got > 0 ? static_cast<long>(got) : -1;  // 0: the peer closed the connection
}

bool SocketStream::write(std::string_view data) {
  while (!data.empty()) {
    ssize_t n = ::send(fd_, data.data(), data.size(), MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data.remove_prefix(static_cast<size_t>(n));
  }
  return true;
}

Listener::~Listener() { close_listener(); }

void Listener::close_listener() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

bool Listener::open(uint16_t port, std::string* error) {
  fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd_ < 0) return *error = std::string("socket: ") + std::strerror(errno), false;
  int one = 1;
  ::setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(fd_, 1) != 0) {
    *error = "cannot listen on 127.0.0.1:" + std::to_string(port) + ": " + std::strerror(errno);
    close_listener();
    return false;
  }
  socklen_t len = sizeof a;
  ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len);
  port_ = ntohs(a.sin_port);
  return true;
}

std::unique_ptr<SocketStream> Listener::accept_one(int timeout_ms, std::string* error) {
  if (fd_ < 0) return *error = "not listening", nullptr;
  pollfd p{fd_, POLLIN, 0};
  int r;
  do {
    r = ::poll(&p, 1, timeout_ms);
  } while (r < 0 && errno == EINTR);
  if (r <= 0) return *error = r == 0 ? "no debugger attached in time" : std::strerror(errno), nullptr;
  int c = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
  if (c < 0) return *error = std::string("accept: ") + std::strerror(errno), nullptr;
  close_listener();
  int one = 1;
  ::setsockopt(c, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);  // packets are small and answered at once
  return std::make_unique<SocketStream>(c);
}

bool parse_port(const std::string& text, uint16_t& port) {
  if (text.empty() || text.size() > 5) return false;
  unsigned v = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + static_cast<unsigned>(c - '0');
  }
  if (v > 65535) return false;
  port = static_cast<uint16_t>(v);
  return true;
}

}  // namespace vboard::gdb

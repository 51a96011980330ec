// A page's WebSocket connection after the upgrade (page_socket.h).
#include "serve/page_socket.h"

#include <arpa/inet.h>
#include <civetweb.h>
#include <dirent.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

namespace vboard::serve {

namespace {

// The address and port of a socket's end, as civetweb writes a remote address.
bool endpoint(int fd, bool peer, std::string* address, int* port) {
  sockaddr_storage sa{};
  socklen_t len = sizeof sa;
  auto* p = reinterpret_cast<sockaddr*>(&sa);
  if ((peer ? getpeername(fd, p, &len) : getsockname(fd, p, &len)) != 0) return false;
  char text[INET6_ADDRSTRLEN] = "";
  if (sa.ss_family == AF_INET) {
    const auto* in = reinterpret_cast<const sockaddr_in*>(&sa);
    inet_ntop(AF_INET, &in->sin_addr, text, sizeof text);
    *port = ntohs(in->sin_port);
  } else if (sa.ss_family == AF_INET6) {
    const auto* in = reinterpret_cast<const sockaddr_in6*>(&sa);
    inet_ntop(AF_INET6, &in->sin6_addr, text, sizeof text);
    *port = ntohs(in->sin6_port);
  } else {
    return false;
  }
  *address = text;
  return true;
}

}  // namespace

int request_socket(const mg_connection* conn) {
  const mg_request_info* ri = mg_get_request_info(conn);
  DIR* d = opendir("/proc/self/fd");
  if (!d) return -1;
  int found = -1, matches = 0;
  while (const dirent* e = readdir(d)) {
    char* end = nullptr;
    const long fd = std::strtol(e->d_name, &end, 10);
    if (end == e->d_name || *end || fd == dirfd(d)) continue;
    int type = 0;
    socklen_t tl = sizeof type;
    std::string local, remote;
    int local_port = 0, remote_port = 0;
    if (getsockopt(static_cast<int>(fd), SOL_SOCKET, SO_TYPE, &type, &tl) != 0 || type != SOCK_STREAM ||
        !endpoint(static_cast<int>(fd), false, &local, &local_port) || local_port != ri->server_port ||
        !endpoint(static_cast<int>(fd), true, &remote, &remote_port) || remote_port != ri->remote_port ||
        remote != ri->remote_addr)
      continue;
    found = static_cast<int>(fd);
    ++matches;
  }
  closedir(d);
  return matches == 1 ? found : -1;
}

bool PageSocket::read(char* p, size_t n) {
  using clock = std::chrono::steady_clock;
  while (n) {
    const auto now = clock::now();
    if (closing_ ? now > close_by_ : now - last_heard_ > kIdleLimit) return false;
    if (!closing_ && stopping_) {
      stopped_ = true;
      return false;
    }
    if (!closing_ && !pinged_ && now - last_heard_ > kPingAfter) {
      pinged_ = true;
      if (!send(MG_WEBSOCKET_OPCODE_PING, "")) return false;
    }
    pollfd pfd{fd_, POLLIN, 0};
    const int r = poll(&pfd, 1, 100);
    if (r < 0 && errno != EINTR) return false;
    if (r <= 0) continue;
    const ssize_t got = recv(fd_, p, n, 0);
    if (got == 0) return false;
    if (got < 0) {
      if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK) continue;
      return false;
    }
    p += got;
    n -= static_cast<size_t>(got);
    last_heard_ = clock::now();
    pinged_ = false;
  }
  return true;
}

bool PageSocket::next(Frame* f) {
  return read_frame([this](char* p, size_t n) { return read(p, n); }, f);
}

bool PageSocket::send(int opcode, std::string_view payload) {
  const std::string f = server_frame(opcode, payload);
  std::lock_guard lk(write_mu_);
  return mg_write(conn_, f.data(), f.size()) == static_cast<int>(f.size());
}

void PageSocket::close(uint16_t code, std::string_view reason) {
  if (!send(MG_WEBSOCKET_OPCODE_CONNECTION_CLOSE, close_payload(code, reason))) return;
  closing_ = true;
  close_by_ = std::chrono::steady_clock::now() + kCloseWait;
  Frame f;
  while (next(&f))
    if (!f.too_big && (f.bits & 0x0f) == MG_WEBSOCKET_OPCODE_CONNECTION_CLOSE) return;
}

}  // namespace vboard::serve

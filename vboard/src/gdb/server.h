// The GDB server's socket: TCP on 127.0.0.1 only (the board is a development
// tool, not a network service), one client. Once a client is accepted the
// listening socket is closed, so a second client is refused by the system
// while the first is attached.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "gdb/session.h"

namespace vboard::gdb {

class SocketStream final : public Stream {
 public:
  explicit SocketStream(int fd) : fd_(fd) {}
  ~SocketStream() override;
  SocketStream(const SocketStream&) = delete;
  SocketStream& operator=(const SocketStream&) = delete;
  long read(char* buf, size_t n, int timeout_ms) override;
  bool write(std::string_view data) override;

 private:
  int fd_;
};

class Listener {
 public:
  Listener() = default;
  ~Listener();
  Listener(const Listener&) = delete;
  Listener& operator=(const Listener&) = delete;
  // Binds 127.0.0.1:port; port 0 lets the system pick a free one (see port()).
  bool open(uint16_t port, std::string* error);
  uint16_t port() const { return port_; }
  // Waits up to timeout_ms (-1: no limit) for one client, then stops listening.
  std::unique_ptr<SocketStream> accept_one(int timeout_ms, std::string* error);

 private:
  int fd_ = -1;
  uint16_t port_ = 0;
  void close_listener();
};

// "1234" -> 1234; nullopt-like false for anything but 0..65535.
bool parse_port(const std::string& text, uint16_t& port);

}  // namespace vboard::gdb

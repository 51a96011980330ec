// A page's WebSocket connection as the server holds it after the upgrade:
// the server answers the upgrade itself and reads the frames off the socket,
// because civetweb reads a frame the page did not mask as if masked with a
// zero key and never says which it was, and a page must mask every frame
// (a server fails the connection on one that is not). civetweb still owns
// the socket: it closes it once the request callback returns, and the
// server's frames go out through mg_write.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <string_view>

#include "serve/frames.h"

struct mg_connection;

namespace vboard::serve {

// The socket of the request `conn` came in on: the one TCP socket of this
// process whose local port is the request's server port and whose peer is
// its remote address and port. -1 when none is, or more than one.
int request_socket(const mg_connection* conn);

class PageSocket {
 public:
  // A ping after kPingAfter without a frame from the page; the connection
  // ends after kIdleLimit without one.
  static constexpr std::chrono::seconds kPingAfter{20};
  static constexpr std::chrono::seconds kIdleLimit{60};
  // How long a close the server sends waits for the page's close.
  static constexpr std::chrono::seconds kCloseWait{1};

  // `stopping`: the server ends, and reading ends with it.
  PageSocket(mg_connection* conn, int fd, const std::atomic<bool>& stopping)
      : conn_(conn), fd_(fd), stopping_(stopping) {}

  // The next frame; false when the connection ended, the page was idle too
  // long or the server stops (stopped() says which).
  bool next(Frame* f);
  bool stopped() const { return stopped_; }
  // One frame to the page, from any thread; false when it could not be written.
  bool send(int opcode, std::string_view payload);
  // Sends a close with `code` and `reason` and waits (kCloseWait at most)
  // for the page's close.
  void close(uint16_t code, std::string_view reason);

 private:
  // Exactly n bytes, waiting for them in slices so that the server's end is seen.
  bool read(char* p, size_t n);
  mg_connection* conn_;
  const int fd_;
  const std::atomic<bool>& stopping_;
  std::mutex write_mu_;
  bool stopped_ = false;
  bool closing_ = false;  // our close went out: only the page's close is waited for
  std::chrono::steady_clock::time_point close_by_{};
  std::chrono::steady_clock::time_point last_heard_ = std::chrono::steady_clock::now();
  bool pinged_ = false;
};

}  // namespace vboard::serve

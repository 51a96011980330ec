// The WebSocket frames a page sends, as the server takes them (RFC 6455):
// frames the page did not mask, frames with reserved bits set, or
// continuations out of place fail the connection (close 1002); a message in
// fragments is refused once, as a whole, not once per fragment. The server
// reads the frames off the socket itself (page_socket.h says why), one at a
// time, unjoined.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

namespace vboard::serve {

namespace close_code {
inline constexpr uint16_t kGoingAway = 1001;
inline constexpr uint16_t kProtocolError = 1002;
inline constexpr uint16_t kTooBig = 1009;
inline constexpr uint16_t kTryAgainLater = 1013;
}  // namespace close_code

// What a page's ninth connection is told before it is closed.
inline constexpr std::string_view kTooManyPages =
    "this board already has 8 pages open: close one, then reload";

// One frame as the page sent it, its payload unmasked.
struct Frame {
  int bits = 0;  // the first byte: FIN, RSV1-3, opcode
  bool masked = false;
  bool too_big = false;  // longer than kMaxFrameBytes: its payload was not read
  std::string payload;
};
inline constexpr size_t kMaxFrameBytes = 64 << 10;

class FrameReader {
 public:
  enum class Take {
    message,  // a whole text message: read it
    control,  // ping (answered with a pong), pong
    close,    // the page closes
    refuse,   // a binary or fragmented message begins: one error for all of it
    skip,     // the rest of a refused message
    fail,     // a protocol error: close with 1002
  };
  // The next frame (not too_big).
  Take take(const Frame& f);
  // Why the last `fail` failed (the close frame's reason).
  const char* why() const { return why_; }

 private:
  bool in_message_ = false;  // fragments of a message are coming
  const char* why_ = "";
};

// Reads the next frame through `read` (exactly n bytes into p, false when the
// connection ends first). False when the connection ended.
bool read_frame(const std::function<bool(char* p, size_t n)>& read, Frame* f);

// A frame as the server sends it (FIN set, not masked).
std::string server_frame(int opcode, std::string_view payload);

// The Sec-WebSocket-Accept answer to a page's Sec-WebSocket-Key.
std::string accept_key(std::string_view key);

// The payload of a close frame: the code, then the reason (cut to fit 123 bytes).
std::string close_payload(uint16_t code, std::string_view reason);

}  // namespace vboard::serve

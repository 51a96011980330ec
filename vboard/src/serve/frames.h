// The WebSocket frames a page sends, as the server takes them (RFC 6455):
// frames with reserved bits set, or continuations out of place, fail the
// connection (close 1002); a message in fragments is refused once, as a
// whole, not once per fragment. civetweb hands each frame to the server as it
// comes, unjoined, with its first byte (FIN, RSV1-3, opcode).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace vboard::serve {

namespace close_code {
inline constexpr uint16_t kProtocolError = 1002;
inline constexpr uint16_t kTryAgainLater = 1013;
}  // namespace close_code

// What a page's ninth connection is told before it is closed.
inline constexpr std::string_view kTooManyPages =
    "this board already has 8 pages open: close one, then reload";

class FrameReader {
 public:
  enum class Take {
    message,  // a whole text message: read it
    control,  // ping, pong: civetweb answers them
    close,    // the page closes
    refuse,   // a binary or fragmented message begins: one error for all of it
    skip,     // the rest of a refused message
    fail,     // a protocol error: close with 1002
  };
  // The frame whose first byte is `bits`.
  Take take(int bits);
  // Why the last `fail` failed (the close frame's reason).
  const char* why() const { return why_; }

 private:
  bool in_message_ = false;  // fragments of a message are coming
  const char* why_ = "";
};

// The payload of a close frame: the code, then the reason (cut to fit 123 bytes).
std::string close_payload(uint16_t code, std::string_view reason);

}  // namespace vboard::serve

// The WebSocket frames a page sends, as the server takes them (frames.h).
#include "serve/frames.h"

namespace vboard::serve {

FrameReader::Take FrameReader::take(int bits) {
  const bool fin = (bits & 0x80) != 0;
  const int opcode = bits & 0x0f;
  if (bits & 0x70) {
    why_ = "reserved bits set: no extension was agreed";
    return Take::fail;
  }
  if (opcode >= 0x8) {
    if (!fin || opcode > 0xa) {
      why_ = !fin ? "a fragmented control frame" : "an unknown control opcode";
      return Take::fail;
    }
    return opcode == 0x8 ? Take::close : Take::control;
  }
  if (opcode == 0x0) {
    if (!in_message_) {
      why_ = "a continuation frame with no message begun";
      return Take::fail;
    }
    in_message_ = !fin;
    return Take::skip;
  }
  if (in_message_) {
    why_ = "a new message before the last one's final fragment";
    return Take::fail;
  }
  if (opcode > 0x2) {
    why_ = "an unknown data opcode";
    return Take::fail;
  }
  in_message_ = !fin;
  return opcode == 0x1 && fin ? Take::message : Take::refuse;
}

std::string close_payload(uint16_t code, std::string_view reason) {
  std::string p;
  p += static_cast<char>(code >> 8);
  p += static_cast<char>(code & 0xff);
  p += reason.substr(0, 123);
  return p;
}

}  // namespace vboard::serve

// The WebSocket frames a page sends, as the server takes them (frames.h).
#include "serve/frames.h"

#include <nettle/base64.h>
#include <nettle/sha1.h>

namespace vboard::serve {

FrameReader::Take FrameReader::take(const Frame& f) {
  const int bits = f.bits;
  const bool fin = (bits & 0x80) != 0;
  const int opcode = bits & 0x0f;
  if (!f.masked) {
    why_ = "an unmasked frame: a page masks every frame it sends";
    return Take::fail;
  }
  if (bits & 0x70) {
    why_ = "reserved bits set: no extension was agreed";
    return Take::fail;
  }
  if (opcode >= 0x8) {
    if (!fin || opcode > 0xa || f.payload.size() > 125) {
      why_ = !fin           ? "a fragmented control frame"
             : opcode > 0xa ? "an unknown control opcode"
                            : "a control frame longer than 125 bytes";
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

bool read_frame(const std::function<bool(char* p, size_t n)>& read, Frame* f) {
  unsigned char head[8];
  if (!read(reinterpret_cast<char*>(head), 2)) return false;
  f->bits = head[0];
  f->masked = (head[1] & 0x80) != 0;
  uint64_t n = head[1] & 0x7fu;
  const size_t ext = n == 126 ? 2 : n == 127 ? 8 : 0;
  if (ext) {
    if (!read(reinterpret_cast<char*>(head), ext)) return false;
    n = 0;
    for (size_t i = 0; i < ext; ++i) n = n << 8 | head[i];
  }
  unsigned char key[4] = {0, 0, 0, 0};
  if (f->masked && !read(reinterpret_cast<char*>(key), 4)) return false;
  f->too_big = n > kMaxFrameBytes;
  f->payload.clear();
  if (f->too_big) return true;
  f->payload.resize(static_cast<size_t>(n));
  if (n && !read(f->payload.data(), f->payload.size())) return false;
  for (size_t i = 0; i < f->payload.size(); ++i)
    f->payload[i] = static_cast<char>(f->payload[i] ^ key[i % 4]);
  return true;
}

std::string server_frame(int opcode, std::string_view payload) {
  std::string f;
  f += static_cast<char>(0x80 | opcode);
  const size_t n = payload.size();
  if (n < 126) {
    f += static_cast<char>(n);
  } else {
    const int bytes = n < 65536 ? 2 : 8;
    f += static_cast<char>(bytes == 2 ? 126 : 127);
    for (int i = bytes - 1; i >= 0; --i) f += static_cast<char>((n >> (8 * i)) & 0xff);
  }
  f += payload;
  return f;
}

std::string accept_key(std::string_view key) {
  static constexpr std::string_view kGuid = "258EAFA5-E914-47DA-95CA-C5AB0DC85B11";
  const std::string s = std::string(key) + std::string(kGuid);
  sha1_ctx ctx;
  sha1_init(&ctx);
  sha1_update(&ctx, s.size(), reinterpret_cast<const uint8_t*>(s.data()));
  uint8_t digest[SHA1_DIGEST_SIZE];
  sha1_digest(&ctx, SHA1_DIGEST_SIZE, digest);
  char out[BASE64_ENCODE_RAW_LENGTH(SHA1_DIGEST_SIZE)];
  base64_encode_raw(out, SHA1_DIGEST_SIZE, digest);
  return std::string(out, sizeof out);
}

std::string close_payload(uint16_t code, std::string_view reason) {
  std::string p;
  p += static_cast<char>(code >> 8);
  p += static_cast<char>(code & 0xff);
  p += reason.substr(0, 123);
  return p;
}

}  // namespace vboard::serve

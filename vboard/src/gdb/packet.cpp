#include "gdb/packet.h"

namespace vboard::gdb {

namespace {

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

constexpr char kHex[] = "0123456789abcdef";

}  // namespace

uint8_t checksum(std::string_view raw) {
  unsigned sum = 0;
  for (char c : raw) sum += static_cast<unsigned char>(c);
  return static_cast<uint8_t>(sum & 0xFF);
}

std::string frame(std::string_view payload) {
  std::string raw;
  raw.reserve(payload.size() + 8);
  for (char c : payload) {
    if (c == '$' || c == '#' || c == '}' || c == '*') {
      raw += '}';
      raw += static_cast<char>(c ^ 0x20);
    } else {
      raw += c;
    }
  }
  uint8_t cs = checksum(raw);
  std::string out = "$" + raw + "#";
  out += kHex[cs >> 4];
  out += kHex[cs & 15];
  return out;
}

std::string to_hex(const uint8_t* data, size_t n) {
  std::string s;
  s.reserve(2 * n);
  for (size_t i = 0; i < n; ++i) {
    s += kHex[data[i] >> 4];
    s += kHex[data[i] & 15];
  }
  return s;
}

std::string to_hex(std::string_view text) {
  return to_hex(reinterpret_cast<const uint8_t*>(text.data()), text.size());
}

std::string hex_le(uint64_t v, size_t bytes) {
  uint8_t b[8];
  for (size_t i = 0; i < bytes && i < 8; ++i) b[i] = static_cast<uint8_t>(v >> (8 * i));
  return to_hex(b, bytes < 8 ? bytes : 8);
}

bool from_hex(std::string_view hex, std::vector<uint8_t>& out) {
  if (hex.size() % 2 != 0) return false;
  out.clear();
  out.reserve(hex.size() / 2);
  for (size_t i = 0; i < hex.size(); i += 2) {
    int hi = hex_digit(hex[i]), lo = hex_digit(hex[i + 1]);
    if (hi < 0 || lo < 0) return false;
    out.push_back(static_cast<uint8_t>(hi << 4 | lo));
  }
  return true;
}

bool parse_hex_u32(std::string_view text, uint32_t& out) {
  if (text.empty() || text.size() > 8) return false;
  uint32_t v = 0;
  for (char c : text) {
    int d = hex_digit(c);
    if (d < 0) return false;
    v = v << 4 | static_cast<uint32_t>(d);
  }
  out = v;
  return true;
}

bool parse_hex_u64_le(std::string_view hex, size_t bytes, uint64_t& out) {
  std::vector<uint8_t> b;
  if (hex.size() != 2 * bytes || bytes > 8 || !from_hex(hex, b)) return false;
  uint64_t v = 0;
  for (size_t i = 0; i < bytes; ++i) v |= uint64_t{b[i]} << (8 * i);
  out = v;
  return true;
}

void PacketReader::feed(std::string_view bytes, std::vector<Event>& out) {
  for (char c : bytes) {
    switch (state_) {
      case State::idle:
        if (c == '$') {
          state_ = State::body;
          raw_.clear();
          too_long_ = false;
        } else if (c == '\x03') {
          out.push_back({Kind::interrupt, {}});
        } else if (c == '+') {
          out.push_back({Kind::ack, {}});
        } else if (c == '-') {
          out.push_back({Kind::nack, {}});
        }
        // Anything else between packets is line noise and dropped.
        break;
      case State::body:
        if (c == '#') {
          state_ = State::checksum1;
        } else if (c == '$') {
          // A new packet start inside a packet: the sender gave up on the old one.
          if (too_long_) out.push_back({Kind::oversized, {}});
          raw_.clear();
          too_long_ = false;
        } else if (raw_.size() < kMaxPacket) {
          raw_ += c;
        } else {
          too_long_ = true;  // keep reading to the '#', storing nothing more
        }
        break;
      case State::checksum1:
        cs_hi_ = c;
        state_ = State::checksum2;
        break;
      case State::checksum2:
        state_ = State::idle;
        finish(c, out);
        break;
    }
  }
}

void PacketReader::finish(char cs_lo, std::vector<Event>& out) {
  if (too_long_) {
    out.push_back({Kind::oversized, {}});
    raw_.clear();
    return;
  }
  int hi = hex_digit(cs_hi_), lo = hex_digit(cs_lo);
  if (hi < 0 || lo < 0 || checksum(raw_) != (hi << 4 | lo)) {
    out.push_back({Kind::bad_checksum, {}});
    raw_.clear();
    return;
  }
  std::string payload;
  payload.reserve(raw_.size());
  for (size_t i = 0; i < raw_.size(); ++i) {
    if (raw_[i] == '}' && i + 1 < raw_.size()) {
      payload += static_cast<char>(raw_[++i] ^ 0x20);
    } else {
      payload += raw_[i];
    }
  }
  raw_.clear();
  out.push_back({Kind::packet, std::move(payload)});
}

}  // namespace vboard::gdb

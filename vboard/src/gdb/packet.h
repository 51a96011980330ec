// Framing of the GDB remote serial protocol: "$payload#cs" packets with a
// modulo-256 checksum, '}' escapes, the '+'/'-' acknowledgements and the bare
// 0x03 byte a client sends to interrupt a running target. The reader is a byte
// state machine so that a packet split over several socket reads, or several
// packets in one read, come out the same.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace vboard::gdb {

// Largest packet payload (as sent, before unescaping) we accept; advertised to
// the client as PacketSize so that it never sends a longer one on purpose.
inline constexpr size_t kMaxPacket = 4096;

uint8_t checksum(std::string_view raw);
// "$" + payload with '$', '#', '}' and '*' escaped + "#" + two hex digits.
std::string frame(std::string_view payload);

std::string to_hex(const uint8_t* data, size_t n);
std::string to_hex(std::string_view text);
// Little-endian hex of the low `bytes` bytes of v (register values).
std::string hex_le(uint64_t v, size_t bytes);
// False on an odd length or a non-hex digit.
bool from_hex(std::string_view hex, std::vector<uint8_t>& out);
bool parse_hex_u32(std::string_view text, uint32_t& out);
bool parse_hex_u64_le(std::string_view hex, size_t bytes, uint64_t& out);

class PacketReader {
 public:
  enum class Kind {
    packet,        // a well-formed packet; payload unescaped
    interrupt,     // 0x03 outside a packet
    ack,           // '+'
    nack,          // '-'
    bad_checksum,  // complete packet whose checksum does not match
    oversized      // packet longer than kMaxPacket, discarded
  };
  struct Event {
    Kind kind;
    std::string payload;
  };

  void feed(std::string_view bytes, std::vector<Event>& out);

 private:
  enum class State { idle, body, checksum1, checksum2 };
  State state_ = State::idle;
  std::string raw_;
  bool too_long_ = false;
  char cs_hi_ = 0;

  void finish(char cs_lo, std::vector<Event>& out);
};

}  // namespace vboard::gdb

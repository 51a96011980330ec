// The WebSocket frames of the live board's server: the handshake's answer,
// frames read in each length form and mask state, and the server's own
// frames read back.
#include <gtest/gtest.h>

#include <string>

#include "serve/frames.h"

namespace vboard::serve {
namespace {

// A frame as a page (masked) or a careless client (not) sends it.
std::string client_frame(int bits, const std::string& payload, bool masked) {
  std::string f(1, static_cast<char>(bits));
  const size_t n = payload.size();
  const char m = masked ? '\x80' : '\0';
  if (n < 126) {
    f += static_cast<char>(m | static_cast<char>(n));
  } else if (n < 65536) {
    f += static_cast<char>(m | 126);
    f += static_cast<char>(n >> 8);
    f += static_cast<char>(n & 0xff);
  } else {
    f += static_cast<char>(m | 127);
    for (int i = 7; i >= 0; --i) f += static_cast<char>((n >> (8 * i)) & 0xff);
  }
  const std::string key = "\x12\x34\x56\x78";
  if (masked) f += key;
  for (size_t i = 0; i < n; ++i) f += masked ? static_cast<char>(payload[i] ^ key[i % 4]) : payload[i];
  return f;
}

// Reads one frame from `bytes`; false when they end first.
bool read_from(const std::string& bytes, Frame* f, size_t* used = nullptr) {
  size_t at = 0;
  const bool ok = read_frame(
      [&](char* p, size_t n) {
        if (bytes.size() - at < n) return false;
        bytes.copy(p, n, at);
        at += n;
        return true;
      },
      f);
  if (used) *used = at;
  return ok;
}

TEST(Frames, HandshakeAnswerIsTheOneOfRfc6455) {
  EXPECT_EQ(accept_key("dGhlIHNhbXBsZSBub25jZQ=="), "s3pPLMBiTxaQ9kYGzzhZRbK+xOo=");
}

TEST(Frames, ReadInEveryLengthFormAndMaskState) {
  struct Case {
    size_t length;
    bool masked;
  };
  for (const Case c : {Case{0, true}, Case{5, true}, Case{125, true}, Case{126, true}, Case{65535, true},
                       Case{65536, true}, Case{5, false}, Case{300, false}}) {
    std::string payload(c.length, '\0');
    for (size_t i = 0; i < c.length; ++i) payload[i] = static_cast<char>('a' + i % 26);
    Frame f;
    ASSERT_TRUE(read_from(client_frame(0x81, payload, c.masked), &f)) << c.length;
    EXPECT_EQ(f.bits, 0x81);
    EXPECT_EQ(f.masked, c.masked);
    EXPECT_FALSE(f.too_big);
    EXPECT_EQ(f.payload, payload) << c.length << (c.masked ? " masked" : " unmasked");
  }
}

TEST(Frames, OverTheLimitIsToldNotRead) {
  Frame f;
  size_t used = 0;
  ASSERT_TRUE(read_from(client_frame(0x82, std::string(kMaxFrameBytes + 1, 'x'), true), &f, &used));
  EXPECT_TRUE(f.too_big);
  EXPECT_EQ(used, 2u + 8u + 4u);
  EXPECT_FALSE(read_from(client_frame(0x81, "cut short", true).substr(0, 8), &f));
}

TEST(Frames, ServerFramesReadBackUnmasked) {
  for (const size_t n : {size_t{0}, size_t{125}, size_t{126}, size_t{65535}, size_t{65536}}) {
    Frame f;
    ASSERT_TRUE(read_from(server_frame(0x1, std::string(n, 'u')), &f)) << n;
    EXPECT_EQ(f.bits, 0x81);
    EXPECT_FALSE(f.masked);
    EXPECT_EQ(f.payload.size(), n);
  }
}

TEST(Frames, WhatEachFrameIsTaken) {
  using T = FrameReader::Take;
  auto take = [](FrameReader& r, int bits, bool masked = true, size_t n = 0) {
    Frame f;
    f.bits = bits;
    f.masked = masked;
    f.payload.assign(n, 'p');
    return r.take(f);
  };
  struct Case {
    const char* what;
    int bits;
    bool masked;
    size_t length;
    T want;
  };
  const Case cases[] = {
      {"a whole text message", 0x81, true, 5, T::message}, {"the same unmasked", 0x81, false, 5, T::fail},
      {"an unmasked close", 0x88, false, 0, T::fail},      {"a ping", 0x89, true, 125, T::control},
      {"a ping of 126 bytes", 0x89, true, 126, T::fail},   {"a close", 0x88, true, 2, T::close},
      {"a binary message", 0x82, true, 5, T::refuse},
  };
  for (const Case& c : cases) {
    FrameReader r;
    EXPECT_EQ(take(r, c.bits, c.masked, c.length), c.want) << c.what;
  }
  FrameReader r;
  EXPECT_EQ(take(r, 0x01), T::refuse);
  EXPECT_EQ(take(r, 0x89), T::control) << "a ping between fragments";
  EXPECT_EQ(take(r, 0x80), T::skip);
  EXPECT_EQ(take(r, 0x81), T::message) << "after the last fragment";
}

}  // namespace
}  // namespace vboard::serve

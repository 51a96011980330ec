// The GDB server's protocol layer against a fake target and a scripted byte
// stream: framing and bad packets, the commands GDB and IDE front ends use,
// interrupts of a running target, and the one-client socket.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <deque>
#include <map>
#include <thread>

#include "gdb/server.h"
#include "gdb/session.h"

namespace vboard::gdb {
namespace {

// Bytes the "client" sends, chunk by chunk; what the server writes is collected.
class ScriptStream : public Stream {
 public:
  std::deque<std::string> input;
  std::string output;
  long read(char* buf, size_t n, int timeout_ms) override {
    if (input.empty()) return timeout_ms == 0 ? 0 : -1;  // script over: the client hangs up
    std::string& s = input.front();
    size_t k = std::min(n, s.size());
    s.copy(buf, k);
    s.erase(0, k);
    if (s.empty()) input.pop_front();
    return static_cast<long>(k);
  }
  bool write(std::string_view data) override {
    output += data;
    return true;
  }
  // Reply payloads in order (acks dropped), plus the acks themselves as "+"/"-".
  std::vector<std::string> replies(std::string* acks = nullptr) const {
    PacketReader r;
    std::vector<PacketReader::Event> ev;
    r.feed(output, ev);
    std::vector<std::string> out;
    for (auto& e : ev) {
      if (e.kind == PacketReader::Kind::packet) out.push_back(e.payload);
      if (acks && e.kind == PacketReader::Kind::ack) *acks += '+';
      if (acks && e.kind == PacketReader::Kind::nack) *acks += '-';
    }
    return out;
  }
};

class FakeTarget : public Target {
 public:
  std::array<uint64_t, kNumRegs> regs{};
  std::array<uint8_t, 64> ram{};                                        // at 0x20000000
  std::vector<std::tuple<bool, PointKind, uint32_t, uint32_t>> points;  // insert?, kind, addr, len
  std::deque<StopInfo> stops;  // what the next resumes report; empty: run until interrupted
  int polls_until_stop = -1;
  bool detached = false, killed = false;
  unsigned resumes = 0;

  bool read_register(unsigned n, uint64_t& v) override {
    if (n == kBasepri) return false;  // one unavailable register
    v = regs[n];
    return true;
  }
  bool write_register(unsigned n, uint64_t v) override {
    regs[n] = v;
    return true;
  }
  size_t read_memory(uint32_t addr, uint8_t* dst, size_t n) override {
    size_t k = 0;
    for (; k < n && addr + k >= 0x20000000 && addr + k < 0x20000000 + ram.size(); ++k)
      dst[k] = ram[addr + k - 0x20000000];
    return k;
  }
  size_t write_memory(uint32_t addr, const uint8_t* src, size_t n) override {
    size_t k = 0;
    for (; k < n && addr + k >= 0x20000000 && addr + k < 0x20000000 + ram.size(); ++k)
      ram[addr + k - 0x20000000] = src[k];
    return k;
  }
  bool insert_point(PointKind k, uint32_t a, uint32_t l) override {
    points.emplace_back(true, k, a, l);
    return a != 0xdead;
  }
  bool remove_point(PointKind k, uint32_t a, uint32_t l) override {
    points.emplace_back(false, k, a, l);
    return true;
  }
  StopInfo resume(bool step, const std::function<bool()>& interrupted) override {
    ++resumes;
    if (step) {
      regs[kPc] += 2;
      return {StopInfo::Kind::step};
    }
    if (!stops.empty()) {
      StopInfo s = stops.front();
      stops.pop_front();
      return s;
    }
    for (int i = 0; i < 100000; ++i)
      if (interrupted()) return {StopInfo::Kind::interrupted};
    return {StopInfo::Kind::exited, false, PointKind::write, 0, 9};
  }
  bool monitor(const std::string& cmd, std::string& out) override {
    if (cmd == "time") {
      out = "t=1.5 ms";
      return true;
    }
    out = std::string(3000, 'x');  // longer than one output packet
    return false;
  }
  void detach() override { detached = true; }
  void kill() override { killed = true; }
};

struct Exchange {
  ScriptStream stream;
  FakeTarget target;
  SessionEnd end = SessionEnd::disconnected;
  std::vector<std::string> replies;
  std::string acks;
  void go(std::initializer_list<std::string> chunks) {
    for (const auto& c : chunks) stream.input.push_back(c);
    SessionOptions o;
    o.poll_interval = std::chrono::milliseconds(0);
    Session s(stream, target, o);
    end = s.serve();
    replies = stream.replies(&acks);
  }
};

TEST(GdbPacket, FramesRoundTripThroughTheReaderWhateverTheChunking) {
  std::string payload = "X20000000,4:a$b#c}d*e";
  std::string framed = frame(payload);
  EXPECT_EQ(framed.find('$', 1), std::string::npos) << "special characters must be escaped";
  EXPECT_EQ(frame("OK"), "$OK#9a");
  for (size_t chunk : {size_t{1}, size_t{3}, framed.size()}) {
    PacketReader r;
    std::vector<PacketReader::Event> ev;
    for (size_t i = 0; i < framed.size(); i += chunk) r.feed(std::string_view(framed).substr(i, chunk), ev);
    ASSERT_EQ(ev.size(), 1u);
    EXPECT_EQ(ev[0].kind, PacketReader::Kind::packet);
    EXPECT_EQ(ev[0].payload, payload);
  }
}

TEST(GdbPacket, ReaderSeparatesAcksInterruptsNoiseAndBadPackets) {
  PacketReader r;
  std::vector<PacketReader::Event> ev;
  r.feed("+-\x03junk$g#00$g#67", ev);
  ASSERT_EQ(ev.size(), 5u);
  EXPECT_EQ(ev[0].kind, PacketReader::Kind::ack);
  EXPECT_EQ(ev[1].kind, PacketReader::Kind::nack);
  EXPECT_EQ(ev[2].kind, PacketReader::Kind::interrupt);
  EXPECT_EQ(ev[3].kind, PacketReader::Kind::bad_checksum);
  EXPECT_EQ(ev[4].kind, PacketReader::Kind::packet);
  EXPECT_EQ(ev[4].payload, "g");
  ev.clear();
  r.feed("$" + std::string(kMaxPacket + 10, 'a') + "#zz", ev);  // oversized whatever its checksum
  ASSERT_EQ(ev.size(), 1u);
  EXPECT_EQ(ev[0].kind, PacketReader::Kind::oversized);
  ev.clear();
  r.feed("$" + std::string(kMaxPacket + 1, 'a') + "$?#3f", ev);  // abandoned for a new packet
  ASSERT_EQ(ev.size(), 2u);
  EXPECT_EQ(ev[0].kind, PacketReader::Kind::oversized);
  EXPECT_EQ(ev[1].payload, "?");
}

TEST(GdbSession, BadChecksumIsNackedAndTheRetransmissionAnswered) {
  Exchange r;
  r.go({"$?#00", "$?#3f"});
  EXPECT_EQ(r.acks, "-+");
  ASSERT_EQ(r.replies.size(), 1u);
  EXPECT_EQ(r.replies[0], "S05");
  EXPECT_EQ(r.end, SessionEnd::disconnected);
  EXPECT_TRUE(r.target.detached) << "a vanished client must leave the run going";
}

TEST(GdbSession, OversizedAndUnknownPacketsGetErrorOrEmptyReplyAndTheSessionGoesOn) {
  Exchange r;
  std::string huge = "M20000000,1000:" + std::string(2 * 4096, '0');
  r.go({frame(huge), frame("qNoSuchThing"), frame("vMustReplyEmpty"), frame("Z9,0,0"), frame("m2000000,zz"),
        frame("?")});
  ASSERT_EQ(r.replies.size(), 6u);
  EXPECT_EQ(r.replies[0], "E03");
  EXPECT_EQ(r.replies[1], "");
  EXPECT_EQ(r.replies[2], "");
  EXPECT_EQ(r.replies[3], "");
  EXPECT_EQ(r.replies[4], "E01");
  EXPECT_EQ(r.replies[5], "S05");
  EXPECT_EQ(r.target.ram[0], 0) << "the oversized write must not have been applied";
}

TEST(GdbSession, NackResendsTheLastReplyABoundedNumberOfTimes) {
  Exchange r;
  r.go({frame("?"), std::string(20, '-')});
  EXPECT_EQ(r.replies.size(), 9u);  // the reply and 8 resends
  for (const auto& s : r.replies) EXPECT_EQ(s, "S05");
}

TEST(GdbSession, RegistersReadAndWriteInTargetDescriptionOrder) {
  Exchange r;
  r.target.regs[kPc] = 0x08000123;
  r.target.regs[kD0 + 1] = 0x400921FB54442D18ull;  // pi
  r.go({frame("g"), frame("p12"), frame("P10=00000001"), frame("P12=0000000000000840"), frame("p21"),
        frame("P99=0")});
  ASSERT_EQ(r.replies.size(), 6u);
  const std::string& g = r.replies[0];
  EXPECT_EQ(g.size(), 2u * (17 * 4 + 16 * 8 + 7 * 4));
  EXPECT_EQ(g.substr(15 * 8, 8), "23010008");
  EXPECT_EQ(g.substr(17 * 8 + 16, 16), "182d4454fb210940");
  EXPECT_EQ(g.substr(17 * 8 + 16 * 16 + 8 + 3 * 8, 8), "xxxxxxxx") << "basepri is unavailable";
  EXPECT_EQ(r.replies[1], "182d4454fb210940");
  EXPECT_EQ(r.replies[2], "OK");
  EXPECT_EQ(r.target.regs[kXpsr], 0x01000000u);
  EXPECT_EQ(r.replies[3], "OK");
  EXPECT_EQ(r.target.regs[kD0 + 1], 0x4008000000000000ull);
  EXPECT_EQ(r.replies[5], "E02");
}

TEST(GdbSession, RegisterFileWriteIsAllOrNothing) {
  const std::string all = [] {
    std::string g;
    for (unsigned n = 0; n < kNumRegs; ++n) g += hex_le(n + 1, reg_bytes(n));
    return g;
  }();
  const struct {
    std::string packet, reply;
  } cases[] = {
      {"G" + all, "OK"},
      {"G" + all.substr(0, 8 * 5), "E01"},                      // five registers only
      {"G" + all.substr(0, 8) + "zz" + all.substr(10), "E01"},  // r1 malformed after a good r0
      {"G" + all + "00", "E01"},                                // one byte too many
  };
  for (const auto& c : cases) {
    Exchange r;
    r.go({frame(c.packet)});
    ASSERT_EQ(r.replies.size(), 1u);
    EXPECT_EQ(r.replies[0], c.reply) << c.packet.size();
    const bool written = c.reply == "OK";
    for (unsigned n = 0; n < kNumRegs; ++n) EXPECT_EQ(r.target.regs[n], written ? n + 1 : 0) << n;
  }
}

TEST(GdbSession, MemoryReadsWritesAndBinaryEscapes) {
  Exchange r;
  std::string bin = "X20000004,4:";
  bin += std::string("\x7d\x03\x23\x2a", 4);  // "}" escapes; frame() escapes them again on the wire
  r.go({frame("M20000000,2:beef"), frame(bin), frame("m20000000,8"), frame("m1000,4"), frame("m2000003e,8"),
        frame("X20000000,0:")});
  ASSERT_EQ(r.replies.size(), 6u);
  EXPECT_EQ(r.replies[0], "OK");
  EXPECT_EQ(r.replies[1], "OK");
  EXPECT_EQ(r.replies[2], "beef00007d03232a");
  EXPECT_EQ(r.replies[3], "E02");
  EXPECT_EQ(r.replies[4], "0000") << "a read running off the end returns what exists";
  EXPECT_EQ(r.replies[5], "OK");
}

TEST(GdbSession, TargetDescriptionIsServedInChunksWithTheCortexMFeatures) {
  Exchange r;
  r.go({frame("qSupported:multiprocess+;swbreak+;hwbreak+;xmlRegisters=i386"),
        frame("qXfer:features:read:target.xml:0,c8"), frame("qXfer:features:read:target.xml:c8,fffff"),
        frame("qXfer:features:read:target.xml:8c8,fffff"), frame("qXfer:features:read:other.xml:0,10")});
  ASSERT_EQ(r.replies.size(), 5u);
  EXPECT_NE(r.replies[0].find("qXfer:features:read+"), std::string::npos);
  EXPECT_NE(r.replies[0].find("PacketSize=1000"), std::string::npos);
  EXPECT_EQ(r.replies[1][0], 'm');
  EXPECT_EQ(r.replies[1].size(), 201u);
  EXPECT_EQ(r.replies[2], 'm' + target_xml().substr(200, 2048)) << "one reply holds at most 2048 bytes";
  EXPECT_EQ(r.replies[3][0], 'l');
  std::string xml = r.replies[1].substr(1) + r.replies[2].substr(1) + r.replies[3].substr(1);
  EXPECT_EQ(xml, target_xml());
  EXPECT_NE(xml.find("org.gnu.gdb.arm.m-profile"), std::string::npos);
  EXPECT_NE(xml.find("org.gnu.gdb.arm.vfp"), std::string::npos);
  EXPECT_EQ(r.replies[4], "E02");
}

TEST(GdbSession, BreakAndWatchpointsReachTheTargetAndStopsAreReportedAsGdbExpects) {
  Exchange r;
  r.target.stops = {{StopInfo::Kind::breakpoint},
                    {StopInfo::Kind::breakpoint, true},
                    {StopInfo::Kind::watchpoint, false, PointKind::write, 0x20000010},
                    {StopInfo::Kind::watchpoint, false, PointKind::read, 0x40000024},
                    {StopInfo::Kind::halted}};
  r.go({frame("qSupported:swbreak+;hwbreak+"), frame("Z0,8000100,2"), frame("Z1,8000104,2"),
        frame("Z2,20000010,4"), frame("z2,20000010,4"), frame("Z0,dead,2"), frame("c"), frame("c"),
        frame("c"), frame("c"), frame("c"), frame("?"), frame("s8000200")});
  ASSERT_EQ(r.replies.size(), 13u);
  EXPECT_EQ(r.replies[1], "OK");
  EXPECT_EQ(r.replies[5], "E04");
  ASSERT_EQ(r.target.points.size(), 5u);
  EXPECT_EQ(r.target.points[2], std::make_tuple(true, PointKind::write, 0x20000010u, 4u));
  EXPECT_EQ(r.target.points[3], std::make_tuple(false, PointKind::write, 0x20000010u, 4u));
  EXPECT_EQ(r.replies[6], "T05swbreak:;");
  EXPECT_EQ(r.replies[7], "T05hwbreak:;");
  EXPECT_EQ(r.replies[8], "T05watch:20000010;");
  EXPECT_EQ(r.replies[9], "T05rwatch:40000024;");
  EXPECT_EQ(r.replies[10], "T06");
  EXPECT_EQ(r.replies[11], "T06") << "'?' repeats the last stop";
  EXPECT_EQ(r.replies[12], "T05");
  EXPECT_EQ(r.target.regs[kPc], 0x8000202u) << "'s ADDR' resumes at ADDR";
}

TEST(GdbSession, VContStepsAndContinuesWithTheTargetsOwnStep) {
  Exchange r;
  r.target.regs[kPc] = 0x08000100;
  r.target.stops = {{StopInfo::Kind::breakpoint}};
  r.go({frame("vCont?"), frame("vCont;s:1"), frame("vCont;S05:1;c"), frame("vCont;c"), frame("vCont;r1,2:1"),
        frame("vCont;x")});
  ASSERT_EQ(r.replies.size(), 6u);
  EXPECT_EQ(r.replies[0], "vCont;c;C;s;S") << "no range stepping offered";
  EXPECT_EQ(r.replies[1], "T05");
  EXPECT_EQ(r.replies[2], "T05");
  EXPECT_EQ(r.target.regs[kPc], 0x08000104u) << "two single steps";
  EXPECT_EQ(r.replies[3], "T05") << "a continue to the breakpoint";
  EXPECT_EQ(r.replies[4], "E01");
  EXPECT_EQ(r.replies[5], "E01");
  EXPECT_EQ(r.target.resumes, 3u);
}

TEST(GdbSession, InterruptStopsARunningTargetAndTheRunEndIsAnExit) {
  Exchange r;
  r.go({frame("c"), "\x03", frame("c")});
  ASSERT_EQ(r.replies.size(), 2u);
  EXPECT_EQ(r.replies[0], "T02");
  EXPECT_EQ(r.replies[1], "W09") << "the fake run ends with status 9 when nothing interrupts it";
  EXPECT_EQ(r.end, SessionEnd::exited);
  EXPECT_FALSE(r.target.detached);
}

TEST(GdbSession, MonitorOutputComesInConsolePacketsThenOk) {
  Exchange r;
  r.go({frame("qRcmd," + to_hex("time")), frame("qRcmd," + to_hex("bogus")), frame("qRcmd,zz")});
  ASSERT_EQ(r.replies.size(), 2u + 4u + 1u);
  std::vector<uint8_t> text;
  ASSERT_EQ(r.replies[0][0], 'O');
  ASSERT_TRUE(from_hex(r.replies[0].substr(1), text));
  EXPECT_EQ(std::string(text.begin(), text.end()), "t=1.5 ms\n");
  EXPECT_EQ(r.replies[1], "OK");
  EXPECT_EQ(r.replies[5], "E05") << "3001 bytes of output in three console packets, then the error";
  EXPECT_EQ(r.replies[6], "E01");
}

TEST(GdbSession, DetachAndKillEndTheSessionTheirWay) {
  Exchange d;
  d.go({frame("D"), frame("?")});
  EXPECT_EQ(d.end, SessionEnd::detached);
  EXPECT_TRUE(d.target.detached);
  EXPECT_EQ(d.replies, std::vector<std::string>{"OK"}) << "nothing is answered after a detach";
  Exchange k;
  k.go({frame("k")});
  EXPECT_EQ(k.end, SessionEnd::killed);
  EXPECT_TRUE(k.target.killed);
  EXPECT_TRUE(k.replies.empty());
}

TEST(GdbSocket, ListensOnLoopbackAndRefusesASecondClient) {
  Listener l;
  std::string err;
  ASSERT_TRUE(l.open(0, &err)) << err;
  ASSERT_NE(l.port(), 0);
  auto connect_client = [&]() {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(l.port());
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
      ::close(fd);
      return -1;
    }
    return fd;
  };
  int first = connect_client();
  ASSERT_GE(first, 0);
  auto stream = l.accept_one(5000, &err);
  ASSERT_TRUE(stream) << err;
  EXPECT_EQ(connect_client(), -1) << "a second client must be refused while one is attached";
  std::string q = frame("?");
  ASSERT_EQ(::write(first, q.data(), q.size()), static_cast<ssize_t>(q.size()));
  ::shutdown(first, SHUT_WR);
  FakeTarget t;
  Session s(*stream, t);
  EXPECT_EQ(s.serve(), SessionEnd::disconnected);
  char buf[64] = {};
  ssize_t n = ::read(first, buf, sizeof buf - 1);
  EXPECT_EQ(std::string(buf, n > 0 ? static_cast<size_t>(n) : 0), "+$S05#b8");
  ::close(first);
  EXPECT_FALSE(l.accept_one(0, &err)) << "the listener is closed after the first client";
}

TEST(GdbSocket, PortArgumentIsCheckedStrictly) {
  uint16_t p = 1;
  EXPECT_TRUE(parse_port("0", p));
  EXPECT_EQ(p, 0);
  EXPECT_TRUE(parse_port("65535", p));
  EXPECT_FALSE(parse_port("65536", p));
  EXPECT_FALSE(parse_port("12x", p));
  EXPECT_FALSE(parse_port("", p));
  EXPECT_FALSE(parse_port("-1", p));
}

}  // namespace
}  // namespace vboard::gdb

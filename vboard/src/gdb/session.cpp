#include "gdb/session.h"

#include <cstdio>
#include <vector>

namespace vboard::gdb {

namespace {

// Error replies. GDB shows only that an error came; the numbers tell a packet log reader why.
constexpr const char* kErrFormat = "E01";   // malformed arguments
constexpr const char* kErrAccess = "E02";   // memory or register not accessible
constexpr const char* kErrTooLong = "E03";  // packet longer than PacketSize, discarded
constexpr const char* kErrPoint = "E04";    // break- or watchpoint not possible there
constexpr const char* kErrNotHere = "E05";  // request this server does not serve (vRun, ...)
constexpr unsigned kMaxResends = 8;
constexpr size_t kMonitorChunk = 1024;  // output bytes per 'O' packet

bool starts_with(std::string_view s, std::string_view p) { return s.substr(0, p.size()) == p; }

// "ADDR,LEN" (hex); the rest after LEN (':' data or ',' kind) is returned in tail.
bool parse_addr_len(std::string_view args, uint32_t& addr, uint32_t& len, std::string_view* tail) {
  size_t comma = args.find(',');
  if (comma == std::string_view::npos) return false;
  size_t end = args.find_first_of(":;,", comma + 1);
  std::string_view len_text = args.substr(comma + 1, end == std::string_view::npos ? end : end - comma - 1);
  if (!parse_hex_u32(args.substr(0, comma), addr) || !parse_hex_u32(len_text, len)) return false;
  if (tail) *tail = end == std::string_view::npos ? std::string_view{} : args.substr(end);
  return true;
}

}  // namespace

const char* to_string(SessionEnd e) {
  switch (e) {
    case SessionEnd::detached:
      return "detached";
    case SessionEnd::killed:
      return "killed";
    case SessionEnd::disconnected:
      return "disconnected";
    case SessionEnd::exited:
      return "run ended";
  }
  return "?";
}

Session::Session(Stream& stream, Target& target, SessionOptions options)
    : stream_(stream), target_(target), opt_(std::move(options)) {
  last_stop_.kind = StopInfo::Kind::interrupted;
}

void Session::log(const std::string& line) const {
  if (opt_.log) opt_.log(line);
}

void Session::send_raw(std::string_view bytes) {
  if (!stream_.write(bytes)) end(SessionEnd::disconnected);
}

void Session::send(const std::string& payload) {
  last_reply_ = frame(payload);
  resends_ = 0;
  send_raw(last_reply_);
}

void Session::end(SessionEnd e) {
  if (ended_) return;
  ended_ = true;
  end_ = e;
}

SessionEnd Session::serve() {
  char buf[4096];
  while (!ended_) {
    if (!queued_.empty()) {
      PacketReader::Event e = std::move(queued_.front());
      queued_.pop_front();
      on_event(e);
      continue;
    }
    long n = stream_.read(buf, sizeof buf, -1);
    if (n < 0) {
      end(SessionEnd::disconnected);
      break;
    }
    std::vector<PacketReader::Event> events;
    reader_.feed(std::string_view(buf, static_cast<size_t>(n)), events);
    for (auto& e : events) queued_.push_back(std::move(e));
  }
  if (end_ == SessionEnd::killed)
    target_.kill();
  else if (end_ != SessionEnd::exited)
    target_.detach();
  return end_;
}

void Session::on_event(const PacketReader::Event& e) {
  using Kind = PacketReader::Kind;
  switch (e.kind) {
    case Kind::packet:
      send_raw("+");
      handle(e.payload);
      break;
    case Kind::bad_checksum:
      log("packet with a bad checksum: asked for it again");
      send_raw("-");
      break;
    case Kind::oversized:
      log("packet longer than " + std::to_string(kMaxPacket) + " bytes: discarded");
      send_raw("+");
      send(kErrTooLong);
      break;
    case Kind::nack:
      if (!last_reply_.empty() && resends_ < kMaxResends) {
        ++resends_;
        send_raw(last_reply_);
      }
      break;
    case Kind::ack:
    case Kind::interrupt:
      // Acks need no answer; an interrupt here raced a stop: the target is stopped already.
      break;
  }
}

void Session::handle(const std::string& p) {
  if (p.empty()) return send("");
  std::string_view rest = std::string_view(p).substr(1);
  switch (p[0]) {
    case '?':
      return send(started_ ? stop_reply(last_stop_) : "S05");
    case 'g':
      return send(read_registers());
    case 'G':
      return send(write_registers(rest));
    case 'p':
      return send(read_register(rest));
    case 'P':
      return send(write_register(rest));
    case 'm':
      return send(read_memory(rest));
    case 'M':
      return send(write_memory(rest, false));
    case 'X':
      return send(write_memory(rest, true));
    case 'c':
      return do_resume(false, rest);
    case 's':
      return do_resume(true, rest);
    case 'C':
    case 'S': {
      // The signal number is ignored: a bare-metal core has no signals to deliver.
      size_t semi = rest.find(';');
      return do_resume(p[0] == 'S',
                       semi == std::string_view::npos ? std::string_view{} : rest.substr(semi + 1));
    }
    case 'b':  // bs, bc: reverse step and continue (offered in qSupported when the target records)
      if ((p == "bs" || p == "bc") && target_.can_reverse()) return do_reverse(p == "bs");
      return send("");
    case 'Z':
      return send(point(rest, true));
    case 'z':
      return send(point(rest, false));
    case 'D':
      send("OK");
      log("debugger detached");
      return end(SessionEnd::detached);
    case 'k':  // no reply
      log("debugger killed the run");
      return end(SessionEnd::killed);
    case 'H':
    case 'T':
    case '!':
      return send("OK");
    case 'q':
    case 'Q':
      if (starts_with(p, "qRcmd,")) return monitor(std::string_view(p).substr(6));
      return send(query(p));
    case 'v':
      if (starts_with(p, "vKill")) {
        send("OK");
        log("debugger killed the run");
        return end(SessionEnd::killed);
      }
      if (starts_with(p, "vRun") || starts_with(p, "vAttach")) return send(kErrNotHere);
      // With vCont GDB steps with the target's own single step, as through a debug probe;
      // without it GDB steps by breakpoints at the addresses it predicts, which goes wrong
      // at an exception return (a POP or BX of EXC_RETURN: GDB guesses a RAM address).
      if (p == "vCont?") return send("vCont;c;C;s;S");
      if (starts_with(p, "vCont;")) return resume_vcont(std::string_view(p).substr(6));
      return send("");  // vCont?, vMustReplyEmpty, vFile: not supported
    default:
      return send("");
  }
}

std::string Session::query(const std::string& p) {
  if (starts_with(p, "qSupported")) {
    client_swbreak_ = p.find("swbreak+") != std::string::npos;
    client_hwbreak_ = p.find("hwbreak+") != std::string::npos;
    char b[128];
    std::snprintf(b, sizeof b, "PacketSize=%zx;qXfer:features:read+;swbreak+;hwbreak+%s", kMaxPacket,
                  target_.can_reverse() ? ";ReverseStep+;ReverseContinue+" : "");
    return b;
  }
  if (starts_with(p, "qXfer:features:read:")) {
    std::string_view args = std::string_view(p).substr(20);
    size_t colon = args.find(':');
    if (colon == std::string_view::npos) return kErrFormat;
    if (args.substr(0, colon) != "target.xml") return kErrAccess;
    uint32_t off = 0, len = 0;
    if (!parse_addr_len(args.substr(colon + 1), off, len, nullptr)) return kErrFormat;
    const std::string& xml = target_xml();
    if (off >= xml.size()) return "l";
    size_t n = std::min<size_t>({len, xml.size() - off, kMaxPacket / 2});
    return (off + n >= xml.size() ? "l" : "m") + xml.substr(off, n);
  }
  if (p == "qAttached") return "1";  // quitting GDB detaches and lets the run go on
  if (p == "qC") return "QC1";
  if (p == "qfThreadInfo") return "m1";
  if (p == "qsThreadInfo") return "l";
  if (starts_with(p, "qSymbol")) return "OK";
  return "";
}

std::string Session::stop_reply(const StopInfo& s) const {
  char b[64];
  switch (s.kind) {
    case StopInfo::Kind::breakpoint:
      if (s.hardware && client_hwbreak_) return "T05hwbreak:;";
      if (!s.hardware && client_swbreak_) return "T05swbreak:;";
      return "T05";
    case StopInfo::Kind::history_start:  // GDB: "No more reverse-execution history."
      return "T05replaylog:begin;";
    case StopInfo::Kind::step:
    case StopInfo::Kind::end_reached:  // SIGTRAP; `monitor time` says the end was reached
      return "T05";
    case StopInfo::Kind::watchpoint: {
      const char* what = s.watch == PointKind::read     ? "rwatch"
                         : s.watch == PointKind::access ? "awatch"
                                                        : "watch";
      std::snprintf(b, sizeof b, "T05%s:%08x;", what, s.addr);
      return b;
    }
    case StopInfo::Kind::interrupted:
      return "T02";
    case StopInfo::Kind::halted:
      return "T06";  // SIGABRT: the image gave up (monitor diagnostics says where and why)
    case StopInfo::Kind::exited:
      std::snprintf(b, sizeof b, "W%02x", s.exit_code & 0xFF);
      return b;
  }
  return "T05";
}

bool Session::poll_interrupt() {
  auto now = std::chrono::steady_clock::now();
  if (now - last_poll_ < opt_.poll_interval) return false;
  last_poll_ = now;
  char buf[512];
  long n = stream_.read(buf, sizeof buf, 0);
  if (n < 0) {
    end(SessionEnd::disconnected);
    return true;
  }
  std::vector<PacketReader::Event> events;
  reader_.feed(std::string_view(buf, static_cast<size_t>(n)), events);
  bool stop = false;
  for (auto& e : events) {
    if (e.kind == PacketReader::Kind::interrupt)
      stop = true;
    else
      queued_.push_back(std::move(e));  // answered once the target has stopped
  }
  return stop;
}

void Session::do_resume(bool step, std::string_view rest) {
  if (!rest.empty()) {
    uint32_t addr = 0;
    if (!parse_hex_u32(rest, addr)) return send(kErrFormat);
    target_.write_register(kPc, addr);
  }
  started_ = true;
  last_poll_ = std::chrono::steady_clock::now();
  last_stop_ = target_.resume(step, [this] { return poll_interrupt(); });
  if (ended_) return;  // the client went away while the target ran
  send(stop_reply(last_stop_));
  if (last_stop_.kind == StopInfo::Kind::exited) {
    log("run ended with exit status " + std::to_string(last_stop_.exit_code));
    end(SessionEnd::exited);
  }
}

void Session::do_reverse(bool step) {
  started_ = true;
  last_poll_ = std::chrono::steady_clock::now();
  last_stop_ = target_.reverse(step, [this] { return poll_interrupt(); });
  if (ended_) return;
  send(stop_reply(last_stop_));
}

void Session::resume_vcont(std::string_view actions) {
  // "ACTION[:THREAD];...": one thread, so the first action is the one for it.
  const std::string_view first = actions.substr(0, actions.find(';'));
  const std::string_view action = first.substr(0, first.find(':'));
  if (action == "c" || (action.size() == 3 && action[0] == 'C')) return do_resume(false, {});
  if (action == "s" || (action.size() == 3 && action[0] == 'S')) return do_resume(true, {});
  return send(kErrFormat);
}

std::string Session::read_registers() {
  std::string out;
  for (unsigned n = 0; n < kNumRegs; ++n) {
    uint64_t v = 0;
    if (target_.read_register(n, v))
      out += hex_le(v, reg_bytes(n));
    else
      out += std::string(2 * reg_bytes(n), 'x');  // unavailable
  }
  return out;
}

std::string Session::write_registers(std::string_view hex) {
  // The whole register file or nothing: every value is parsed before the first write.
  std::vector<uint64_t> values(kNumRegs);
  size_t pos = 0;
  for (unsigned n = 0; n < kNumRegs; ++n) {
    size_t w = 2 * reg_bytes(n);
    if (pos + w > hex.size() || !parse_hex_u64_le(hex.substr(pos, w), reg_bytes(n), values[n]))
      return kErrFormat;
    pos += w;
  }
  if (pos != hex.size()) return kErrFormat;
  std::vector<uint64_t> before(kNumRegs);
  for (unsigned n = 0; n < kNumRegs; ++n)
    if (!target_.read_register(n, before[n])) before[n] = values[n];  // unavailable: nothing to undo
  for (unsigned n = 0; n < kNumRegs; ++n) {
    if (target_.write_register(n, values[n])) continue;
    for (unsigned k = 0; k < n; ++k) target_.write_register(k, before[k]);  // put back what was written
    return kErrAccess;
  }
  return "OK";
}

std::string Session::read_register(std::string_view args) {
  uint32_t n = 0;
  if (!parse_hex_u32(args, n)) return kErrFormat;
  if (n >= kNumRegs) return kErrAccess;
  uint64_t v = 0;
  if (!target_.read_register(n, v)) return std::string(2 * reg_bytes(n), 'x');
  return hex_le(v, reg_bytes(n));
}

std::string Session::write_register(std::string_view args) {
  size_t eq = args.find('=');
  uint32_t n = 0;
  uint64_t v = 0;
  if (eq == std::string_view::npos || !parse_hex_u32(args.substr(0, eq), n)) return kErrFormat;
  if (n >= kNumRegs) return kErrAccess;
  if (!parse_hex_u64_le(args.substr(eq + 1), reg_bytes(n), v)) return kErrFormat;
  return target_.write_register(n, v) ? "OK" : kErrAccess;
}

std::string Session::read_memory(std::string_view args) {
  uint32_t addr = 0, len = 0;
  std::string_view tail;
  if (!parse_addr_len(args, addr, len, &tail) || !tail.empty()) return kErrFormat;
  // A reply holds two hex digits per byte; longer requests get what fits.
  len = std::min<uint32_t>(len, kMaxPacket / 2);
  std::vector<uint8_t> buf(len);
  size_t got = len ? target_.read_memory(addr, buf.data(), len) : 0;
  if (got == 0 && len != 0) return kErrAccess;
  return to_hex(buf.data(), got);
}

std::string Session::write_memory(std::string_view args, bool binary) {
  uint32_t addr = 0, len = 0;
  std::string_view tail;
  if (!parse_addr_len(args, addr, len, &tail) || tail.empty() || tail[0] != ':') return kErrFormat;
  std::string_view data = tail.substr(1);
  std::vector<uint8_t> bytes;
  if (binary)
    bytes.assign(data.begin(), data.end());
  else if (!from_hex(data, bytes))
    return kErrFormat;
  if (bytes.size() != len) return kErrFormat;
  if (len == 0) return "OK";  // GDB probes for X support with an empty write
  return target_.write_memory(addr, bytes.data(), len) == len ? "OK" : kErrAccess;
}

std::string Session::point(std::string_view args, bool insert) {
  // "TYPE,ADDR,KIND"; for watchpoints KIND is the length in bytes.
  if (args.size() < 2 || args[1] != ',' || args[0] < '0' || args[0] > '4') return "";
  auto kind = static_cast<PointKind>(args[0] - '0');
  uint32_t addr = 0, len = 0;
  std::string_view tail;
  if (!parse_addr_len(args.substr(2), addr, len, &tail)) return kErrFormat;
  // Conditions and commands evaluated by the target (";X...") are not offered in qSupported.
  if (!tail.empty() && tail[0] != ';') return kErrFormat;
  bool ok = insert ? target_.insert_point(kind, addr, len) : target_.remove_point(kind, addr, len);
  return ok ? "OK" : kErrPoint;
}

void Session::monitor(std::string_view hex) {
  std::vector<uint8_t> bytes;
  if (!from_hex(hex, bytes)) return send(kErrFormat);
  std::string command(bytes.begin(), bytes.end()), output;
  const bool known = target_.monitor(command, output);
  if (!output.empty() && output.back() != '\n') output += '\n';
  for (size_t off = 0; off < output.size(); off += kMonitorChunk) {
    send("O" + to_hex(std::string_view(output).substr(off, kMonitorChunk)));
    if (ended_) return;
  }
  // GDB shows an error reply to qRcmd as a failed command, which stops a script.
  send(known ? "OK" : kErrNotHere);
}

}  // namespace vboard::gdb

// One GDB client on one byte stream: reads packets, acknowledges them, answers
// them from a Target, and passes a client's interrupt (0x03) to a running
// target. All-stop mode, one thread, acknowledgements on (no QStartNoAckMode).
#pragma once

#include <chrono>
#include <deque>
#include <functional>
#include <string>
#include <string_view>

#include "gdb/packet.h"
#include "gdb/target.h"

namespace vboard::gdb {

class Stream {
 public:
  virtual ~Stream() = default;
  // Up to n bytes into buf, waiting at most timeout_ms (-1: no limit). Returns
  // the number of bytes read, 0 when the time ran out, -1 once the peer is gone.
  virtual long read(char* buf, size_t n, int timeout_ms) = 0;
  virtual bool write(std::string_view data) = 0;
};

enum class SessionEnd { detached, killed, disconnected, exited };
const char* to_string(SessionEnd e);

struct SessionOptions {
  // How often a running target looks for the client's interrupt (wall time).
  std::chrono::milliseconds poll_interval{10};
  // Called with one line per event worth telling the person at the terminal.
  std::function<void(const std::string&)> log;
};

class Session {
 public:
  Session(Stream& stream, Target& target, SessionOptions options = {});
  // Serves the client until it detaches, kills the target, goes away, or the
  // run ends. The target is detached (or killed) before this returns.
  SessionEnd serve();
  const StopInfo& last_stop() const { return last_stop_; }

 private:
  Stream& stream_;
  Target& target_;
  SessionOptions opt_;
  PacketReader reader_;
  std::deque<PacketReader::Event> queued_;
  std::string last_reply_;
  unsigned resends_ = 0;
  StopInfo last_stop_;
  bool started_ = false;  // false until the first resume: '?' then reports a plain SIGTRAP
  bool client_swbreak_ = false, client_hwbreak_ = false;
  bool ended_ = false;
  SessionEnd end_ = SessionEnd::disconnected;
  std::chrono::steady_clock::time_point last_poll_{};

  void log(const std::string& line) const;
  void send(const std::string& payload);
  void send_raw(std::string_view bytes);
  void on_event(const PacketReader::Event& e);
  void handle(const std::string& p);
  std::string stop_reply(const StopInfo& s) const;
  void do_resume(bool step, std::string_view rest);
  void do_reverse(bool step);
  void resume_vcont(std::string_view actions);
  bool poll_interrupt();
  void end(SessionEnd e);

  std::string read_registers();
  std::string write_registers(std::string_view hex);
  std::string read_register(std::string_view args);
  std::string write_register(std::string_view args);
  std::string read_memory(std::string_view args);
  std::string write_memory(std::string_view args, bool binary);
  std::string point(std::string_view args, bool insert);
  std::string query(const std::string& p);
  void monitor(std::string_view hex);
};

}  // namespace vboard::gdb

// A page's outbox (see Client): what the machine thread posts and the page's
// sender thread takes, bounded so that neither waits for the other.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <string>

#include "serve/messages.h"

namespace vboard::serve {

// One page's connection, as the engine sees it.
class Client {
 public:
  static constexpr size_t kMaxMessages = 32;           // one-off messages waiting (errors, scenarios)
  static constexpr size_t kMaxMessageBytes = 4 << 20;  // and their bytes together
  // From any thread, never waiting for the page: an update merges into the one
  // waiting; a one-off message past the bounds drops the oldest one waiting.
  void post(const Update& u);
  void post_message(std::string m);
  // The board anew (a first message, or after a reset): what waited of the old state is dropped.
  void post_hello(std::string m);
  // The sender's side: the next text to send (messages first, then the merged
  // update); false once closed or at the timeout with nothing to send.
  bool next(std::string* out, std::chrono::milliseconds timeout);
  void close();
  bool closed() const;
  uint64_t merged() const { return merged_; }
  uint64_t dropped() const { return dropped_; }
  int64_t last_seq = -1;  // the page's last sequence number (its connection's thread only)

 private:
  mutable std::mutex mu_;
  std::condition_variable cv_;
  std::optional<Update> pending_;
  std::deque<std::string> messages_;
  size_t message_bytes_ = 0;
  bool closed_ = false;
  std::atomic<uint64_t> merged_{0}, dropped_{0};
};

}  // namespace vboard::serve

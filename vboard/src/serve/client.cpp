// A page's outbox (client.h).
#include "serve/client.h"

namespace vboard::serve {

void Client::post(const Update& u) {
  std::lock_guard lk(mu_);
  if (closed_) return;
  if (pending_) {
    merge_update(*pending_, u);
    ++merged_;
  } else {
    pending_ = u;
  }
  cv_.notify_one();
}

void Client::post_message(std::string m) {
  std::lock_guard lk(mu_);
  if (closed_) return;
  message_bytes_ += m.size();
  messages_.push_back(std::move(m));
  while (messages_.size() > 1 && (messages_.size() > kMaxMessages || message_bytes_ > kMaxMessageBytes)) {
    message_bytes_ -= messages_.front().size();
    messages_.pop_front();
    ++dropped_;
  }
  cv_.notify_one();
}

void Client::post_hello(std::string m) {
  {
    std::lock_guard lk(mu_);
    pending_.reset();
  }
  post_message(std::move(m));
}

bool Client::next(std::string* out, std::chrono::milliseconds timeout) {
  std::unique_lock lk(mu_);
  cv_.wait_for(lk, timeout, [&] { return closed_ || pending_ || !messages_.empty(); });
  if (closed_) return false;
  if (!messages_.empty()) {
    *out = std::move(messages_.front());
    message_bytes_ -= out->size();
    messages_.pop_front();
    return true;
  }
  if (pending_) {
    const Update u = std::move(*pending_);
    pending_.reset();
    lk.unlock();
    *out = update_json(u);  // outside the lock: the machine thread may post meanwhile
    return true;
  }
  return false;
}

void Client::close() {
  std::lock_guard lk(mu_);
  closed_ = true;
  pending_.reset();
  messages_.clear();
  cv_.notify_all();
}

bool Client::closed() const {
  std::lock_guard lk(mu_);
  return closed_;
}

}  // namespace vboard::serve

#include "outputs/vcd.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <utility>

namespace vboard {

char* TimeLines::put_new(char* p, uint64_t v) {
  base_ = v - v % kLow;
  head_.fill(0);
  head_[0] = '#';
  char* const digits = head_.data() + 1;
  if (base_ == 0) {  // the whole number
    const char* end = std::to_chars(digits, head_.data() + head_.size(), v).ptr;
    head_len_ = 0;
    std::memcpy(p, head_.data(), kSlack);
    p += end - head_.data();
    *p++ = '\n';
    return p;
  }
  head_len_ =
      static_cast<size_t>(std::to_chars(digits, head_.data() + head_.size(), v / kLow).ptr - head_.data());
  return put(p, v);
}

VcdWriter::~VcdWriter() {
  if (f_) std::fclose(f_);
}

bool VcdWriter::open(const std::string& path, const Board& board, const std::vector<std::string>& pins,
                     ns_t t0, std::string* error, ns_t timescale) {
  const std::vector<std::string> all = board.pin_names();
  std::vector<unsigned> chosen;
  if (pins.empty()) {
    for (unsigned i = 0; i < all.size(); ++i)
      if (!all[i].empty()) chosen.push_back(i);
  } else {
    for (const std::string& p : pins) {
      auto it = p.empty() ? all.end() : std::find(all.begin(), all.end(), p);
      if (it == all.end()) {
        *error = "--vcd-pins: no pin '" + p + "' on this board";
        return false;
      }
      chosen.push_back(static_cast<unsigned>(it - all.begin()));
    }
  }
  f_ = std::fopen(path.c_str(), "w");
  if (!f_) {
    *error = "cannot write " + path + ": " + std::strerror(errno);
    return false;
  }
  path_ = path;
  scale_ = std::max<ns_t>(timescale, 1);
  slot_.assign(all.size(), -1);
  std::string unit = std::to_string(scale_) + "ns";
  for (const auto& [name, ns] : {std::pair<const char*, ns_t>{"s", kSec}, {"ms", kMs}, {"us", kUs}})
    if (scale_ % ns == 0) {
      unit = std::to_string(scale_ / ns) + name;
      break;
    }
  std::string head = "$date virtual board run $end\n$version vboard $end\n";
  if (scale_ > 1)
    head += "$comment virtual time is in whole ns; each change is written at the nearest multiple of " +
            unit + " (a half rounds up) $end\n";
  head += "$timescale " + unit + " $end\n$scope module board $end\n";
  for (size_t i = 0; i < chosen.size(); ++i) {
    std::string id(1, static_cast<char>('!' + i % 90));
    if (i >= 90) id += static_cast<char>('!' + i / 90);
    if (slot_[chosen[i]] >= 0) continue;  // named twice
    slot_[chosen[i]] = static_cast<int>(ids_.size());
    ids_.push_back(id);
    head += "$var wire 1 " + id + " " + all[chosen[i]] + " $end\n";
  }
  slot_t_.assign(ids_.size(), kNever);
  lines_.clear();
  for (const std::string& id : ids_)
    for (const char level : {'0', '1'}) {
      ChangeLine l{{level, id[0], id.size() > 1 ? id[1] : '\n', '\n'}, static_cast<uint8_t>(id.size() + 2)};
      lines_.push_back(l);
    }
  head += "$upscope $end\n$enddefinitions $end\n#" + std::to_string(units(t0)) + "\n$dumpvars\n";
  for (unsigned i = 0; i < slot_.size(); ++i)
    if (slot_[i] >= 0) head += (board.pin_level(i) ? "1" : "0") + ids_[static_cast<size_t>(slot_[i])] + "\n";
  head += "$end\n";
  used_ = 0;
  append(head);
  last_t_ = units(t0);
  return true;
}

void VcdWriter::pin_changed(unsigned pin, ns_t t, int level) {
  if (pin >= slot_.size() || slot_[pin] < 0) return;
  const auto slot = static_cast<uint32_t>(slot_[pin]);
  held_mixed_ |= !held_.empty() && held_.back().slot != slot;
  held_.push_back({t, slot, level});
}

void VcdWriter::pin_changes(unsigned pin, const PinChange* c, size_t n) {
  if (pin >= slot_.size() || slot_[pin] < 0 || n == 0) return;
  const auto slot = static_cast<uint32_t>(slot_[pin]);
  held_mixed_ |= !held_.empty() && held_.back().slot != slot;
  held_.reserve(held_.size() + n);
  for (size_t i = 0; i < n; ++i) held_.push_back({c[i].t, slot, c[i].level});
}

void VcdWriter::settled() {
  if (held_.empty()) return;
  // Changes of one pin arrive in order; between pins only within one advance.
  const auto earlier = [](const Held& a, const Held& b) { return a.t < b.t; };
  if (held_mixed_ && !std::is_sorted(held_.begin(), held_.end(), earlier))
    std::stable_sort(held_.begin(), held_.end(), earlier);
  held_mixed_ = false;
  // Room for every change with a time line of its own ('#', 20 digits, '\n')
  // and its change line: the text is put down with no check per byte.
  constexpr size_t kMostPerChange = 22 + 4;
  const size_t room = used_ + held_.size() * kMostPerChange + TimeLines::kSlack;
  if (out_.size() < room) out_.resize(room);
  char* p = out_.data() + used_;
  // The default unit and 1 ns with the division known here.
  if (scale_ == 10)
    p = put_held(p, [](ns_t t) { return (t + 5) / 10; });
  else if (scale_ == 1)
    p = put_held(p, [](ns_t t) { return t; });
  else
    p = put_held(p, [this](ns_t t) { return units(t); });
  used_ = static_cast<size_t>(p - out_.data());
  held_.clear();
  if (used_ >= (1u << 20)) flush();
}

template <class Units>
char* VcdWriter::put_held(char* p, Units to_units) {
  // Locals: the text's stores could otherwise alias every member.
  ns_t last_t = last_t_;
  uint64_t collapsed = collapsed_;
  ns_t* const slot_t = slot_t_.data();
  const ChangeLine* const lines = lines_.data();
  for (const Held& h : held_) {
    const ns_t t = to_units(h.t);
    // Two changes of one signal in one unit: the phase between them is gone.
    collapsed += slot_t[h.slot] == t;
    slot_t[h.slot] = t;
    if (t != last_t) {
      p = time_.put(p, t);
      last_t = t;
    }
    const ChangeLine& l = lines[2 * size_t{h.slot} + (h.level ? 1 : 0)];
    std::memcpy(p, l.text.data(), l.text.size());
    p += l.len;
  }
  last_t_ = last_t;
  collapsed_ = collapsed;
  return p;
}

void VcdWriter::append(const std::string& text) {
  if (out_.size() < used_ + text.size()) out_.resize(used_ + text.size());
  std::memcpy(out_.data() + used_, text.data(), text.size());
  used_ += text.size();
}

void VcdWriter::flush() {
  if (!f_ || used_ == 0) return;
  if (std::fwrite(out_.data(), 1, used_, f_) != used_ && write_error_.empty())
    write_error_ = std::strerror(errno);
  used_ = 0;
}

bool VcdWriter::finish(ns_t end, std::string* error) {
  if (!f_) {
    *error = "VCD file was not opened";
    return false;
  }
  settled();
  append("#" + std::to_string(std::max(units(end), last_t_)) + "\n");
  flush();
  if (std::fclose(f_) != 0 && write_error_.empty()) write_error_ = std::strerror(errno);
  f_ = nullptr;
  if (!write_error_.empty()) {
    *error = "writing " + path_ + " failed: " + write_error_;
    return false;
  }
  return true;
}

}  // namespace vboard

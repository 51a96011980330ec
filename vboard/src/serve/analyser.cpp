// The live page's logic analyser: the kept past of the traced pins (analyser.h).
#include "serve/analyser.h"

#include <algorithm>

#include "outputs/vcd_timescale.h"

namespace vboard::serve {

void KeptTrace::keep(const std::vector<unsigned>& pins, ns_t t, const std::vector<int>& levels) {
  std::vector<Pin> next;
  for (unsigned p : pins) {
    if (std::any_of(next.begin(), next.end(), [&](const Pin& k) { return k.index == p; })) continue;
    const auto old = std::find_if(pins_.begin(), pins_.end(), [&](const Pin& k) { return k.index == p; });
    if (old != pins_.end()) {
      next.push_back(std::move(*old));
      continue;
    }
    Pin k;
    k.index = p;
    k.from = t;
    k.level = p < levels.size() ? levels[p] : 0;
    next.push_back(std::move(k));
  }
  pins_ = std::move(next);
}

void KeptTrace::edge(unsigned pin, ns_t t, int level) {
  for (Pin& k : pins_) {
    if (k.index != pin) continue;
    if (k.edges.size() >= kMaxEdgesPerPin) {
      // The oldest go: the level before the next one kept is the last one dropped.
      k.level = k.edges.front().second;
      k.from = k.edges.front().first;
      k.edges.pop_front();
    }
    k.edges.emplace_back(t, level);
    return;
  }
}

void KeptTrace::frame(unsigned pin, ns_t latch, unsigned bits, std::vector<Rgb> leds) {
  const ns_t after = frames_.empty() ? 0 : frames_.back().latch;
  ns_t start = latch > bits * kBitNs ? latch - bits * kBitNs : 0;
  if (const Pin* k = find(pin)) {
    const auto first = std::upper_bound(k->edges.begin(), k->edges.end(), std::make_pair(after, 1));
    if (first != k->edges.end() && first->first < latch) start = first->first;
  }
  frames_.push_back(KeptFrame{start, latch, bits, std::move(leds)});
  if (frames_.size() > kMaxFrames) frames_.pop_front();
}

void KeptTrace::cut(ns_t t) {
  for (Pin& k : pins_) {
    while (!k.edges.empty() && k.edges.back().first > t) k.edges.pop_back();
    if (k.from > t) {
      k.from = t;
      k.edges.clear();
    }
  }
  while (!frames_.empty() && frames_.back().latch > t) frames_.pop_back();
}

const KeptTrace::Pin* KeptTrace::find(unsigned pin) const {
  const auto it = std::find_if(pins_.begin(), pins_.end(), [&](const Pin& k) { return k.index == pin; });
  return it == pins_.end() ? nullptr : &*it;
}

bool KeptTrace::kept(unsigned pin) const { return find(pin) != nullptr; }

KeptTrace::Window KeptTrace::window(unsigned pin, ns_t from, ns_t to, size_t most) const {
  Window w;
  const Pin* k = find(pin);
  if (!k) return w;
  w.kept_from = k->from;
  w.level = k->level;
  // The first edge after `from`; the one before it gives the level at `from`.
  auto it = std::upper_bound(k->edges.begin(), k->edges.end(), std::make_pair(from, 1));
  if (it != k->edges.begin()) w.level = std::prev(it)->second;
  for (; it != k->edges.end() && it->first <= to; ++it) {
    if (w.edges.size() >= most) {
      w.more = true;
      break;
    }
    w.edges.push_back(*it);
  }
  return w;
}

std::vector<KeptFrame> KeptTrace::frames(ns_t from, ns_t to, size_t most) const {
  std::vector<KeptFrame> out;
  auto it = std::lower_bound(frames_.begin(), frames_.end(), from,
                             [](const KeptFrame& f, ns_t t) { return f.latch < t; });
  for (; it != frames_.end() && it->start <= to && out.size() < most; ++it) out.push_back(*it);
  return out;
}

ns_t KeptTrace::earliest() const {
  ns_t e = 0;
  bool any = false;
  for (const Pin& k : pins_) {
    e = any ? std::min(e, k.from) : k.from;
    any = true;
  }
  return e;
}

std::string window_vcd(const KeptTrace& kept, const std::vector<std::pair<unsigned, std::string>>& pins,
                       ns_t from, ns_t to, size_t most_bytes, std::string* why) {
  const ns_t scale = kVcdTimescale;
  const auto units = [&](ns_t t) { return (t + scale / 2) / scale; };
  std::string head =
      "$date virtual board run $end\n$version vboard $end\n"
      "$comment virtual time is in whole ns; each change is written at the nearest multiple of " +
      std::to_string(scale) + "ns (a half rounds up) $end\n$timescale " + std::to_string(scale) +
      "ns $end\n$scope module board $end\n";
  struct Change {
    ns_t t;
    size_t slot;
    int level;
  };
  std::vector<Change> changes;
  std::string init;
  std::vector<std::string> ids;
  for (const auto& [pin, name] : pins) {
    if (!kept.kept(pin)) continue;
    std::string id(1, static_cast<char>('!' + ids.size() % 90));
    if (ids.size() >= 90) id += static_cast<char>('!' + ids.size() / 90);
    head += "$var wire 1 " + id + " " + name + " $end\n";
    // Edges at `from` itself belong to the file (a cursor put on an edge exports it).
    const KeptTrace::Window w = kept.window(pin, from > 0 ? from - 1 : 0, to, most_bytes / 4);
    if (w.more) {
      *why = "the window holds more changes of " + name + " than a file of " +
             std::to_string(most_bytes >> 20) + " MiB: choose a shorter one";
      return "";
    }
    init += std::to_string(w.level) + id + "\n";
    for (const auto& [t, level] : w.edges) changes.push_back({t, ids.size(), level});
    ids.push_back(id);
  }
  if (ids.empty()) {
    *why = "none of these pins is traced: their edges are not kept";
    return "";
  }
  std::stable_sort(changes.begin(), changes.end(),
                   [](const Change& a, const Change& b) { return a.t < b.t; });
  std::string o = head + "$upscope $end\n$enddefinitions $end\n#" + std::to_string(units(from)) +
                  "\n$dumpvars\n" + init + "$end\n";
  ns_t last = units(from);
  bool timed = false;  // the first change gets its time line even at the dump's time
  for (const Change& c : changes) {
    if (units(c.t) != last || !timed) {
      timed = true;
      last = units(c.t);
      o += "#" + std::to_string(last) + "\n";
    }
    o += std::to_string(c.level) + ids[c.slot] + "\n";
    if (o.size() > most_bytes) {
      *why = "the window's changes take more than " + std::to_string(most_bytes >> 20) +
             " MiB: choose a shorter one";
      return "";
    }
  }
  return o + "#" + std::to_string(std::max(units(to), last)) + "\n";
}

}  // namespace vboard::serve

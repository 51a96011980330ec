// The state of the whole board, listed once per model and used three ways.
// Each model has one function, `void state(StateVisitor& v)`, that names every
// mutable member it holds: `v("pll_lock_at", pll_lock_at_)`. The same listing
// saves the board into bytes, loads it back from bytes, and compares the live
// board with saved bytes, naming the first field that differs
// ("TIM17.ccr_act[0]"). Pointers and references to other models are wiring,
// not state: they are never listed, the machine builds them again the same way.
// A member that is a cache derived from other state may be left out when the
// model rebuilds it after a load (the model says so where it does).
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <deque>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <unordered_map>
#include <utility>
#include <vector>

#include "vboard/run_result.h"

namespace vboard {

// The saved state of a machine: the bytes the listing produced, in listing order.
using BoardState = std::vector<uint8_t>;

class StateVisitor {
 public:
  enum class Mode : uint8_t { save, load, compare };

  // Saves by appending to `out`.
  explicit StateVisitor(BoardState& out) : mode_(Mode::save), out_(&out), bytes_(out) {}
  // Loads (Mode::load) or compares (Mode::compare) `in`, read from the start.
  StateVisitor(Mode mode, const BoardState& in) : mode_(mode), bytes_(in) {}

  Mode mode() const { return mode_; }
  bool saving() const { return mode_ == Mode::save; }
  bool loading() const { return mode_ == Mode::load; }
  // Load and compare: false once the bytes did not fit the listing (too short,
  // a length that a fixed array cannot take, a wiring check that failed).
  bool ok() const { return error_.empty(); }
  const std::string& error() const { return error_; }
  // Compare: the first field whose saved value differs from the live one
  // ("" while none does); the comparison stops there.
  const std::string& difference() const { return difference_; }
  // Compare: every byte was read and nothing differed.
  bool equal() const { return ok() && difference_.empty() && pos_ == bytes_.size(); }
  bool done() const { return !error_.empty() || !difference_.empty(); }
  size_t position() const { return pos_; }

  // One named field of any listed kind.
  template <class T>
  void operator()(std::string_view name, T& value) {
    if (done()) return;
    Scope s(*this, name);
    visit(value);
  }
  // A field whose listing is given by `f(visitor, value)` (a model's private struct).
  template <class T, class F>
  void operator()(std::string_view name, T& value, F&& f) {
    if (done()) return;
    Scope s(*this, name);
    f(*this, value);
  }
  // A vector or deque whose items are listed by `f(visitor, item)`.
  template <class C, class F>
  void items(std::string_view name, C& list, F&& f) {
    if (done()) return;
    Scope s(*this, name);
    if (!length(list)) return;
    for (size_t i = 0; i < list.size() && !done(); ++i) {
      Scope e(*this, i);
      f(*this, list[i]);
    }
  }
  // Load: the archive must hold what the live board has here (wiring the
  // machine rebuilt, e.g. which pin a source drives); compare: a difference.
  template <class T>
  void expect(std::string_view name, T live) {
    if (done()) return;
    Scope s(*this, name);
    T saved = live;
    raw(&saved, sizeof saved);
    if (!done() && saved != live) mismatch(loading());
  }
  // Fails a load or a compare with `why` (a model that cannot take the archive).
  void fail(const std::string& why) {
    if (error_.empty()) error_ = path() + ": " + why;
  }

  // Names below the current one: "TIM17" then "ccr_act" then [0] make
  // "TIM17.ccr_act[0]". The names are kept as views and joined only when a
  // load fails or a compare differs, so that listing a long log costs no
  // string work per item.
  class Scope {
   public:
    Scope(StateVisitor& v, std::string_view name) : v_(v) { v.segs_.push_back({name, 0, false}); }
    Scope(StateVisitor& v, const char* name) : Scope(v, std::string_view(name)) {}
    // A name made on the spot ("chan" + number): the scope keeps it.
    Scope(StateVisitor& v, std::string&& name) : v_(v), owned_(std::move(name)) {
      v.segs_.push_back({owned_, 0, false});
    }
    Scope(StateVisitor& v, size_t index) : v_(v) { v.segs_.push_back({{}, index, true}); }
    ~Scope() { v_.segs_.pop_back(); }
    Scope(const Scope&) = delete;
    Scope& operator=(const Scope&) = delete;

   private:
    StateVisitor& v_;
    std::string owned_;
  };

 private:
  template <class T>
  static constexpr bool kScalar = std::is_arithmetic_v<T> || std::is_enum_v<T>;
  template <class T>
  struct IsArray : std::false_type {};
  template <class T, size_t N>
  struct IsArray<std::array<T, N>> : std::true_type {};
  template <class T>
  struct IsList : std::false_type {};
  template <class T, class A>
  struct IsList<std::vector<T, A>> : std::true_type {};
  template <class T, class A>
  struct IsList<std::deque<T, A>> : std::true_type {};
  template <class T>
  struct IsMap : std::false_type {};
  template <class K, class V, class C, class A>
  struct IsMap<std::map<K, V, C, A>> : std::true_type {};
  template <class K, class V, class H, class E, class A>
  struct IsMap<std::unordered_map<K, V, H, E, A>> : std::true_type {};
  template <class T>
  struct IsOptional : std::false_type {};
  template <class T>
  struct IsOptional<std::optional<T>> : std::true_type {};
  template <class T>
  struct IsPair : std::false_type {};
  template <class A, class B>
  struct IsPair<std::pair<A, B>> : std::true_type {};

  template <class T>
  void visit(T& value) {
    if constexpr (std::is_same_v<T, bool>) {
      uint8_t b = value ? 1 : 0;
      scalar(b);
      if (loading()) value = b != 0;
    } else if constexpr (kScalar<T>) {
      scalar(value);
    } else if constexpr (std::is_same_v<T, std::string>) {
      if (!length(value)) return;
      bulk(value.data(), value.size(), 1);
    } else if constexpr (std::is_array_v<T>) {
      for (size_t i = 0; i < std::extent_v<T> && !done(); ++i) {
        Scope e(*this, i);
        visit(value[i]);
      }
    } else if constexpr (IsArray<T>::value) {
      if constexpr (kScalar<typename T::value_type> && !std::is_same_v<typename T::value_type, bool>) {
        bulk(value.data(), value.size(), sizeof(typename T::value_type));
      } else {
        for (size_t i = 0; i < value.size() && !done(); ++i) {
          Scope e(*this, i);
          visit(value[i]);
        }
      }
    } else if constexpr (IsList<T>::value) {
      list(value);
    } else if constexpr (IsMap<T>::value) {
      map(value);
    } else if constexpr (IsOptional<T>::value) {
      bool has = value.has_value();
      scalar_named("has", has);
      if (done()) return;
      if (loading()) {
        if (!has) {
          value.reset();
          return;
        }
        value.emplace();
      }
      if (value) visit(*value);
    } else if constexpr (IsPair<T>::value) {
      (*this)("first", value.first);
      (*this)("second", value.second);
    } else if constexpr (requires(StateVisitor & v) { value.state(v); }) {
      value.state(*this);
    } else {
      state_fields(*this, value);  // a plain struct listed by a free function (found by ADL)
    }
  }

  template <class T>
  void list(T& value) {
    using E = typename T::value_type;
    if (!length(value)) return;
    if constexpr (kScalar<E> && !std::is_same_v<E, bool> && std::is_same_v<T, std::vector<E>>) {
      bulk(value.data(), value.size(), sizeof(E));
    } else {
      for (size_t i = 0; i < value.size() && !done(); ++i) {
        Scope e(*this, i);
        if constexpr (std::is_same_v<E, bool>) {
          bool b = value[i];
          visit(b);
          if (loading()) value[i] = b;
        } else {
          visit(value[i]);
        }
      }
    }
  }

  // Maps in key order (an unordered one is sorted first, so that equal maps
  // give equal bytes); a load clears the map and inserts what it reads.
  template <class T>
  void map(T& value) {
    using K = typename T::key_type;
    using V = typename T::mapped_type;
    uint64_t n = value.size();
    scalar_named("size", n);
    if (done()) return;
    if (loading()) {
      value.clear();
      for (uint64_t i = 0; i < n && !done(); ++i) {
        Scope e(*this, static_cast<size_t>(i));
        K key{};
        (*this)("key", key);
        if (done()) return;
        (*this)("value", value[key]);
      }
      return;
    }
    std::vector<std::pair<const K, V>*> sorted;
    sorted.reserve(value.size());
    for (auto& kv : value) sorted.push_back(&kv);
    if constexpr (!std::is_same_v<T, std::map<K, V>>)
      std::sort(sorted.begin(), sorted.end(),
                [](const auto* a, const auto* b) { return a->first < b->first; });
    size_t i = 0;
    for (auto* kv : sorted) {
      if (done()) return;
      Scope e(*this, i++);
      K key = kv->first;
      (*this)("key", key);
      (*this)("value", kv->second);
    }
  }

  // The element count of a list or string: save writes it, load resizes to
  // it, compare records a difference. False when the listing cannot go on.
  template <class C>
  bool length(C& c) {
    uint64_t n = c.size();
    scalar_named("size", n);
    if (done()) return false;
    if (!loading()) return true;
    if constexpr (requires { c.resize(size_t{0}); }) {
      if (n > bytes_.size() - pos_) {  // more items than bytes left: not an archive of this board
        fail("length " + std::to_string(n) + " does not fit the archive");
        return false;
      }
      c.resize(static_cast<size_t>(n));
    } else if (n != c.size()) {  // a fixed array
      fail("length " + std::to_string(n) + " where " + std::to_string(c.size()) + " were expected");
      return false;
    }
    return true;
  }

  template <class T>
  void scalar_named(std::string_view name, T& v) {
    Scope s(*this, name);
    scalar(v);
  }
  template <class T>
  void scalar(T& v) {
    if (mode_ == Mode::compare) {
      T saved{};
      raw(&saved, sizeof saved);
      if (!done() && std::memcmp(&saved, &v, sizeof v) != 0) mismatch(false);
      return;
    }
    raw(&v, sizeof v);
  }

  // n items of `size` bytes each, in one go; a compare names the first item that differs.
  void bulk(void* data, size_t n, size_t size);
  // save: append; load: read into p; compare: read into p (a scratch copy).
  void raw(void* p, size_t n);
  void mismatch(bool as_error);

  Mode mode_;
  BoardState* out_ = nullptr;
  const BoardState& bytes_;
  size_t pos_ = 0;
  // One step of the path to the field being listed: a name or an index.
  struct Seg {
    std::string_view name;
    size_t index;
    bool is_index;
  };
  std::vector<Seg> segs_;
  std::string path() const;
  std::string error_, difference_;
};

// The run result's plain structs the machine keeps.
inline void state_fields(StateVisitor& v, Halt& h) {
  v("reason", h.reason);
  v("symbol", h.symbol);
  v("primask", h.primask);
  v("exception", h.exception);
  v("pc", h.pc);
  v("t", h.t);
}
inline void state_fields(StateVisitor& v, Unmodelled& u) {
  v("addr", u.addr);
  v("is_write", u.is_write);
  v("size", u.size);
  v("value", u.value);
  v("pc", u.pc);
  v("where", u.where);
  v("device", u.device);
  v("t", u.t);
}
inline void state_fields(StateVisitor& v, MmioWrite& w) {
  v("t", w.t);
  v("seq", w.seq);
  v("addr", w.addr);
  v("value", w.value);
  v("size", w.size);
  v("device", w.device);
}
inline void state_fields(StateVisitor& v, ExceptionStat& s) {
  v("count", s.count);
  v("instr_total", s.instr_total);
  v("instr_min", s.instr_min);
  v("instr_max", s.instr_max);
}
inline void state_fields(StateVisitor& v, FunctionStat& f) {
  v("name", f.name);
  v("samples", f.samples);
  v("returns", f.returns);
  v("return_ns", f.return_ns);
  v("in_handler", f.in_handler);
}
inline void state_fields(StateVisitor& v, ExceptionEntry& e) {
  v("t", e.t);
  v("exc", e.exc);
  v("tail_chained", e.tail_chained);
  v("irqs_pending", e.irqs_pending);
}
inline void state_fields(StateVisitor& v, RunTally& t) {
  v("unmodelled", t.unmodelled);
  v("faults", t.faults);
  v("last_unmodelled", t.last_unmodelled);
  v("last_fault", t.last_fault);
}
inline void state_fields(StateVisitor& v, IrqInjection& j) {
  v("irq", j.irq);
  v("at", j.at);
}
inline void state_fields(StateVisitor& v, PinChange& c) {
  v("t", c.t);
  v("level", c.level);
}
inline void state_fields(StateVisitor& v, Diagnostic& d) {
  v("kind", d.kind);
  v("where", d.where);
  v("first", d.first);
  v("count", d.count);
  v("message", d.message);
}
inline void state_fields(StateVisitor& v, PulseSpec& p) {
  v("pin", p.pin);
  v("width", p.width);
  v("period", p.period);
  v("start", p.start);
  v("stop", p.stop);
  v("jitter", p.jitter);
}
inline void state_fields(StateVisitor& v, LevelSpec& l) {
  v("pin", l.pin);
  v("level", l.level);
  v("at", l.at);
  v("bounces", l.bounces);
  v("bounce_ns", l.bounce_ns);
}

}  // namespace vboard

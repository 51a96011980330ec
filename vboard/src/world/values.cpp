// The values a user gives vboard and their limits (see vboard/values.h): one
// reading for the command line and the scenario loader. A value is checked
// whole; nothing is rounded, clamped or guessed.
#include "world/values.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "chip/chip.h"

namespace vboard::values {

namespace {

// The code point of the UTF-8 sequence at s[i] and its length; length 0 when
// the bytes there are not UTF-8 (stray, truncated, overlong, surrogate, too big).
std::pair<uint32_t, size_t> utf8_at(std::string_view s, size_t i) {
  const auto b = [&](size_t k) { return static_cast<unsigned char>(s[k]); };
  const unsigned char c = b(i);
  if (c < 0x80) return {c, 1};
  const size_t n = c >= 0xf0 ? 4 : c >= 0xe0 ? 3 : c >= 0xc2 ? 2 : 0;
  if (n == 0 || c > 0xf4 || i + n > s.size()) return {0, 0};
  uint32_t cp = c & (0x7f >> n);
  for (size_t k = 1; k < n; ++k) {
    if ((b(i + k) & 0xc0) != 0x80) return {0, 0};
    cp = cp << 6 | (b(i + k) & 0x3f);
  }
  static constexpr uint32_t kMin[] = {0, 0, 0x80, 0x800, 0x10000};
  if (cp < kMin[n] || cp > 0x10ffff || (cp >= 0xd800 && cp <= 0xdfff)) return {0, 0};
  return {cp, n};
}

// Unsigned decimal integer, digits only, at most `max`.
std::optional<uint64_t> count(std::string_view text, uint64_t max) {
  if (text.empty() || text.size() > 19) return std::nullopt;
  uint64_t v = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    v = v * 10 + static_cast<uint64_t>(c - '0');
  }
  if (v > max) return std::nullopt;
  return v;
}

// "12.345" times `scale`: all digits with at most one point, and whole after scaling.
enum class Fixed { ok, malformed, fractional, too_big };
Fixed fixed(std::string_view text, uint64_t scale, uint64_t max, uint64_t* out) {
  const size_t dot = text.find('.');
  const std::string_view whole = text.substr(0, dot);
  const std::string_view frac = dot == std::string_view::npos ? std::string_view() : text.substr(dot + 1);
  const auto digits = [](std::string_view d) {
    return !d.empty() && d.find_first_not_of("0123456789") == std::string_view::npos;
  };
  if (!digits(whole) || (dot != std::string_view::npos && !digits(frac))) return Fixed::malformed;
  auto w = count(whole, max / scale);
  if (!w) return Fixed::too_big;
  uint64_t f = 0;
  if (!frac.empty()) {
    // At most 18 digits after the point; 1.5ns is not a whole nanosecond.
    if (frac.size() > 18) return Fixed::fractional;
    uint64_t den = 1;
    for (size_t i = 0; i < frac.size(); ++i) den *= 10;
    const unsigned __int128 num = static_cast<unsigned __int128>(*count(frac, ~uint64_t{0})) * scale;
    if (num % den != 0) return Fixed::fractional;
    f = static_cast<uint64_t>(num / den);
  }
  if (*w * scale + f > max) return Fixed::too_big;
  *out = *w * scale + f;
  return Fixed::ok;
}

}  // namespace

std::string printable(std::string_view text) {
  std::string out;
  for (size_t i = 0; i < text.size();) {
    const auto [cp, n] = utf8_at(text, i);
    if (n != 0 && cp >= 0x20 && !(cp >= 0x7f && cp <= 0x9f)) {
      out.append(text.substr(i, n));
      i += n;
      continue;
    }
    for (size_t k = 0; k < (n ? n : 1); ++k) {
      char b[8];
      std::snprintf(b, sizeof b, "\\x%02x", static_cast<unsigned char>(text[i + k]));
      out += b;
    }
    i += n ? n : 1;
  }
  return out;
}

bool has_control(std::string_view text) {
  for (size_t i = 0; i < text.size();) {
    const auto [cp, n] = utf8_at(text, i);
    if (n != 0 && (cp < 0x20 || (cp >= 0x7f && cp <= 0x9f))) return true;
    i += n ? n : 1;
  }
  return false;
}

std::string quote(std::string_view text) { return "'" + printable(text) + "'"; }

std::string exact_ns(ns_t t) {
  static const std::pair<ns_t, const char*> kUnits[] = {{kSec, " s"}, {kMs, " ms"}, {kUs, " us"}};
  for (const auto& [scale, unit] : kUnits) {
    if (t < scale) continue;
    std::string frac = std::to_string(t % scale + scale).substr(1);  // leading zeros kept
    while (!frac.empty() && frac.back() == '0') frac.pop_back();
    return std::to_string(t / scale) + (frac.empty() ? "" : "." + frac) + unit;
  }
  return std::to_string(t) + " ns";
}

std::optional<ns_t> time(std::string_view text, std::string* why, ns_t max) {
  static const struct {
    const char* unit;
    ns_t scale;
  } kUnits[] = {{"ns", 1}, {"us", kUs}, {"ms", kMs}, {"s", kSec}};
  if (text == "0") return 0;
  for (const auto& u : kUnits) {
    const std::string_view unit(u.unit);
    if (text.size() <= unit.size() || text.substr(text.size() - unit.size()) != unit) continue;
    uint64_t v = 0;
    switch (fixed(text.substr(0, text.size() - unit.size()), u.scale, max, &v)) {
      case Fixed::ok:
        return v;
      case Fixed::fractional:
        *why = quote(text) + " is not a whole number of nanoseconds";
        return std::nullopt;
      case Fixed::too_big:
        *why = quote(text) + " is above the limit of " + exact_ns(max);
        return std::nullopt;
      case Fixed::malformed:
        break;  // "5ms" ends in "s" too: try the next unit
    }
  }
  *why = quote(text) + " is not a time (a number with ns, us, ms or s, e.g. 20ms)";
  return std::nullopt;
}

std::optional<ns_t> period(std::string_view text, std::string* why) {
  auto p = time(text, why);
  if (p && *p < limits::kMinPeriod) {
    *why = quote(text) + " is below the minimum of " + exact_ns(limits::kMinPeriod);
    return std::nullopt;
  }
  return p;
}

std::optional<std::string> pin(std::string_view text, std::string* why) {
  if (chip::package_has_pin(text)) return std::string(text);
  *why = quote(text) +
         " is not a pin of the 48-pin package (PA0..PA15, PB0..PB15, PC4, PC6, PC10, PC11, PC13..PC15, "
         "PF0, PF1, PG10)";
  return std::nullopt;
}

std::optional<int> level(std::string_view text, bool release, std::string* why) {
  if (text == "0" || text == "low") return 0;
  if (text == "1" || text == "high") return 1;
  if (release && (text == "z" || text == "released")) return -1;
  *why = quote(text) + (release ? " is not 0, 1 or z (low, high, released)" : " is not 0 or 1 (low, high)");
  return std::nullopt;
}

std::optional<Bounce> bounce(std::string_view text, std::string* why) {
  const size_t x = text.find('x');
  if (x == std::string_view::npos || x == 0) {
    *why = quote(text) + " is not COUNTxSPACING (e.g. 5x200us)";
    return std::nullopt;
  }
  const auto n = count(text.substr(0, x), limits::kMaxBounces);
  if (!n || *n == 0) {
    *why = quote(text) + ": the count must be a number from 1 to " + std::to_string(limits::kMaxBounces);
    return std::nullopt;
  }
  std::string spacing_why;
  const auto d = time(text.substr(x + 1), &spacing_why, limits::kMaxBounceSpacing);
  if (!d) {
    *why = quote(text) + ": the spacing " + spacing_why;
    return std::nullopt;
  }
  if (*d == 0) {
    *why = quote(text) + ": the spacing must be above 0";
    return std::nullopt;
  }
  return Bounce{static_cast<unsigned>(*n), *d};
}

std::optional<unsigned> irq(std::string_view text, std::string* why) {
  const auto n = count(text, chip::facts().irq_count - 1);
  if (!n) {
    *why = quote(text) + " is not an IRQ number 0.." + std::to_string(chip::facts().irq_count - 1);
    return std::nullopt;
  }
  return static_cast<unsigned>(*n);
}

std::optional<uint32_t> cpi(std::string_view text, std::string* why) {
  uint64_t v = 0;
  if (fixed(text, 1000, limits::kMaxCpiMilli, &v) != Fixed::ok || v < limits::kMinCpiMilli) {
    *why = quote(text) + " is not a number of cycles per instruction from 0.001 to " +
           std::to_string(limits::kMaxCpiMilli / 1000) + " (at most 3 decimals)";
    return std::nullopt;
  }
  return static_cast<uint32_t>(v);
}

std::optional<uint16_t> port(std::string_view text, std::string* why) {
  const auto p = count(text, 65535);
  if (!p) {
    *why = quote(text) + " is not a port number 0..65535";
    return std::nullopt;
  }
  return static_cast<uint16_t>(*p);
}

std::optional<Refusal> check_pulse(ns_t width, ns_t period, ns_t jitter) {
  if (width == 0) return Refusal{"width", "must be above 0"};
  if (width >= period)
    return Refusal{"width", exact_ns(width) + " must be below the period, " + exact_ns(period)};
  if (jitter >= width || jitter >= period - width)
    return Refusal{"jitter", exact_ns(jitter) + " must be below the width, " + exact_ns(width) +
                                 ", and below the low time, " + exact_ns(period - width)};
  return std::nullopt;
}

std::optional<Refusal> check_bounce(int level, unsigned bounces) {
  if (level < 0 && bounces > 0) return Refusal{"bounce", "a released line (z) does not bounce"};
  return std::nullopt;
}

bool read_small_file(const std::string& path, size_t limit, const std::string& what, std::string* text,
                     std::string* why) {
  // Only a regular file is read: a FIFO nobody writes would block for ever, a
  // device may never end. Checked before opening and again on the open file (it
  // may have been swapped in between; O_NONBLOCK keeps that open from blocking).
  const auto kind_refused = [&](const struct stat& st) {
    if (S_ISDIR(st.st_mode)) {
      *why = "a directory, not a " + what;
      return true;
    }
    if (!S_ISREG(st.st_mode)) {
      const char* kind = S_ISFIFO(st.st_mode)                         ? "a FIFO"
                         : S_ISCHR(st.st_mode) || S_ISBLK(st.st_mode) ? "a device"
                         : S_ISSOCK(st.st_mode)                       ? "a socket"
                                                                      : "not a regular file";
      *why = std::string(kind) + ", not a " + what + " (only a regular file is read)";
      return true;
    }
    return false;
  };
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) {
    *why = "cannot open the " + what + ": " + std::strerror(errno);
    return false;
  }
  if (kind_refused(st)) return false;
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) {
    *why = "cannot open the " + what + ": " + std::strerror(errno);
    return false;
  }
  if (::fstat(fd, &st) != 0) {
    *why = "cannot read the " + what + ": " + std::strerror(errno);
    ::close(fd);
    return false;
  }
  if (kind_refused(st)) {
    ::close(fd);
    return false;
  }
  // Read at most one byte past the limit: /dev/zero or a huge file ends here.
  text->clear();
  const size_t cap = limit + 1;
  int read_errno = 0;
  while (text->size() < cap) {
    char buf[65536];
    const ssize_t n = ::read(fd, buf, std::min(sizeof buf, cap - text->size()));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) read_errno = errno;
    if (n <= 0) break;
    text->append(buf, static_cast<size_t>(n));
  }
  ::close(fd);
  if (read_errno) {
    *why = "cannot read the " + what + ": " + std::strerror(read_errno);
    return false;
  }
  if (text->size() > limit) {
    *why = "larger than " + std::to_string(limit >> 20) + " MiB, the limit of a " + what;
    return false;
  }
  return true;
}

}  // namespace vboard::values

namespace vboard {

std::optional<ns_t> parse_duration(const std::string& text) {
  std::string why;
  return values::time(text, &why);
}

}  // namespace vboard

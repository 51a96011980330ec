// The values a user gives vboard, read the same way wherever they are given: on
// the command line (`--pulse PA0=1ms@0,period=2ms`) or in a scenario file
// (`pulse: {pin: PA0, width: 1ms, period: 2ms}`). Each limit is stated once,
// here; each parser says why it refuses a text in words both front ends print
// after their own prefix ("vboard: --pulse: '...': period: " or "FILE:7: period: ").
// vboard/README.md lists the limits ("What the command line accepts").
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "vboard/run_result.h"

namespace vboard {

// Upper and lower limits of values (documented in --help and vboard/README.md).
namespace limits {
inline constexpr ns_t kMaxTime = 3600 * kSec;  // any time or duration; also a scenario's worst-case length
inline constexpr ns_t kMinPeriod = 100;        // pulse period: storms up to 10 M pulses per virtual second
inline constexpr unsigned kMaxBounces = 1000;
inline constexpr ns_t kMaxBounceSpacing = kSec;
inline constexpr uint32_t kMinCpiMilli = 1;  // --cpi 0.001 .. 100
inline constexpr uint32_t kMaxCpiMilli = 100'000;
inline constexpr size_t kMaxScenarioBytes = size_t{1} << 20;  // a scenario file: 1 MiB
}  // namespace limits

namespace values {

// User text made safe for a one-line message: control characters (C0, DEL, C1)
// and bytes that are not UTF-8 become "\xNN"; the rest is left as it is.
std::string printable(std::string_view text);
// Whether text holds a control character (C0 including tab and newline, DEL, C1).
bool has_control(std::string_view text);
// printable(text) in single quotes: "'PD3'".
std::string quote(std::string_view text);
// A duration exactly, in the largest unit that keeps it short: "3600 s", "1.5 ms", "100 ns".
std::string exact_ns(ns_t t);

// The parsers: the value, or nullopt and *why says what is wrong, quoting the
// text ("'2ns' is below the minimum of 100 ns").

// "300ms", "1500us", "1.5s", "250ns", "0": a decimal number with a unit, whole
// nanoseconds, at most `max`.
std::optional<ns_t> time(std::string_view text, std::string* why, ns_t max = limits::kMaxTime);
// A pulse period: a time of at least limits::kMinPeriod.
std::optional<ns_t> period(std::string_view text, std::string* why);
// A pin of the 48-pin package (chip::package_pins()).
std::optional<std::string> pin(std::string_view text, std::string* why);
// 0 or low, 1 or high; with `release` also z or released (-1).
std::optional<int> level(std::string_view text, bool release, std::string* why);
// "COUNTxSPACING": count 1..kMaxBounces, spacing above 0 and at most kMaxBounceSpacing.
struct Bounce {
  unsigned count = 0;
  ns_t spacing = 0;
};
std::optional<Bounce> bounce(std::string_view text, std::string* why);
// An NVIC line 0..chip::facts().irq_count - 1.
std::optional<unsigned> irq(std::string_view text, std::string* why);
// Command line only: "1", "1.25": cycles per instruction in thousandths, 0.001 .. 100.
std::optional<uint32_t> cpi(std::string_view text, std::string* why);
// Command line only: a TCP port 0..65535.
std::optional<uint16_t> port(std::string_view text, std::string* why);

// A refusal that concerns several values together, charged to one field.
struct Refusal {
  std::string field;  // "width", "jitter", "bounce"
  std::string why;
};
// A pulse train's shape: width above 0 and below the period, jitter below the
// width and below the low time (period - width).
std::optional<Refusal> check_pulse(ns_t width, ns_t period, ns_t jitter);
// A released line (level -1) does not bounce.
std::optional<Refusal> check_bounce(int level, unsigned bounces);

// A text file of at most `limit` bytes (a scenario or board file) into *text; false
// and *why when it cannot be opened or read, is a directory, a FIFO, a device or
// anything but a regular file (refused before it is opened), or is larger
// ("larger than 1 MiB, the limit of a scenario file", `what` naming the file's kind).
bool read_small_file(const std::string& path, size_t limit, const std::string& what, std::string* text,
                     std::string* why);

}  // namespace values
// The same as values::time without the reason it refuses a text: "300ms",
// "1500us", "1.5s", "250ns", "0" as the command line and scenario files take them.
std::optional<ns_t> parse_duration(const std::string& text);

}  // namespace vboard

// Parsing of the scenario options of the command line.
#include "vboard/cli.h"

#include <sstream>
#include <vector>

#include "vboard/machine.h"

namespace vboard {

namespace {

std::vector<std::string> split(const std::string& s, char sep) {
  std::vector<std::string> out;
  std::stringstream ss(s);
  std::string item;
  while (std::getline(ss, item, sep)) out.push_back(item);
  return out;
}

bool parse_at(const std::string& rhs, std::string* value, ns_t* at, std::string* error) {
  auto p = rhs.find('@');
  *value = rhs.substr(0, p);
  *at = 0;
  if (p == std::string::npos) return true;
  auto t = parse_duration(rhs.substr(p + 1));
  if (!t) {
    *error = "bad time '" + rhs.substr(p + 1) + "'";
    return false;
  }
  *at = *t;
  return true;
}

}  // namespace

std::optional<PulseSpec> parse_pulse(const std::string& text, std::string* error) {
  auto parts = split(text, ',');
  if (parts.empty()) return std::nullopt;
  auto eq = parts[0].find('=');
  if (eq == std::string::npos) {
    *error = "pulse needs PIN=WIDTH@START: " + text;
    return std::nullopt;
  }
  PulseSpec p;
  p.pin = parts[0].substr(0, eq);
  std::string width;
  if (!parse_at(parts[0].substr(eq + 1), &width, &p.start, error)) return std::nullopt;
  auto w = parse_duration(width);
  if (!w) {
    *error = "bad pulse width '" + width + "'";
    return std::nullopt;
  }
  p.width = *w;
  p.period = 20 * kMs;
  for (size_t i = 1; i < parts.size(); ++i) {
    auto e = parts[i].find('=');
    std::string k = parts[i].substr(0, e), v = e == std::string::npos ? "" : parts[i].substr(e + 1);
    auto d = parse_duration(v);
    if (!d) {
      *error = "bad value in '" + parts[i] + "'";
      return std::nullopt;
    }
    if (k == "period")
      p.period = *d;
    else if (k == "stop")
      p.stop = *d;
    else if (k == "jitter")
      p.jitter = *d;
    else {
      *error = "unknown pulse option '" + k + "'";
      return std::nullopt;
    }
  }
  if (p.width >= p.period) {
    *error = "pulse width must be shorter than its period";
    return std::nullopt;
  }
  return p;
}

std::optional<LevelSpec> parse_level(const std::string& text, std::string* error) {
  auto parts = split(text, ',');
  auto eq = parts.empty() ? std::string::npos : parts[0].find('=');
  if (eq == std::string::npos) {
    *error = "level needs PIN=0|1|z@TIME: " + text;
    return std::nullopt;
  }
  LevelSpec l;
  l.pin = parts[0].substr(0, eq);
  std::string v;
  if (!parse_at(parts[0].substr(eq + 1), &v, &l.at, error)) return std::nullopt;
  if (v == "0")
    l.level = 0;
  else if (v == "1")
    l.level = 1;
  else if (v == "z" || v == "Z")
    l.level = -1;
  else {
    *error = "level must be 0, 1 or z: '" + v + "'";
    return std::nullopt;
  }
  for (size_t i = 1; i < parts.size(); ++i) {
    auto e = parts[i].find('=');
    std::string k = parts[i].substr(0, e), val = e == std::string::npos ? "" : parts[i].substr(e + 1);
    if (k != "bounce") {
      *error = "unknown level option '" + k + "'";
      return std::nullopt;
    }
    auto x = val.find('x');
    auto d = x == std::string::npos ? std::nullopt : parse_duration(val.substr(x + 1));
    if (!d) {
      *error = "bounce needs COUNTxSPACING, e.g. 5x200us";
      return std::nullopt;
    }
    l.bounces = static_cast<unsigned>(std::stoul(val.substr(0, x)));
    l.bounce_ns = *d;
  }
  return l;
}

}  // namespace vboard

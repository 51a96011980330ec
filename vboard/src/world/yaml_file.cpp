// Reading the YAML files vboard takes (see yaml_file.h).
#include "world/yaml_file.h"

#include <algorithm>

#include "world/values.h"

namespace vboard::yaml {

unsigned line_of(const YAML::Node& n) { return static_cast<unsigned>(n.Mark().line + 1); }

void bad(const YAML::Node& n, const std::string& what) { throw Bad{line_of(n), what}; }

std::string scalar(const YAML::Node& n, const std::string& key) {
  if (!n.IsScalar()) bad(n, key + ": expected a single value");
  return n.Scalar();
}

void no_merge_key(const YAML::Node& n, const std::string& what) {
  if (!n.IsMap()) return;
  for (const auto& kv : n)
    if (kv.first.IsScalar() && kv.first.Scalar() == "<<")
      bad(kv.first, what + ": a merge key ('<<') is not read: write each key in the map itself");
}

std::map<std::string, YAML::Node> fields(const YAML::Node& n, const std::string& what,
                                         const std::vector<std::string>& allowed,
                                         const std::vector<std::string>& required) {
  if (!n.IsMap()) bad(n, what + ": expected a map of settings");
  no_merge_key(n, what);
  std::map<std::string, YAML::Node> out;
  for (const auto& kv : n) {
    const std::string k = scalar(kv.first, what);
    if (std::find(allowed.begin(), allowed.end(), k) == allowed.end()) {
      std::string list;
      for (const auto& a : allowed) list += (list.empty() ? "" : ", ") + a;
      bad(kv.first, what + ": unknown key " + values::quote(k) + " (known: " + list + ")");
    }
    if (out.count(k)) bad(kv.first, what + ": key " + values::quote(k) + " given twice");
    // An empty value: its node's mark is the next token, often lines later.
    if (kv.second.IsNull()) bad(kv.first, k + ": no value");
    out.emplace(k, kv.second);
  }
  for (const auto& r : required)
    if (!out.count(r)) bad(n, what + ": '" + r + "' is missing");
  return out;
}

bool read_document(std::string_view text, const std::string& file, const std::string& kind,
                   const std::string& expected, const std::function<void(const YAML::Node&)>& read,
                   std::string* error) {
  const std::string shown = values::printable(file);
  // A mark past the end (a missing value at the end of the file) is charged to the last line.
  const auto lines = static_cast<unsigned>(std::count(text.begin(), text.end(), '\n') +
                                           (text.empty() || text.back() == '\n' ? 0 : 1));
  const auto at = [&](unsigned line) {
    return shown + ":" + std::to_string(std::clamp(line, 1u, std::max(lines, 1u)));
  };
  // A NUL byte ends the text for the YAML reader: refused at its line instead.
  if (const auto nul = text.find('\0'); nul != std::string_view::npos) {
    if (error)
      *error = at(static_cast<unsigned>(
                   std::count(text.begin(), text.begin() + static_cast<long>(nul), '\n') + 1)) +
               ": a NUL byte (\\x00): a " + kind + " file is text";
    return false;
  }
  try {
    const std::vector<YAML::Node> docs = YAML::LoadAll(std::string(text));
    if (docs.empty()) {
      if (error)
        *error = shown + ": no " + kind + " in the file (it is empty or only comments): expected " + expected;
      return false;
    }
    if (docs.size() > 1)
      bad(docs[1], "a second YAML document: a " + kind + " file holds one (no '---' after the " + kind + ")");
    read(docs[0]);
    return true;
  } catch (const Bad& b) {
    if (error) *error = at(b.line) + ": " + values::printable(b.what);
  } catch (const YAML::Exception& e) {
    if (error) *error = at(static_cast<unsigned>(e.mark.line + 1)) + ": YAML: " + values::printable(e.msg);
  }
  return false;
}

}  // namespace vboard::yaml

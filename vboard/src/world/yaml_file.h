// Reading the YAML files vboard takes (scenario and board files): every key and
// value is checked with the line it came from, and a file is refused with one
// line, "FILE:LINE: what".
#pragma once

#include <yaml-cpp/yaml.h>

#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace vboard::yaml {

// Thrown while a document is read; read_document() turns it into "FILE:LINE: what".
struct Bad {
  unsigned line;
  std::string what;
};

unsigned line_of(const YAML::Node& n);
[[noreturn]] void bad(const YAML::Node& n, const std::string& what);
// A single value (not a list or a map), refused as "KEY: expected a single value".
std::string scalar(const YAML::Node& n, const std::string& key);
// YAML merge keys ("<<: *base") are not read: refused by name, as "WHAT: a merge key ...".
void no_merge_key(const YAML::Node& n, const std::string& what);
// The keys of a map, each one of `allowed`, given once and with a value; the
// `required` ones present. `what` names the map in messages.
std::map<std::string, YAML::Node> fields(const YAML::Node& n, const std::string& what,
                                         const std::vector<std::string>& allowed,
                                         const std::vector<std::string>& required);

// Parses `text` as one YAML document of a file of `kind` ("scenario", "board")
// and gives its root to `read`. False, and *error "FILE:LINE: what", when the
// text is no document (`expected` says what it should hold), more than one, not
// YAML, or `read` throws Bad.
bool read_document(std::string_view text, const std::string& file, const std::string& kind,
                   const std::string& expected, const std::function<void(const YAML::Node&)>& read,
                   std::string* error);

}  // namespace vboard::yaml

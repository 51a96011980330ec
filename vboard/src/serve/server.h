// `vboard IMAGE --serve`: the live board in a browser. An HTTP server
// (civetweb, Debian's libcivetweb-dev) serves the page, whose files are built
// into vboard from vboard/web/; the page's WebSocket, upgraded on civetweb's
// connection but framed by the server itself (page_socket.h), carries its
// requests to the engine (engine.h) and the board's state back.
//
// Security: it listens on 127.0.0.1 unless another address is named (with a
// warning when other machines can reach it); a request whose Host is not the
// server's own address (hosts.h), a WebSocket upgrade whose Origin is not the
// page's own and a request a page of another site made are refused (403), so
// no other web page in the browser can drive the board or make it write its
// report; only the page's own files are served (by exact path, nothing from
// the file system). The report (/report.json) is written off the machine
// thread from a copy of the run, one at a time.
#pragma once

#include <cstdint>
#include <cstdio>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "serve/hosts.h"
#include "world/board.h"
#include "vboard/machine.h"

namespace vboard::serve {

struct ServeOptions {
  std::string address = "127.0.0.1";
  bool address_given = false;     // --serve-address: another address, with a warning
  uint16_t port = 8765;           // 0: one the system picks
  std::optional<ns_t> serve_for;  // wall time after which the server ends (--serve-for)
  std::string board_why;          // why the board in use is the one (cli/board_choice.h), one line
};

// One file of the page, built in; nullptr for any other path.
struct Asset {
  const char* path;
  const char* type;
  std::string_view body;
};
const Asset* find_asset(std::string_view path);

// Serves the live board until Ctrl-C (SIGINT, SIGTERM) or the end of
// serve_for. The URL goes to `out`. Returns the exit status: 0, or 1 when the
// server could not start (the reason on `err`).
int serve(const Image& image, const std::string& image_path, const MachineOptions& options,
          const BoardDescription& board, const std::set<std::string>& allowed, const ServeOptions& serve,
          std::FILE* out, std::FILE* err);

}  // namespace vboard::serve

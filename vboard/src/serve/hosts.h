// Who may talk to the live board's server: the Host names a request may
// carry (the server's own addresses, and for a server on every address
// (0.0.0.0) the machine's interface addresses and host name), the Origin a
// WebSocket upgrade may carry, and which requests come from a page of
// another site (refused: such a page must not drive the board nor make the
// server write its report).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace vboard::serve {

// This machine as a browser on the network names it.
struct MachineNames {
  std::vector<std::string> addresses;  // IPv4 addresses of its interfaces
  std::string host_name;
};
MachineNames this_machine();

// 127.0.0.0/8, ::1 and localhost: only this machine reaches them.
bool is_loopback(const std::string& address);
// 0.0.0.0: every IPv4 address of the machine.
bool is_every_address(const std::string& address);

// The Host values a request may carry for a server on address:port, and the
// Origin values a WebSocket upgrade may carry ("http://" + one of them).
// `names` counts only for a server on every address.
std::vector<std::string> allowed_hosts(const std::string& address, uint16_t port,
                                       const MachineNames& names = {});
bool host_allowed(const char* host, const std::vector<std::string>& hosts);
bool origin_allowed(const char* origin, const std::vector<std::string>& hosts);

// A request a page of another site made (its Sec-Fetch-Site, or failing that
// an Origin that is not the server's own). `navigation`: the browser loads
// the page itself (a link followed), which any site may start.
bool from_another_site(const char* sec_fetch_site, const char* origin, bool navigation,
                       const std::vector<std::string>& hosts);

}  // namespace vboard::serve

// Who may talk to the live board's server (hosts.h).
#include "serve/hosts.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <netinet/in.h>
#include <strings.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstring>

namespace vboard::serve {

MachineNames this_machine() {
  MachineNames n;
  ifaddrs* list = nullptr;
  if (getifaddrs(&list) == 0) {
    for (const ifaddrs* i = list; i; i = i->ifa_next) {
      if (!i->ifa_addr || i->ifa_addr->sa_family != AF_INET) continue;
      char text[INET_ADDRSTRLEN] = "";
      const auto* in = reinterpret_cast<const sockaddr_in*>(i->ifa_addr);
      if (inet_ntop(AF_INET, &in->sin_addr, text, sizeof text)) n.addresses.emplace_back(text);
    }
    freeifaddrs(list);
  }
  char host[HOST_NAME_MAX + 1] = "";
  if (gethostname(host, sizeof host) == 0) {
    host[HOST_NAME_MAX] = 0;
    n.host_name = host;
  }
  return n;
}

bool is_loopback(const std::string& address) {
  if (strcasecmp(address.c_str(), "localhost") == 0 || address == "::1" || address == "[::1]") return true;
  in_addr a{};
  return inet_pton(AF_INET, address.c_str(), &a) == 1 && (ntohl(a.s_addr) >> 24) == 127;
}

bool is_every_address(const std::string& address) {
  in_addr a{};
  return inet_pton(AF_INET, address.c_str(), &a) == 1 && a.s_addr == 0;
}

std::vector<std::string> allowed_hosts(const std::string& address, uint16_t port, const MachineNames& names) {
  const std::string p = ":" + std::to_string(port);
  std::vector<std::string> hosts = {"127.0.0.1" + p, "localhost" + p};
  auto add = [&](const std::string& name) {
    if (name.empty()) return;
    const std::string h = name + p;
    if (std::find(hosts.begin(), hosts.end(), h) == hosts.end()) hosts.push_back(h);
  };
  if (!is_every_address(address)) {
    add(address);
    return hosts;
  }
  // A browser on the network names the machine by one of its addresses or by its name.
  for (const std::string& a : names.addresses) add(a);
  add(names.host_name);
  return hosts;
}

bool host_allowed(const char* host, const std::vector<std::string>& hosts) {
  if (!host) return false;
  for (const std::string& h : hosts)
    if (strcasecmp(host, h.c_str()) == 0) return true;
  return false;
}

bool origin_allowed(const char* origin, const std::vector<std::string>& hosts) {
  if (!origin) return false;
  for (const std::string& h : hosts)
    if (strcasecmp(origin, ("http://" + h).c_str()) == 0) return true;
  return false;
}

bool from_another_site(const char* sec_fetch_site, const char* origin, bool navigation,
                       const std::vector<std::string>& hosts) {
  if (sec_fetch_site) {
    // "none": typed in or a bookmark; "same-origin": the page itself.
    if (strcasecmp(sec_fetch_site, "same-origin") == 0 || strcasecmp(sec_fetch_site, "none") == 0)
      return false;
    return !navigation;
  }
  // A browser that does not say: its Origin, when it sends one, must be the page's own.
  return origin && !origin_allowed(origin, hosts) && !navigation;
}

}  // namespace vboard::serve

// Prints the chip description and the register tables of the models built from
// it, as JSON, for chip_svd_test.py to hold against the vendor's SVD. Register
// values are what a read returns right after reset.
#include <algorithm>
#include <cerrno>
#include <iterator>
#include <cstdio>
#include <cstring>
#include <nlohmann/json.hpp>

#include "chip/stm32g431.h"
#include "support/fake_board.h"

int main() {
  using nlohmann::json;
  namespace desc = vboard::periph::desc;
  vboard::test::NullBus bus;  // the chip is only built and read at t = 0
  vboard::periph::Stm32g431 chip(bus);

  json peripherals = json::array();
  for (const vboard::periph::RegBlock* b : chip.mmio()) {
    const desc::Peripheral& e = b->entry();
    json p = {{"name", e.name}, {"base", e.base}, {"size", e.size}, {"gate", nullptr}};
    if (e.gate.reg)
      p["gate"] = {
          {"reg", e.gate.reg}, {"offset", e.gate.offset}, {"bit", e.gate.bit}, {"field", e.gate.field}};
    p["irqs"] = json::array();
    for (const desc::IrqLine& l : e.irqs) p["irqs"].push_back({{"name", l.name}, {"irq", l.irq}});
    p["requests"] = json::array();
    for (const desc::DmaRequest& r : e.requests) p["requests"].push_back({{"name", r.name}, {"id", r.id}});
    p["registers"] = json::array();
    for (const vboard::periph::RegDef& r : b->defs()) {
      json unmodelled = json::array();
      for (const vboard::periph::UnmodelledField& f : r.unmodelled)
        unmodelled.push_back({{"mask", f.mask}, {"what", f.what}});
      p["registers"].push_back({{"name", r.name},
                                {"offset", r.offset},
                                {"reset", b->reg(r.name)},
                                {"writable", r.writable()},
                                {"read_only", r.ro},
                                {"write_only", r.wo},
                                {"clear_on_0", r.w0c},
                                {"clear_on_1", r.w1c},
                                {"unmodelled", unmodelled}});
    }
    peripherals.push_back(p);
  }
  const std::vector<std::string> all = chip.pin_names();
  std::vector<std::string> bonded;
  std::copy_if(all.begin(), all.end(), std::back_inserter(bonded),
               [](const std::string& n) { return !n.empty(); });
  const json pins = bonded;
  json afs = json::array();
  for (const desc::AltFunction& a : desc::alt_functions()) {
    unsigned pin = 0;
    const vboard::periph::Gpio* g = chip.pin(a.pin, &pin);
    afs.push_back({{"pin", a.pin},
                   {"af", a.af},
                   {"signal", a.signal},
                   {"modelled", g != nullptr && g->af_connected(pin, a.af)}});
  }
  const json out = {{"peripherals", peripherals}, {"pins", pins}, {"alt_functions", afs}};
  const std::string text = out.dump(1) + "\n";
  if (std::fwrite(text.data(), 1, text.size(), stdout) != text.size() || std::fflush(stdout) != 0) {
    std::fprintf(stderr, "chip_dump: writing the description failed: %s\n", std::strerror(errno));
    return 74;
  }
  return 0;
}

// The lamp board's figures, measured on the two images: flash bytes,
// instructions per EXTI edge and per micros call (front), per loop pass and per
// DMA interrupt (rear), and virtual time per wall second with and without idle
// skipping; printed as lines and, last, as the README's figures table.
#include <algorithm>
#include <cstdio>

#include "chip/chip.h"
#include "outputs/figures.h"
#include "cli/cli.h"
#include "world/board.h"
#include "vboard/machine.h"

namespace vboard {

namespace {

// The front image driven by a 1500 us pulse every 20 ms for a second: the EXTI0
// handler and micros(). Returns the speed of the run.
std::string measure_front(const Image& front, FiguresTable& table) {
  MachineOptions o;
  o.run_for = 1 * kSec;
  o.pulses.push_back({"PA0", 1500 * kUs, 20 * kMs, 20 * kMs, kNever, 0});
  o.profile_functions = {"micros"};
  Machine m(front, o, board_factory(default_board(front)));
  RunResult r = m.run();
  const auto it = r.exceptions.find(16 + 6);
  if (it != r.exceptions.end() && it->second.count) {
    const ExceptionStat& s = it->second;
    table.emplace_back("front: instructions per EXTI0 edge (handler entry to return)",
                       one_decimal(static_cast<double>(s.instr_total) / static_cast<double>(s.count)) + " (" +
                           std::to_string(s.instr_min) + ".." + std::to_string(s.instr_max) + ")");
    std::printf("front: EXTI0 handler: %llu edges, %.1f instructions per edge (%llu..%llu)\n",
                static_cast<unsigned long long>(s.count),
                static_cast<double>(s.instr_total) / static_cast<double>(s.count),
                static_cast<unsigned long long>(s.instr_min), static_cast<unsigned long long>(s.instr_max));
  } else {
    std::printf("front: EXTI0 handler never ran\n");
  }
  const auto& mic = r.functions.at(0).samples;
  if (!mic.empty()) {
    table.emplace_back("front: instructions per `micros` call", mean_count(mean(mic)));
    std::printf("front: micros: %zu calls, %.1f instructions per call (%llu..%llu)\n", mic.size(), mean(mic),
                static_cast<unsigned long long>(*std::min_element(mic.begin(), mic.end())),
                static_cast<unsigned long long>(*std::max_element(mic.begin(), mic.end())));
  }
  print_speed("front", r);
  return speed(r, 1);
}

// The rear image with a colour change every 50 ms for a second: loop() with and
// without a change, the DMA interrupt. Returns the speed of the run.
std::string measure_rear(const Image& rear, FiguresTable& table) {
  MachineOptions o;
  o.run_for = 1 * kSec;
  // A colour change every 50 ms on PB5 and PB6.
  for (int k = 1; k < 20; ++k)
    o.levels.push_back({k % 2 ? "PB5" : "PB6", (k / 2) % 2 ? -1 : 0, static_cast<ns_t>(k) * 50 * kMs, 0, 0});
  o.profile_functions = {"aurelis::application::loop"};
  Machine m(rear, o, board_factory(default_board(rear)));
  RunResult r = m.run();
  const auto& s = r.functions.at(0).samples;
  if (!s.empty()) {
    uint64_t mn = *std::min_element(s.begin(), s.end());
    std::vector<uint64_t> quiet, change;
    for (uint64_t v : s) (v > 4 * mn ? change : quiet).push_back(v);
    table.emplace_back("rear: instructions per `loop()` pass without a change", mean_count(mean(quiet)));
    table.emplace_back("rear: instructions per `loop()` pass with a change (60 LEDs repainted)",
                       mean_count(mean(change)));
    std::printf(
        "rear: loop(): %zu passes; without a change %.1f instructions (%zu passes), with a change %.1f "
        "instructions (%zu passes)\n",
        s.size(), mean(quiet), quiet.size(), mean(change), change.size());
  } else {
    std::printf("rear: loop() was never seen (symbol missing?)\n");
  }
  print_speed("rear", r);
  auto dma = r.exceptions.find(16 + 11);
  if (dma != r.exceptions.end() && dma->second.count)
    table.emplace_back(
        "rear: instructions per DMA1 channel 1 interrupt",
        mean_count(static_cast<double>(dma->second.instr_total) / static_cast<double>(dma->second.count)));
  if (dma != r.exceptions.end())
    std::printf("rear: DMA1 channel 1 handler: %llu times, %.1f instructions each\n",
                static_cast<unsigned long long>(dma->second.count),
                static_cast<double>(dma->second.instr_total) / static_cast<double>(dma->second.count));
  return speed(r, 1);
}

}  // namespace

int run_figures(const std::string& front_elf, const std::string& rear_elf) {
  std::string err;
  auto front = Image::load(front_elf, chip::facts(), &err);
  if (!front) return std::fprintf(stderr, "%s\n", err.c_str()), 1;
  auto rear = Image::load(rear_elf, chip::facts(), &err);
  if (!rear) return std::fprintf(stderr, "%s\n", err.c_str()), 1;
  std::printf("Virtual board figures (1.0 cycle per instruction unless stated)\n\n");
  FiguresTable table;
  table.emplace_back("front: `front_lamp.bin`, bytes of flash", grouped(flash_bytes(*front)));
  table.emplace_back("rear: `rear_lamp.bin`, bytes of flash", grouped(flash_bytes(*rear)));
  const std::string front_speed = measure_front(*front, table);
  const std::string rear_speed = measure_rear(*rear, table);
  table.emplace_back("virtual seconds per wall second, front / rear (with idle skipping)",
                     "about " + front_speed + " / " + rear_speed);
  // What idle skipping buys: the same images with every instruction executed.
  std::string slow[2];
  for (const auto* img : {&*front, &*rear}) {
    MachineOptions o;
    o.run_for = 100 * kMs;
    o.idle_skip = false;
    Machine m(*img, o, board_factory(default_board(*img)));
    RunResult r = m.run();
    print_speed_without_idle_skip(img == &*front ? "front" : "rear", r);
    slow[img == &*front ? 0 : 1] = speed(r, 2);
  }
  table.emplace_back("the same without idle skipping", "about " + slow[0] + " / " + slow[1]);
  print_figures_table(table);
  return 0;
}

}  // namespace vboard

// Bounded fuzz runs with a fixed seed (the same inputs every run): the argument
// parser on command lines built from its own vocabulary and mutations of it,
// and the ELF loader on mutations of the real images. Nothing may crash, hang
// or trip AddressSanitizer/UndefinedBehaviorSanitizer (CI runs this file under
// both), and whatever is accepted must hold what the limits promise.
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <iterator>
#include <random>

#include "chip/chip.h"
#include "cli/cli.h"
#include "vboard/image.h"
#include "support/splitmix.h"

namespace vboard::test {
namespace {

template <class T, size_t N>
const T& pick(Rng& rng, const T (&items)[N]) {
  return items[rng.below(N)];
}

// A value mutated by deleting, duplicating, replacing or inserting characters.
std::string mutate(Rng& rng, std::string s) {
  static const char kChars[] = "0123456789.,=@xXzZ-+ _:;/\\'\"\n\tmusnPABCDGH\xff\x01";
  const size_t edits = 1 + rng.below(3);
  for (size_t e = 0; e < edits; ++e) {
    const size_t at = s.empty() ? 0 : rng.below(s.size() + 1);
    const char c = kChars[rng.below(sizeof kChars - 1)];
    switch (rng.below(4)) {
      case 0:
        if (at < s.size()) s.erase(at, 1);
        break;
      case 1:
        if (at < s.size()) s.insert(at, s.substr(at, 1 + rng.below(8)));
        break;
      case 2:
        if (at < s.size()) s[at] = c;
        break;
      default:
        s.insert(s.begin() + static_cast<std::ptrdiff_t>(at), c);
    }
  }
  return s;
}

TEST(Fuzz, ArgumentParserAcceptsOnlyWhatItsLimitsAllow) {
  static const char* const kOptions[] = {"--for",  "--pulse",    "--set",     "--vcd",          "--vcd-pins",
                                         "--json", "--fault",    "--allow",   "--inject-irq",   "--profile",
                                         "--cpi",  "--no-color", "--figures", "--no-idle-skip", "--help",
                                         "-h",     "--",         "-x",        "--for=1ms",      "image.elf"};
  static const char* const kValues[] = {"300ms",
                                        "1.5s",
                                        "0",
                                        "3600s",
                                        "3600.000000001s",
                                        "18446744073709551616ns",
                                        "1..5ms",
                                        "-1",
                                        "abc",
                                        "",
                                        "PA0=1500us@20ms",
                                        "PA0=1500us@20ms,period=25ms,stop=200ms,jitter=5us",
                                        "PA0=19999999ns@0,period=20ms",
                                        "PB5=0@10ms,bounce=5x200us",
                                        "PB5=z@30ms",
                                        "PB5=1@0,bounce=1000x1s",
                                        "PG10=1@1ms",
                                        "PC13=0",
                                        "pll_never_locks",
                                        "flash_latency",
                                        "ahb_step",
                                        "101@3600s",
                                        "0@0",
                                        "25",
                                        "micros",
                                        "0.001",
                                        "100",
                                        "100.001",
                                        "PA0,PA8,PA9",
                                        ",,,",
                                        "PA0,PA0",
                                        "a.elf",
                                        "b.elf",
                                        "4000000000x0ns",
                                        "PA0=1ms@0,stop=0"};
  Rng rng{20261208};
  size_t accepted = 0, refused = 0, help = 0;
  for (int iter = 0; iter < 4000; ++iter) {
    std::vector<std::string> args = {"vboard"};
    if (!rng.one_in(8)) args.push_back("front.elf");
    const size_t n = rng.below(7);
    for (size_t k = 0; k < n; ++k) {
      args.push_back(rng.one_in(6) ? mutate(rng, pick(rng, kOptions)) : pick(rng, kOptions));
      if (!rng.one_in(5))
        args.push_back(rng.one_in(3) ? mutate(rng, pick(rng, kValues)) : pick(rng, kValues));
    }
    std::vector<const char*> argv;
    for (const auto& a : args) argv.push_back(a.c_str());
    std::string shown;
    for (const auto& a : args) shown += " [" + a + "]";
    Invocation inv;
    const ParseOutcome o = parse_command_line(static_cast<int>(argv.size()), argv.data(), &inv);
    if (!o.proceed && o.exit == exit_code::kOk) {
      ++help;
      EXPECT_NE(o.out.find("Usage"), std::string::npos) << shown;
      continue;
    }
    if (!o.proceed) {
      ++refused;
      ASSERT_EQ(o.exit, exit_code::kUsage) << shown;
      ASSERT_EQ(o.error.rfind("vboard: ", 0), 0u) << shown;
      ASSERT_EQ(o.error.find('\n'), std::string::npos) << shown << ": " << o.error;
      continue;
    }
    ++accepted;
    const MachineOptions& m = inv.machine;
    ASSERT_TRUE(o.error.empty()) << shown;
    ASSERT_TRUE(inv.image.empty() != inv.figures.empty()) << shown;
    ASSERT_LE(m.run_for, limits::kMaxTime) << shown;
    ASSERT_GE(m.cpi_milli, limits::kMinCpiMilli) << shown;
    ASSERT_LE(m.cpi_milli, limits::kMaxCpiMilli) << shown;
    for (const PulseSpec& p : m.pulses) {
      ASSERT_TRUE(chip::package_has_pin(p.pin)) << shown;
      ASSERT_GE(p.period, limits::kMinPeriod) << shown;
      ASSERT_LT(p.width + p.jitter, p.period) << shown;
      ASSERT_LE(p.start, limits::kMaxTime) << shown;
    }
    for (const LevelSpec& l : m.levels) {
      ASSERT_TRUE(chip::package_has_pin(l.pin)) << shown;
      ASSERT_LE(l.bounces, limits::kMaxBounces) << shown;
      ASSERT_TRUE(l.bounces == 0 || (l.bounce_ns > 0 && l.bounce_ns <= limits::kMaxBounceSpacing)) << shown;
    }
    for (const IrqInjection& i : m.inject_irqs) ASSERT_LT(i.irq, chip::facts().irq_count) << shown;
    for (const std::string& f : m.faults) ASSERT_TRUE(chip::has_name(chip::faults(), f)) << shown;
    for (const std::string& k : inv.allow) ASSERT_TRUE(chip::has_name(chip::diagnostic_kinds(), k)) << shown;
    for (const std::string& pin : inv.vcd_pins) ASSERT_TRUE(chip::package_has_pin(pin)) << shown;
    ASSERT_EQ(check_sources(m.pulses, m.levels), "") << shown;
  }
  std::printf("argument parser: %zu accepted, %zu refused, %zu help\n", accepted, refused, help);
  EXPECT_GT(accepted, 300u) << "the generator hardly reaches the accepting paths";
  EXPECT_GT(refused, 1000u);
}

std::vector<uint8_t> image_bytes(const char* name) {
  std::ifstream f(std::string(FIRMWARE_DIR) + "/" + name, std::ios::binary);
  return {std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>()};
}

// Overwrites 1, 2 or 4 bytes at `at` with a value chosen to hit edges.
void poke(Rng& rng, std::vector<uint8_t>& b, size_t at) {
  static const uint32_t kEdges[] = {0,          1,          0x7FFFFFFF, 0x80000000, 0xFFFFFFFF, 0xFFFFF000,
                                    0x08000000, 0x0801FFFF, 0x20000000, 0x20007FFF, 0x00010000, 0x34};
  uint32_t v = rng.one_in(2) ? pick(rng, kEdges) : static_cast<uint32_t>(rng.next());
  if (rng.one_in(4)) v = static_cast<uint32_t>(b.size() + rng.below(16)) - 8;
  const size_t width = size_t{1} << rng.below(3);
  for (size_t i = 0; i < width && at + i < b.size(); ++i) b[at + i] = static_cast<uint8_t>(v >> (8 * i));
}

TEST(Fuzz, ElfLoaderOnMutatedRealImages) {
  size_t loaded = 0, refused = 0;
  for (const char* name : {"front_lamp.elf", "rear_lamp.elf"}) {
    const std::vector<uint8_t> real = image_bytes(name);
    if (real.size() < 0x100) GTEST_SKIP() << name << " not built";
    // Where the headers live: ELF header, program headers, section headers.
    uint32_t phoff = 0, shoff = 0;
    std::memcpy(&phoff, &real[28], 4);
    std::memcpy(&shoff, &real[32], 4);
    Rng rng{0x5EED0000u + real.size()};
    for (int iter = 0; iter < 800; ++iter) {
      std::vector<uint8_t> b = real;
      const size_t edits = 1 + rng.below(4);
      for (size_t e = 0; e < edits; ++e) {
        switch (rng.below(5)) {
          case 0:  // ELF header
            poke(rng, b, rng.below(52));
            break;
          case 1:  // program headers
            poke(rng, b, phoff + rng.below(3 * 32));
            break;
          case 2:  // section headers
            poke(rng, b, shoff + rng.below(b.size() - shoff));
            break;
          case 3:  // anywhere
            b[rng.below(b.size())] ^= static_cast<uint8_t>(1u << rng.below(8));
            break;
          default:  // cut short
            b.resize(rng.below(b.size()));
        }
        if (b.empty()) break;
      }
      std::string err;
      auto img = Image::from_bytes(b, name, chip::facts(), &err);
      if (!img) {
        ++refused;
        ASSERT_FALSE(err.empty());
        continue;
      }
      ++loaded;
      for (const Segment& s : img->segments()) {
        bool inside = false;
        for (const LoadRegion& r : load_regions(chip::facts()))
          inside = inside ||
                   (s.paddr >= r.base && uint64_t{s.paddr} + s.bytes.size() <= uint64_t{r.base} + r.size);
        ASSERT_TRUE(inside) << name << " iteration " << iter << ": segment at " << s.paddr;
      }
      // Symbol look-ups on whatever the table holds.
      (void)img->describe(0x08000200);
      (void)img->find("Default_Handler");
    }
  }
  std::printf("ELF loader: %zu mutants loaded, %zu refused\n", loaded, refused);
  EXPECT_GT(loaded, 100u);
  EXPECT_GT(refused, 100u);
}

}  // namespace
}  // namespace vboard::test

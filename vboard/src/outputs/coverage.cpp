// lcov tracefiles from block counts and the DWARF line table (outputs/coverage.h).
#include "outputs/coverage.h"

#include <dwarf.h>
#include <elfutils/libdw.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <mutex>
#include <sstream>

#include "chip/chip.h"
#include "vboard/image.h"
#include "vboard/machine.h"

namespace vboard::coverage {
namespace {

// The chip's flash, where the image's code lives (the boot alias at 0 is the
// same flash); runs are counted per halfword of it.
const MemoryRegion& flash() { return chip::facts().flash; }

uint32_t to_flash(uint32_t addr) { return addr < flash().size ? addr + flash().base : addr; }

std::vector<uint64_t> halfword_runs(const std::vector<BlockRun>& runs) {
  std::vector<int64_t> diff(flash().size / 2 + 1, 0);
  for (const BlockRun& b : runs) {
    const uint32_t a = to_flash(b.addr);
    if (a < flash().base || a - flash().base >= flash().size) continue;  // not flash: no line table covers it
    const uint32_t lo = (a - flash().base) / 2;
    const uint32_t hi = std::min<uint32_t>((a - flash().base + b.size + 1) / 2, flash().size / 2);
    diff[lo] += static_cast<int64_t>(b.runs);
    diff[hi] -= static_cast<int64_t>(b.runs);
  }
  std::vector<uint64_t> out(flash().size / 2);
  int64_t acc = 0;
  for (size_t i = 0; i < out.size(); ++i) out[i] = static_cast<uint64_t>(acc += diff[i]);
  return out;
}

struct Row {
  uint32_t lo, hi;
  int line;
  const char* file;
};

struct FileCover {
  std::map<int, uint64_t> lines;  // line -> runs
  struct Fn {
    int line;
    uint64_t runs;
  };
  std::map<std::string, Fn> functions;  // mangled name -> first line and runs at entry
};

struct DwarfCloser {
  void operator()(Dwarf* d) const { dwarf_end(d); }
};

// The line table as address ranges. Rows of one address share the range up to
// the next higher address of their sequence.
bool read_rows(Dwarf* dw, std::vector<Row>* rows, std::string* error) {
  Dwarf_Off off = 0, next = 0;
  size_t hsize = 0;
  while (dwarf_nextcu(dw, off, &next, &hsize, nullptr, nullptr, nullptr) == 0) {
    Dwarf_Die cu;
    Dwarf_Lines* lines = nullptr;
    size_t n = 0;
    if (dwarf_offdie(dw, off + hsize, &cu) && dwarf_getsrclines(&cu, &lines, &n) == 0) {
      std::vector<Row> seq;
      for (size_t i = 0; i < n; ++i) {
        Dwarf_Line* l = dwarf_onesrcline(lines, i);
        Dwarf_Addr addr = 0;
        int lineno = 0;
        bool end = false;
        dwarf_lineaddr(l, &addr);
        dwarf_lineno(l, &lineno);
        dwarf_lineendsequence(l, &end);
        const char* file = dwarf_linesrc(l, nullptr, nullptr);
        // Each row reaches to the next higher address of its sequence.
        for (Row& r : seq)
          if (r.hi == 0 && addr > r.lo) r.hi = static_cast<uint32_t>(addr);
        if (end) {
          std::copy_if(seq.begin(), seq.end(), std::back_inserter(*rows),
                       [](const Row& r) { return r.hi > r.lo && r.line > 0 && r.file; });
          seq.clear();
          continue;
        }
        seq.push_back({static_cast<uint32_t>(addr), 0, lineno, file});
      }
    }
    off = next;
  }
  if (rows->empty()) {
    *error = "no DWARF line table";
    return false;
  }
  return true;
}

// Calls f(linkage name, declaring file, declaration line, entry address) for
// each subprogram DIE with code of its own.
template <typename F>
void walk(Dwarf_Die* die, F& f) {
  do {
    Dwarf_Addr low = 0;
    if (dwarf_tag(die) == DW_TAG_subprogram && dwarf_lowpc(die, &low) == 0) {
      Dwarf_Attribute attr;
      const char* name = dwarf_formstring(dwarf_attr_integrate(die, DW_AT_linkage_name, &attr));
      if (!name) name = dwarf_diename(die);
      const char* file = dwarf_decl_file(die);
      int line = 0;
      if (name && file && dwarf_decl_line(die, &line) == 0) f(name, file, line, static_cast<uint32_t>(low));
    }
    Dwarf_Die child;
    if (dwarf_haschildren(die) && dwarf_child(die, &child) == 0) walk(&child, f);
  } while (dwarf_siblingof(die, die) == 0);
}

template <typename F>
void for_each_body(Dwarf* dw, F f) {
  Dwarf_Off off = 0, next = 0;
  size_t hsize = 0;
  while (dwarf_nextcu(dw, off, &next, &hsize, nullptr, nullptr, nullptr) == 0) {
    Dwarf_Die cu, child;
    if (dwarf_offdie(dw, off + hsize, &cu) && dwarf_child(&cu, &child) == 0) walk(&child, f);
    off = next;
  }
}

uint64_t max_runs(const std::vector<uint64_t>& hw, uint32_t lo, uint32_t hi) {
  uint64_t m = 0;
  for (uint32_t a = to_flash(lo); a < to_flash(hi); a += 2) {
    if (a < flash().base || a - flash().base >= flash().size) break;
    m = std::max(m, hw[(a - flash().base) / 2]);
  }
  return m;
}

std::string render(const std::map<std::string, FileCover>& files) {
  std::ostringstream o;
  for (const auto& [path, fc] : files) {
    o << "TN:\nSF:" << path << '\n';
    size_t fnh = 0;
    for (const auto& [name, fn] : fc.functions) o << "FN:" << fn.line << ',' << name << '\n';
    for (const auto& [name, fn] : fc.functions) {
      o << "FNDA:" << fn.runs << ',' << name << '\n';
      fnh += fn.runs > 0;
    }
    o << "FNF:" << fc.functions.size() << "\nFNH:" << fnh << '\n';
    size_t lh = 0;
    for (const auto& [line, runs] : fc.lines) {
      o << "DA:" << line << ',' << runs << '\n';
      lh += runs > 0;
    }
    o << "LF:" << fc.lines.size() << "\nLH:" << lh << "\nend_of_record\n";
  }
  return o.str();
}

bool write_file(const std::string& path, const std::string& text, std::string* error) {
  std::ofstream f(path, std::ios::binary | std::ios::trunc);
  if (f) f << text;
  if (f) f.flush();
  if (!f) {
    *error = "cannot write " + path + ": " + std::strerror(errno ? errno : EIO);
    return false;
  }
  return true;
}

struct Collector {
  std::mutex mu;
  std::string path;  // --coverage FILE, "" when not collecting
  std::vector<std::pair<Image, std::vector<BlockRun>>> images;
  unsigned written = 0;  // tracefiles written into VBOARD_COVERAGE_DIR
};

Collector& collector() {
  static Collector c;
  return c;
}

std::string stem(const std::string& path) {
  const std::string s = std::filesystem::path(path).stem().string();
  return s.empty() ? "image" : s;
}

}  // namespace

bool lcov_text(const Image& image, const std::vector<BlockRun>& runs, std::string* out, std::string* error) {
  const int fd = ::open(image.path().c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    *error = image.path() + ": " + std::strerror(errno);
    return false;
  }
  std::unique_ptr<Dwarf, DwarfCloser> dw(dwarf_begin(fd, DWARF_C_READ));
  std::vector<Row> rows;
  bool ok = dw != nullptr;
  if (!ok) *error = "no DWARF debug information";
  if (ok) ok = read_rows(dw.get(), &rows, error);
  if (!ok) {
    dw.reset();
    ::close(fd);
    *error = image.path() + ": " + *error + " (build with -g)";
    return false;
  }
  const std::vector<uint64_t> hw = halfword_runs(runs);
  std::map<std::string, FileCover> files;
  for (const Row& r : rows) {
    uint64_t& n = files[r.file].lines[r.line];
    n = std::max(n, max_runs(hw, r.lo, r.hi));
  }
  // Functions: every out-of-line body the DWARF has (inlined copies count in
  // their lines only), at its declaration, counted by the runs of its entry.
  for_each_body(dw.get(), [&](const char* name, const char* file, int line, uint32_t entry) {
    FileCover::Fn& fn = files[file].functions.try_emplace(name, FileCover::Fn{line, 0}).first->second;
    fn.runs = std::max(fn.runs, max_runs(hw, entry, entry + 2));
  });
  dw.reset();
  ::close(fd);
  *out = render(files);
  return true;
}

bool collect_to(const std::string& path, std::string* error) {
  std::ofstream f(path, std::ios::binary | std::ios::trunc);
  if (!f) {
    *error = "--coverage: cannot create " + path + ": " + std::strerror(errno ? errno : EIO);
    return false;
  }
  std::lock_guard lock(collector().mu);
  collector().path = path;
  return true;
}

void machine_ended(const Image& image, const std::vector<BlockRun>& runs) {
  Collector& c = collector();
  std::lock_guard lock(c.mu);
  if (!c.path.empty()) {
    auto it = std::find_if(c.images.begin(), c.images.end(),
                           [&](const auto& e) { return e.first.path() == image.path(); });
    if (it == c.images.end()) it = c.images.insert(c.images.end(), {image, {}});
    it->second.insert(it->second.end(), runs.begin(), runs.end());
  }
  const char* dir = std::getenv(kDirVariable);
  if (!dir || !*dir) return;
  // Images that tests build by hand have no file behind them: nothing to map.
  if (!std::filesystem::is_regular_file(image.path())) return;
  std::string text, error;
  const std::string out = std::string(dir) + "/" + stem(image.path()) + "-" + std::to_string(::getpid()) +
                          "-" + std::to_string(c.written++) + ".info";
  if (!lcov_text(image, runs, &text, &error) || !write_file(out, text, &error))
    std::fprintf(stderr, "vboard: %s: %s\n", kDirVariable, error.c_str());
}

// Hears of every Machine's end from the moment the program is loaded. The build
// names this symbol to the linker for every program that links the outputs
// (vboard_outputs' LINKER:--undefined), so that this file, with its observer, is
// taken from the library although nothing calls into it.
extern "C" const bool vboard_coverage_observes = (Machine::observe_ends(machine_ended), true);

bool finish(std::string* error) {
  Collector& c = collector();
  std::lock_guard lock(c.mu);
  if (c.path.empty()) return true;
  std::string all;
  for (const auto& [image, runs] : c.images) {
    std::string text;
    if (!lcov_text(image, runs, &text, error)) {
      *error = "--coverage: " + *error;
      return false;
    }
    all += text;
  }
  if (!write_file(c.path, all, error)) {
    *error = "--coverage: " + *error;
    return false;
  }
  return true;
}

}  // namespace vboard::coverage

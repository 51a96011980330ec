// Registers shown by name: the lookup of `regs PERIPH [REG]` in the generated
// table, the fields decoded from the values a debugger reads.
#include "chip/reg_view.h"

#include <algorithm>
#include <cctype>
#include <cstdio>

#include "chip/stm32g431_desc.h"

namespace vboard::periph::regview {

namespace {

// The width of a text line the whole-peripheral view wraps its fields at.
constexpr size_t kLineWidth = 100;

bool same_name(std::string_view a, const char* b) {
  const std::string_view s(b);
  return a.size() == s.size() && std::equal(a.begin(), a.end(), s.begin(), [](char x, char y) {
           return std::toupper(static_cast<unsigned char>(x)) == std::toupper(static_cast<unsigned char>(y));
         });
}

std::span<const RegisterRow> registers_of(const PeripheralRow& p) {
  return table().registers.subspan(p.first_register, p.registers);
}

std::span<const FieldRow> fields_of(const RegisterRow& r) {
  return table().fields.subspan(r.first_field, r.fields);
}

const char* access_name(Access a) {
  return a == Access::read_only ? "read-only" : a == Access::write_only ? "write-only" : "read-write";
}

std::string hex(uint32_t v, int digits = 8) {
  char b[16];
  std::snprintf(b, sizeof b, "0x%0*X", digits, static_cast<unsigned>(v));
  return b;
}

// "[7]" or "[9:8]".
std::string bits(const FieldRow& f) {
  const unsigned top = f.pos + f.width - 1u;
  return "[" + (f.width == 1 ? std::to_string(f.pos) : std::to_string(top) + ":" + std::to_string(f.pos)) +
         "]";
}

uint32_t field_value(const FieldRow& f, uint32_t reg) {
  const uint32_t mask = f.width >= 32 ? ~0u : (1u << f.width) - 1u;
  return (reg >> f.pos) & mask;
}

// Narrow fields in decimal, wide ones (addresses, counts of 16 bits and more) in hex.
std::string short_value(const FieldRow& f, uint32_t v) {
  return f.width >= 16 ? hex(v, (f.width + 3) / 4) : std::to_string(v);
}

const char* value_text(const FieldRow& f, uint32_t v) {
  for (const ValueRow& row : table().values.subspan(f.first_value, f.values))
    if (row.value == v) return row.text;
  return nullptr;
}

// The names of `rows`, as "A, B, C".
template <typename Rows>
std::string names_of(const Rows& rows) {
  std::string out;
  for (const auto& row : rows) out += (out.empty() ? "" : ", ") + std::string(row.name);
  return out;
}

// Whether the peripheral's clock runs, as a line; empty when it always runs.
std::string clock_line(const PeripheralRow& p, const ReadWord& read) {
  const desc::Peripheral* entry = desc::peripheral(p.name);
  const desc::Peripheral* rcc = desc::peripheral("RCC");
  if (!entry || !rcc || !entry->gate.reg) return "";
  const std::string gate = std::string("RCC ") + entry->gate.reg + "." + entry->gate.field;
  uint32_t enr = 0;
  if (!read(rcc->base + entry->gate.offset, enr)) return "clock: " + gate + " cannot be read\n";
  if ((enr >> entry->gate.bit) & 1u) return "clock on (" + gate + " = 1)\n";
  return "clock off (" + gate + " = 0): its registers read 0 and writes to them are lost\n";
}

std::string describe_register(const PeripheralRow& p, const RegisterRow& r, const ReadWord& read) {
  const uint32_t addr = p.base + r.offset;
  std::string out = std::string(p.name) + " " + r.name;
  uint32_t v = 0;
  const bool readable = read(addr, v);
  out += readable ? " = " + hex(v) : std::string(": cannot be read (no model implements it)");
  out += " at " + hex(addr) + " (" + access_name(r.access) + ", reset " + hex(r.reset) + ")\n";
  if (!readable) return out;
  size_t name_w = 0, bits_w = 0;
  for (const FieldRow& f : fields_of(r)) {
    name_w = std::max(name_w, std::string_view(f.name).size());
    bits_w = std::max(bits_w, bits(f).size());
  }
  for (const FieldRow& f : fields_of(r)) {
    std::string line = "  " + std::string(f.name);
    line.resize(2 + name_w + 1, ' ');
    line += bits(f);
    line.resize(2 + name_w + 1 + bits_w + 1, ' ');
    if (f.access == Access::write_only) {
      out += line + "-  write-only (reads 0)\n";
      continue;
    }
    const uint32_t fv = field_value(f, v);
    line += std::to_string(fv);
    if (f.width >= 8) line += " (" + hex(fv, (f.width + 3) / 4) + ")";
    if (const char* text = value_text(f, fv)) line += std::string("  ") + text;
    out += line + "\n";
  }
  return out;
}

// One register on a line (wrapped): its value and every readable field's.
std::string register_summary(const PeripheralRow& p, const RegisterRow& r, size_t name_w,
                             const ReadWord& read) {
  std::string line = "  " + std::string(r.name);
  line.resize(2 + name_w, ' ');
  uint32_t v = 0;
  if (!read(p.base + r.offset, v)) return line + "   cannot be read (no model implements it)\n";
  if (r.access == Access::write_only) return line + "   write-only (reads 0)\n";
  line += " = " + hex(v);
  const size_t indent = line.size() + 2;
  std::string out;
  for (const FieldRow& f : fields_of(r)) {
    if (f.access == Access::write_only) continue;
    const std::string item = std::string(f.name) + "=" + short_value(f, field_value(f, v));
    if (line.size() + 1 + item.size() > kLineWidth && line.size() > indent) {
      out += line + "\n";
      line = std::string(indent, ' ') + item;
    } else {
      line += (line.size() < indent ? "  " : " ") + item;
    }
  }
  return out + line + "\n";
}

std::string describe_peripheral(const PeripheralRow& p, const ReadWord& read) {
  const std::string clock = clock_line(p, read);
  std::string out = std::string(p.name) + " at " + hex(p.base) + (clock.empty() ? "\n" : "; " + clock);
  size_t name_w = 0;
  for (const RegisterRow& r : registers_of(p)) name_w = std::max(name_w, std::string_view(r.name).size());
  for (const RegisterRow& r : registers_of(p)) out += register_summary(p, r, name_w, read);
  return out + "(monitor regs " + p.name + " REG: one register with its values' meanings)\n";
}

}  // namespace

bool describe(std::string_view periph, std::string_view reg, const ReadWord& read, std::string& out) {
  const auto& ps = table().peripherals;
  const auto p = std::find_if(ps.begin(), ps.end(),
                              [&](const PeripheralRow& row) { return same_name(periph, row.name); });
  if (p == ps.end()) {
    out = (periph.empty() ? std::string("monitor regs PERIPH [REG]: name a peripheral")
                          : "monitor regs: no peripheral '" + std::string(periph) + "'") +
          " (peripherals: " + names_of(ps) + ")\n";
    return false;
  }
  if (reg.empty()) {
    out = describe_peripheral(*p, read);
    return true;
  }
  const auto rs = registers_of(*p);
  const auto r =
      std::find_if(rs.begin(), rs.end(), [&](const RegisterRow& row) { return same_name(reg, row.name); });
  if (r == rs.end()) {
    out = "monitor regs: " + std::string(p->name) + " has no register '" + std::string(reg) +
          "' (registers: " + names_of(rs) + ")\n";
    return false;
  }
  out = describe_register(*p, *r, read);
  return true;
}

}  // namespace vboard::periph::regview

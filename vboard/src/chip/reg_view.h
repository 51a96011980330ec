// The chip's registers by name, for people: the register table generated from
// the vendor's SVD (stm32g431_reg_table.cpp, by vboard/tools/svd_regs.py) for
// the peripherals the chip description models, and the text that shows a
// peripheral's registers, or one register, with each field's value decoded
// (`monitor regs` of the GDB server). The values are read through a function
// the caller gives, so this knows nothing of the machine or the debugger.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>

namespace vboard::periph::regview {

enum class Access : uint8_t { read_write, read_only, write_only };

// A field value the SVD names, with its description's first sentence.
struct ValueRow {
  uint32_t value;
  const char* text;
};

struct FieldRow {
  const char* name;
  uint8_t pos, width;
  Access access;
  uint16_t first_value, values;  // its named values: table().values[first_value ...]
};

struct RegisterRow {
  const char* name;  // without the peripheral's prefix, as chip/stm32g431_regs.h names it
  uint16_t offset;
  Access access;
  uint32_t reset;
  uint16_t first_field, fields;  // in ascending position
};

struct PeripheralRow {
  const char* name;
  uint32_t base;
  uint16_t first_register, registers;  // in ascending offset
};

struct Table {
  std::span<const PeripheralRow> peripherals;
  std::span<const RegisterRow> registers;
  std::span<const FieldRow> fields;
  std::span<const ValueRow> values;
};

// The generated table.
const Table& table();

// Reads the 32-bit register at `addr` as a debug probe does: no flag clears and
// no other effect on the run. False when nothing answers there.
using ReadWord = std::function<bool(uint32_t addr, uint32_t& value)>;

// The text of `regs PERIPH [REG]` (names in any case): with REG, that register's
// value, place, access and reset, and one line per field with its value and
// the value's meaning where the SVD names it; without REG, every register of
// PERIPH with its fields' values, and whether the peripheral's clock runs (a
// peripheral without clock reads 0). Empty PERIPH or an unknown name: false,
// with one line saying what exists.
bool describe(std::string_view periph, std::string_view reg, const ReadWord& read, std::string& out);

}  // namespace vboard::periph::regview

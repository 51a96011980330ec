// One function's stack and calls, from its Thumb-2 code (Capstone). The code is
// followed from the function's start along every branch (never by a linear
// sweep, so literal pools and jump tables are not read as code), with SP's
// offset and a little knowledge of the registers carried along each path:
// enough to know a literal's value, a vtable slot's offset, a jump table's size.
#include <capstone/capstone.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <deque>
#include <map>

#include "outputs/stack_bound_impl.h"

namespace vboard::stack {

Memory::Memory(const Image& image, uint32_t flash_base, uint32_t flash_size)
    : image_(image), flash_base_(flash_base), flash_size_(flash_size) {}

bool Memory::read(uint32_t addr, void* dst, uint32_t n) const {
  if (addr < flash_size_) addr += flash_base_;
  for (const Segment& s : image_.segments()) {
    uint32_t p = s.paddr < flash_size_ ? s.paddr + flash_base_ : s.paddr;
    if (addr >= p && uint64_t{addr} - p + n <= s.bytes.size()) {
      std::memcpy(dst, s.bytes.data() + (addr - p), n);
      return true;
    }
  }
  return false;
}

std::optional<uint32_t> Memory::word(uint32_t addr) const {
  uint8_t b[4];
  if (!read(addr, b, 4)) return std::nullopt;
  return uint32_t{b[0]} | uint32_t{b[1]} << 8 | uint32_t{b[2]} << 16 | uint32_t{b[3]} << 24;
}

Decoder::Decoder() {
  csh h = 0;
  if (cs_open(CS_ARCH_ARM, static_cast<cs_mode>(CS_MODE_THUMB | CS_MODE_MCLASS), &h) == CS_ERR_OK) {
    cs_option(h, CS_OPT_DETAIL, CS_OPT_ON);
    insn_ = cs_malloc(h);
  }
  handle_ = h;
}

Decoder::~Decoder() {
  if (insn_) cs_free(insn_, 1);
  if (handle_) {
    csh h = handle_;
    cs_close(&h);
  }
}

const cs_insn* Decoder::decode(const uint8_t* code, size_t n, uint32_t addr) {
  if (!insn_) return nullptr;
  uint64_t at = addr;
  return cs_disasm_iter(handle_, &code, &n, &at, insn_) ? insn_ : nullptr;
}

std::string Decoder::text(const cs_insn* insn) const {
  std::string s = insn->mnemonic;
  if (insn->op_str[0]) s += std::string(" ") + insn->op_str;
  return s;
}

namespace {

const cs_arm& arm(const cs_insn* insn) { return insn->detail->arm; }

bool is_reg(const cs_arm_op& o, unsigned r) {
  return o.type == ARM_OP_REG && static_cast<unsigned>(o.reg) == r;
}

bool lists(const cs_insn* insn, unsigned reg) {
  for (int k = 0; k < arm(insn).op_count; ++k)
    if (is_reg(arm(insn).operands[k], reg)) return true;
  return false;
}

// Bytes a register list moves: 4 for each core or single register, 8 for each double.
int32_t list_bytes(const cs_insn* insn, int from) {
  int32_t n = 0;
  for (int k = from; k < arm(insn).op_count; ++k) {
    const unsigned r = arm(insn).operands[k].reg;
    n += r >= ARM_REG_D0 && r <= ARM_REG_D31 ? 8 : 4;
  }
  return n;
}

// The memory operand's index among the operands, or -1.
int mem_index(const cs_insn* insn) {
  for (int k = 0; k < arm(insn).op_count; ++k)
    if (arm(insn).operands[k].type == ARM_OP_MEM) return k;
  return -1;
}

// A load or store with SP as its written-back base: [sp, #d]! or [sp], #d.
SpEffect sp_writeback(const cs_insn* insn, int m) {
  SpEffect e;
  const cs_arm& a = arm(insn);
  int32_t move = a.operands[m].mem.disp;
  if (m + 1 < a.op_count) {  // post-indexed
    const cs_arm_op& o = a.operands[m + 1];
    if (o.type != ARM_OP_IMM) return e.by_register = true, e;
    move = o.subtracted ? -o.imm : o.imm;
  }
  e.reserve = -move;
  e.returns = lists(insn, ARM_REG_PC);
  return e;
}

// sub/add sp, [sp,] #imm; by a register: unbounded.
SpEffect sp_arith(const cs_insn* insn, int sign) {
  SpEffect e;
  const cs_arm& a = arm(insn);
  const cs_arm_op& last = a.operands[a.op_count - 1];
  if (a.op_count == 3 && !is_reg(a.operands[1], ARM_REG_SP)) return e.unknown_write = true, e;
  if (last.type != ARM_OP_IMM) return e.by_register = true, e;
  e.reserve = sign * last.imm;
  return e;
}

}  // namespace

SpEffect sp_effect(const cs_insn* insn) {
  SpEffect e;
  const cs_arm& a = arm(insn);
  switch (insn->id) {
    case ARM_INS_PUSH:
    case ARM_INS_VPUSH:
      e.reserve = list_bytes(insn, 0);
      return e;
    case ARM_INS_POP:
    case ARM_INS_VPOP:
      e.reserve = -list_bytes(insn, 0);
      e.returns = lists(insn, ARM_REG_PC);
      return e;
    case ARM_INS_STMDB:
    case ARM_INS_VSTMDB:
      if (is_reg(a.operands[0], ARM_REG_SP) && a.writeback) e.reserve = list_bytes(insn, 1);
      return e;
    case ARM_INS_LDM:
    case ARM_INS_VLDMIA:
      if (is_reg(a.operands[0], ARM_REG_SP) && a.writeback) {
        e.reserve = -list_bytes(insn, 1);
        e.returns = lists(insn, ARM_REG_PC);
      }
      return e;
    default:
      break;
  }
  if (a.op_count > 0 && is_reg(a.operands[0], ARM_REG_SP) && (a.operands[0].access & CS_AC_WRITE)) {
    if (insn->id == ARM_INS_SUB || insn->id == ARM_INS_SUBW) return sp_arith(insn, 1);
    if (insn->id == ARM_INS_ADD || insn->id == ARM_INS_ADDW) return sp_arith(insn, -1);
    if (insn->id == ARM_INS_MOV) return e.by_register = true, e;
    return e.unknown_write = true, e;
  }
  const int m = mem_index(insn);
  if (m >= 0 && a.writeback && a.operands[m].mem.base == ARM_REG_SP) return sp_writeback(insn, m);
  for (uint8_t k = 0; k < insn->detail->regs_write_count; ++k)
    if (insn->detail->regs_write[k] == ARM_REG_SP &&
        !(insn->id == ARM_INS_BL || insn->id == ARM_INS_BLX || insn->id == ARM_INS_SVC))
      e.unknown_write = true;
  return e;
}

namespace {

// What one path knows at an instruction.
struct PathState {
  int32_t depth = 0;
  std::array<Val, 16> r{};
  int cmp_reg = -1;  // the last `cmp rN, #imm` still valid (a jump table's bound)
  uint32_t cmp_imm = 0;
  bool operator==(const PathState&) const = default;
};

PathState join(const PathState& a, const PathState& b) {
  PathState j = a;
  j.depth = std::max(a.depth, b.depth);
  for (size_t k = 0; k < j.r.size(); ++k)
    if (!(a.r[k] == b.r[k])) j.r[k] = Val{};
  if (a.cmp_reg != b.cmp_reg || a.cmp_imm != b.cmp_imm) j.cmp_reg = -1;
  return j;
}

// r0..r15 as 0..15; -1 for any other register.
int index_of(unsigned reg) {
  if (reg >= ARM_REG_R0 && reg <= ARM_REG_R12) return static_cast<int>(reg - ARM_REG_R0);
  if (reg == ARM_REG_SP) return 13;
  if (reg == ARM_REG_LR) return 14;
  if (reg == ARM_REG_PC) return 15;
  return -1;
}

// After a call returns: the callee may have changed r0-r3, r12 and LR; r0 is what it returned.
void returned(PathState& s) {
  for (size_t r : {1u, 2u, 3u, 12u, 14u}) s.r[r] = Val{};
  s.r[0] = Val{Val::kPassed, 0};
  s.cmp_reg = -1;
}

constexpr int kMaxVisits = 64;  // one instruction reached more often: SP changes around a loop

class Walk {
 public:
  Walk(Decoder& dec, const Memory& mem, uint32_t start, uint32_t end, uint32_t initial_sp,
       const std::set<uint32_t>& data)
      : dec_(dec), mem_(mem), start_(start), end_(end), initial_sp_(initial_sp), data_(data) {
    facts_.start = start;
    facts_.end = end;
  }
  FunctionFacts run();
  // Bytes found to be data (literal pools, jump tables) and code actually decoded.
  std::set<uint32_t> found_data, decoded;

 private:
  void reach(uint32_t addr, const PathState& s);
  void fall(const cs_insn* insn, uint32_t next, PathState& s);
  void step(uint32_t addr, PathState s);
  bool branch(const cs_insn* insn, uint32_t addr, PathState& s, uint32_t next);
  void call(const cs_insn* insn, uint32_t addr, const PathState& s, bool tail, std::optional<uint32_t> target,
            Val held);
  void values(const cs_insn* insn, uint32_t addr, PathState& s);
  void literal(const cs_insn* insn, uint32_t addr);
  Val load(const cs_insn* insn, uint32_t addr, const PathState& s);
  void jump_table(const cs_insn* insn, uint32_t addr, const PathState& s);
  void unbounded(const std::string& why) {
    if (std::find(facts_.unbounded.begin(), facts_.unbounded.end(), why) == facts_.unbounded.end())
      facts_.unbounded.push_back(why);
  }

  Decoder& dec_;
  const Memory& mem_;
  uint32_t start_, end_, initial_sp_;
  const std::set<uint32_t>& data_;
  FunctionFacts facts_;
  std::map<uint32_t, PathState> in_;
  std::map<uint32_t, int> visits_;
  std::map<uint32_t, CallSite> calls_;
  std::deque<uint32_t> work_;
};

void Walk::reach(uint32_t addr, const PathState& s) {
  if (addr < start_ || addr >= end_) return unbounded("branches to " + hex32(addr) + ", outside itself");
  auto [it, fresh] = in_.try_emplace(addr, s);
  if (!fresh) {
    const PathState j = join(it->second, s);
    if (j == it->second) return;
    it->second = j;
  }
  if (++visits_[addr] > kMaxVisits) return unbounded("its stack grows around a loop at " + hex32(addr));
  work_.push_back(addr);
}

FunctionFacts Walk::run() {
  PathState entry;
  for (size_t r = 0; r < 4; ++r) entry.r[r] = Val{Val::kPassed, 0};
  reach(start_, entry);
  while (!work_.empty() && facts_.unbounded.empty()) {
    const uint32_t a = work_.front();
    work_.pop_front();
    step(a, in_[a]);
  }
  for (auto& [at, c] : calls_) facts_.calls.push_back(c);
  return facts_;
}

void Walk::step(uint32_t addr, PathState s) {
  if (data_.count(addr)) return;  // after a call that does not return: a literal pool
  uint8_t code[4] = {};
  const uint32_t n = std::min<uint32_t>(4, end_ - addr);
  const cs_insn* insn = mem_.read(addr, code, n) ? dec_.decode(code, n, addr) : nullptr;
  if (!insn) return unbounded("no instruction at " + hex32(addr));
  for (uint32_t k = 0; k < insn->size; ++k) decoded.insert(addr + k);
  if (insn->mnemonic[0] == 'v') facts_.uses_fpu = true;
  const uint32_t next = addr + insn->size;
  const bool conditional = arm(insn).cc != ARM_CC_AL && arm(insn).cc != ARM_CC_INVALID;
  const PathState before = s;
  const SpEffect e = sp_effect(insn);
  if (e.by_register || e.unknown_write) {
    // Only the start-up code's `mov sp, rN` with the initial stack top is followed: a fresh stack.
    const int src = insn->id == ARM_INS_MOV ? index_of(arm(insn).operands[1].reg) : -1;
    if (src >= 0 && s.r[static_cast<size_t>(src)] == Val{Val::kConst, initial_sp_}) {
      s.depth = 0;
      facts_.notes.push_back("sets SP to the initial stack top " + hex32(initial_sp_) + " at " + hex32(addr) +
                             ": counted from there");
    } else {
      return unbounded(
          (e.by_register ? "moves SP by a register (alloca or a variable-length array): " : "writes SP: ") +
          dec_.text(insn) + " at " + hex32(addr));
    }
  }
  s.depth += e.reserve;
  facts_.frame = std::max(facts_.frame, s.depth);
  if (e.returns) {
    if (conditional) fall(insn, next, s = before);
    return;
  }
  if (branch(insn, addr, s, next)) return;
  literal(insn, addr);
  values(insn, addr, s);
  if (conditional) s = join(s, before);
  fall(insn, next, s);
}

// On to the next instruction; past the end only into the next function (a tail
// call without a branch), never after a call: one that does not return ends the code.
void Walk::fall(const cs_insn* insn, uint32_t next, PathState& s) {
  if (next < end_) return reach(next, s);
  if (insn->id == ARM_INS_BL || insn->id == ARM_INS_BLX) return;
  call(insn, end_, s, true, end_, {});
}

// Branches, calls and returns; true when this instruction's successors are taken care of.
bool Walk::branch(const cs_insn* insn, uint32_t addr, PathState& s, uint32_t next) {
  const cs_arm& a = arm(insn);
  const bool conditional = a.cc != ARM_CC_AL && a.cc != ARM_CC_INVALID;
  const auto imm = [&](int k) { return static_cast<uint32_t>(a.operands[k].imm); };
  switch (insn->id) {
    case ARM_INS_B:
    case ARM_INS_CBZ:
    case ARM_INS_CBNZ: {
      const uint32_t t = imm(a.op_count - 1);
      if (t >= start_ && t < end_) {
        reach(t, s);
      } else {
        call(insn, addr, s, true, t, {});
      }
      if (conditional || insn->id != ARM_INS_B) fall(insn, next, s);
      return true;
    }
    case ARM_INS_BL:
      call(insn, addr, s, false, imm(0), {});
      returned(s);
      fall(insn, next, s);
      return true;
    case ARM_INS_BLX:
    case ARM_INS_BX: {
      if (a.operands[0].type != ARM_OP_REG) {
        unbounded("switches to the ARM state: " + dec_.text(insn) + " at " + hex32(addr));
        return true;
      }
      const int r = index_of(a.operands[0].reg);
      if (insn->id == ARM_INS_BX && r == 14) {  // return
        if (conditional) fall(insn, next, s);
        return true;
      }
      const Val held = r >= 0 ? s.r[static_cast<size_t>(r)] : Val{};
      call(insn, addr, s, insn->id == ARM_INS_BX, std::nullopt, held);
      if (insn->id == ARM_INS_BLX) returned(s);
      if (insn->id == ARM_INS_BLX || conditional) fall(insn, next, s);
      return true;
    }
    case ARM_INS_TBB:
    case ARM_INS_TBH:
      jump_table(insn, addr, s);
      return true;
    case ARM_INS_UDF:
      return true;
    default:
      break;
  }
  // Any other write of PC: an indirect jump through what it loads or copies.
  bool writes_pc = false;
  for (int k = 0; k < a.op_count; ++k)
    writes_pc = writes_pc || (is_reg(a.operands[k], ARM_REG_PC) && (a.operands[k].access & CS_AC_WRITE));
  if (!writes_pc) return false;
  Val held;
  if (insn->id == ARM_INS_LDR) held = load(insn, addr, s);
  if (insn->id == ARM_INS_MOV && index_of(a.operands[1].reg) >= 0)
    held = s.r[static_cast<size_t>(index_of(a.operands[1].reg))];
  call(insn, addr, s, true, std::nullopt, held);
  if (conditional) fall(insn, next, s);
  return true;
}

void Walk::call(const cs_insn* insn, uint32_t addr, const PathState& s, bool tail,
                std::optional<uint32_t> target, Val held) {
  CallSite c;
  c.at = addr;
  c.depth = s.depth;
  c.tail = tail;
  c.text = dec_.text(insn);
  if (!target && held.kind == Val::kConst) target = held.v & ~1u;
  c.direct = target.has_value();
  c.target = target.value_or(0);
  c.held = held;
  // A revisit with a joined state replaces the earlier record: the site's fixpoint.
  auto it = calls_.find(addr);
  if (it != calls_.end() && it->second.depth > c.depth) c.depth = it->second.depth;
  calls_[addr] = c;
}

// A word loaded by `ldr rT, [...]` at addr, as far as it can be known.
Val Walk::load(const cs_insn* insn, uint32_t addr, const PathState& s) {
  const cs_arm& a = arm(insn);
  const int m = mem_index(insn);
  if (m < 0) return {};
  const arm_op_mem& mem = a.operands[m].mem;
  if (mem.base == ARM_REG_PC) {
    const auto w = mem_.word(((addr + 4) & ~3u) + static_cast<uint32_t>(mem.disp));
    return w ? Val{Val::kConst, *w} : Val{};
  }
  const int b = index_of(mem.base);
  if (b < 0 || b == 13 || mem.index != ARM_REG_INVALID || m + 1 < a.op_count) return {};
  const Val base = s.r[static_cast<size_t>(b)];
  const uint32_t at = base.v + static_cast<uint32_t>(mem.disp);
  switch (base.kind) {
    case Val::kConst: {
      // Flash holds the same word at every run; RAM and peripherals do not:
      // a global's word, perhaps its vptr, never a vtable entry.
      const auto w = mem_.constant(at) ? mem_.word(at) : std::nullopt;
      return w ? Val{Val::kConst, *w} : Val{Val::kField, 0};
    }
    case Val::kPassed:
      return {Val::kField, 0};
    case Val::kField:
    case Val::kSlot:
    case Val::kLoaded:
      return {Val::kSlot, static_cast<uint32_t>(mem.disp)};
    case Val::kTop:
      break;
  }
  return {Val::kLoaded, 0};
}

// A PC-relative load's literal (ldr, ldrd, vldr) is data, not code.
void Walk::literal(const cs_insn* insn, uint32_t addr) {
  const int m = mem_index(insn);
  if (m < 0 || arm(insn).operands[m].mem.base != ARM_REG_PC || insn->id == ARM_INS_TBB ||
      insn->id == ARM_INS_TBH)
    return;
  const uint32_t lit = ((addr + 4) & ~3u) + static_cast<uint32_t>(arm(insn).operands[m].mem.disp);
  const bool wide = insn->id == ARM_INS_LDRD ||
                    (arm(insn).operands[0].type == ARM_OP_REG && arm(insn).operands[0].reg >= ARM_REG_D0 &&
                     arm(insn).operands[0].reg <= ARM_REG_D31);
  for (uint32_t k = 0; k < (wide ? 8u : 4u); ++k) found_data.insert(lit + k);
}

// The registers an instruction writes: what is known of their new values.
void Walk::values(const cs_insn* insn, uint32_t addr, PathState& s) {
  const cs_arm& a = arm(insn);
  const auto reg = [&](int k) {
    return k < a.op_count && a.operands[k].type == ARM_OP_REG ? index_of(a.operands[k].reg) : -1;
  };
  const int d = reg(0);
  std::optional<Val> v;  // the first operand's new value, when known
  switch (insn->id) {
    case ARM_INS_LDR:
      v = load(insn, addr, s);
      break;
    case ARM_INS_MOV:
    case ARM_INS_MOVW:
      if (a.op_count == 2 && a.operands[1].type == ARM_OP_IMM)
        v = Val{Val::kConst, static_cast<uint32_t>(a.operands[1].imm)};
      if (a.op_count == 2 && reg(1) >= 0 && reg(1) < 13) v = s.r[static_cast<size_t>(reg(1))];
      break;
    case ARM_INS_MOVT:
      if (d >= 0 && s.r[static_cast<size_t>(d)].kind == Val::kConst)
        v = Val{Val::kConst,
                (s.r[static_cast<size_t>(d)].v & 0xFFFFu) | static_cast<uint32_t>(a.operands[1].imm) << 16};
      break;
    case ARM_INS_ADR:
      v = Val{Val::kConst, ((addr + 4) & ~3u) + static_cast<uint32_t>(a.operands[1].imm)};
      break;
    default:
      break;
  }
  if (v && v->kind == Val::kConst && insn->id != ARM_INS_LDR) facts_.code_addresses.insert(v->v);
  // Everything this instruction may write is forgotten first (a written-back base, flags' users).
  for (int k = 0; k < a.op_count; ++k) {
    const cs_arm_op& o = a.operands[k];
    const int r = o.type == ARM_OP_REG                  ? index_of(o.reg)
                  : o.type == ARM_OP_MEM && a.writeback ? index_of(o.mem.base)
                                                        : -1;
    if (r >= 0 && (o.type == ARM_OP_MEM || (o.access & CS_AC_WRITE) || o.access == 0))
      s.r[static_cast<size_t>(r)] = Val{};
    if (r >= 0 && r == s.cmp_reg && (o.access & CS_AC_WRITE)) s.cmp_reg = -1;
  }
  for (uint8_t k = 0; k < insn->detail->regs_write_count; ++k) {
    const int r = index_of(insn->detail->regs_write[k]);
    if (r >= 0) s.r[static_cast<size_t>(r)] = Val{};
  }
  if (v && d >= 0) s.r[static_cast<size_t>(d)] = *v;
  if (insn->id == ARM_INS_CMP && d >= 0 && a.op_count == 2 && a.operands[1].type == ARM_OP_IMM) {
    s.cmp_reg = d;
    s.cmp_imm = static_cast<uint32_t>(a.operands[1].imm);
  }
}

// tbb/tbh [pc, rN]: the table follows the instruction, with as many entries as
// the `cmp rN, #imm` before it allows.
void Walk::jump_table(const cs_insn* insn, uint32_t addr, const PathState& s) {
  const cs_arm& a = arm(insn);
  const int m = mem_index(insn);
  const bool half = insn->id == ARM_INS_TBH;
  if (m < 0 || a.operands[m].mem.base != ARM_REG_PC || index_of(a.operands[m].mem.index) != s.cmp_reg ||
      s.cmp_reg < 0)
    return unbounded("a jump table of unknown size: " + dec_.text(insn) + " at " + hex32(addr));
  const uint32_t table = addr + 4;
  const uint32_t entries = s.cmp_imm + 1, size = entries * (half ? 2 : 1);
  for (uint32_t k = 0; k < ((size + 1) & ~1u); ++k) found_data.insert(table + k);
  for (uint32_t k = 0; k < entries; ++k) {
    uint8_t b[2] = {};
    if (!mem_.read(table + k * (half ? 2 : 1), b, half ? 2 : 1))
      return unbounded("a jump table outside the image at " + hex32(table));
    const uint32_t entry = half ? uint32_t{b[0]} | uint32_t{b[1]} << 8 : b[0];
    reach(table + 2 * entry, s);
  }
}

}  // namespace

FunctionFacts analyse_function(Decoder& dec, const Memory& mem, uint32_t start, uint32_t end,
                               uint32_t initial_sp) {
  // Literal pools and tables are found as the code is followed; code that was
  // decoded where data turned out to be is followed again without it.
  std::set<uint32_t> data;
  for (int round = 0;; ++round) {
    Walk w(dec, mem, start, end, initial_sp, data);
    FunctionFacts f = w.run();
    bool overlap = false;
    for (uint32_t d : w.found_data) overlap = overlap || (w.decoded.count(d) && !data.count(d));
    if (!overlap || round == 3) return f;
    data.insert(w.found_data.begin(), w.found_data.end());
  }
}

}  // namespace vboard::stack

#include "machine/history_store.h"

#include <array>
#include <cstring>

namespace vboard {

namespace {

// Cuts fall where the rolling hash's low bits are zero: pieces of about 512
// bytes, never under 128 or over 4096.
constexpr size_t kMinPiece = 128, kMaxPiece = 4096;
constexpr uint64_t kCutMask = (uint64_t{1} << 9) - 1;
// What one piece costs besides its bytes: its map node and its entry in each list.
constexpr size_t kPieceOverhead = 64;

// A fixed table of random 64-bit words, one per byte value (a "gear" hash).
const std::array<uint64_t, 256>& gear() {
  static const std::array<uint64_t, 256> table = [] {
    std::array<uint64_t, 256> t{};
    uint64_t x = 0x9E3779B97F4A7C15ull;
    for (uint64_t& w : t) {  // splitmix64
      x += 0x9E3779B97F4A7C15ull;
      uint64_t z = x;
      z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
      z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
      w = z ^ (z >> 31);
    }
    return t;
  }();
  return table;
}

// A piece's name: its bytes mixed eight at a time (a piece is named at every
// checkpoint, so this runs over the whole board each time; a collision costs
// only a second name, see keep).
uint64_t piece_hash(const uint8_t* p, size_t n) {
  uint64_t h = 0x9E3779B97F4A7C15ull ^ n;
  size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    uint64_t w = 0;
    std::memcpy(&w, p + i, 8);
    h = (h ^ w) * 0xBF58476D1CE4E5B9ull;
    h ^= h >> 29;
  }
  uint64_t w = 0;
  std::memcpy(&w, p + i, n - i);
  h = (h ^ w) * 0x94D049BB133111EBull;
  return h ^ (h >> 32);
}

}  // namespace

uint64_t ChunkStore::keep(const uint8_t* p, size_t n) {
  // A piece with the same name and other bytes (a hash collision) takes the next free name.
  for (uint64_t id = piece_hash(p, n);; ++id) {
    auto [it, fresh] = pieces_.try_emplace(id);
    Piece& piece = it->second;
    if (fresh) {
      piece.bytes.assign(p, p + n);
      bytes_ += n + kPieceOverhead;
    } else if (piece.bytes.size() != n || std::memcmp(piece.bytes.data(), p, n) != 0) {
      continue;
    }
    ++piece.users;
    return id;
  }
}

ChunkStore::Chunks ChunkStore::put(const BoardState& bytes) {
  const auto& g = gear();
  Chunks out;
  size_t start = 0;
  uint64_t h = 0;
  for (size_t i = 0; i < bytes.size(); ++i) {
    h = (h << 1) + g[bytes[i]];
    const size_t len = i + 1 - start;
    if ((len >= kMinPiece && (h & kCutMask) == 0) || len == kMaxPiece) {
      out.push_back(keep(bytes.data() + start, len));
      start = i + 1;
      h = 0;
    }
  }
  if (start < bytes.size()) out.push_back(keep(bytes.data() + start, bytes.size() - start));
  bytes_ += out.size() * sizeof(uint64_t);
  return out;
}

void ChunkStore::get(const Chunks& chunks, BoardState& out) const {
  out.clear();
  for (uint64_t id : chunks) {
    const std::vector<uint8_t>& b = pieces_.at(id).bytes;
    out.insert(out.end(), b.begin(), b.end());
  }
}

void ChunkStore::release(const Chunks& chunks) {
  for (uint64_t id : chunks) {
    auto it = pieces_.find(id);
    if (it == pieces_.end() || --it->second.users > 0) continue;
    bytes_ -= it->second.bytes.size() + kPieceOverhead;
    pieces_.erase(it);
  }
  bytes_ -= chunks.size() * sizeof(uint64_t);
}

}  // namespace vboard

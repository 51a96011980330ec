// The bytes of a history's checkpoints, shared between them: each saved board
// is cut into pieces where its content says (a rolling hash over the bytes, so
// that bytes inserted early, a log entry, do not move every cut after them),
// and each distinct piece is held once, counted by the checkpoints that use it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <unordered_map>
#include <vector>

#include "vboard/state.h"

namespace vboard {

class ChunkStore {
 public:
  using Chunks = std::vector<uint64_t>;  // the pieces of one saved board, in order

  Chunks put(const BoardState& bytes);
  // The saved board into `out` (its storage reused).
  void get(const Chunks& chunks, BoardState& out) const;
  void release(const Chunks& chunks);
  // The pieces' bytes plus what the store spends per piece.
  size_t bytes() const { return bytes_; }

 private:
  struct Piece {
    std::vector<uint8_t> bytes;
    size_t users = 0;
  };
  std::unordered_map<uint64_t, Piece> pieces_;
  size_t bytes_ = 0;

  uint64_t keep(const uint8_t* p, size_t n);
};

}  // namespace vboard

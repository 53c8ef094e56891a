// The chunk layout parser on arbitrary payloads. A layout it accepts must
// tile the payload exactly, each chunk's data directly before its own tag,
// and say of every chunk what its tag says.
#include <cstddef>
#include <cstdint>
#include <span>

#include "gige/proto/chunk_layout.hpp"
#include "util/bytes.hpp"

using namespace corvantic;
using namespace corvantic::gige::proto;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::span<const std::uint8_t> payload(data, size);
  const auto layout = parse_chunk_layout(payload);
  if (!layout) {
    // Reaching the bound takes a tag per chunk.
    if (layout.error() == ChunkLayoutError::TooManyChunks && size < (MAX_CHUNKS + 1) * CHUNK_TAG_SIZE) {
      __builtin_trap();
    }
    return 0;
  }
  if (layout->count > MAX_CHUNKS) __builtin_trap();
  std::size_t next = 0;  // where the next chunk must begin
  for (const Chunk& chunk : layout->chunks()) {
    if (chunk.offset != next) __builtin_trap();
    const std::size_t tag = chunk.offset + chunk.length;
    if (tag + CHUNK_TAG_SIZE > size) __builtin_trap();
    if (util::load_be32(data + tag) != chunk.id || util::load_be32(data + tag + 4) != chunk.length) {
      __builtin_trap();
    }
    if (layout->find(chunk.id)->offset > chunk.offset) __builtin_trap();
    next = tag + CHUNK_TAG_SIZE;
  }
  if (next != size) __builtin_trap();
  return 0;
}

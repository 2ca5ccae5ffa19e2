// Damaged copies of a PNG file, the ways a file is really damaged: cut short, bits flipped,
// chunks whose stated length lies, a header that states another size, compressed data scrambled
// behind a checksum that was made to match (so the damage reaches the decompressor instead of
// stopping at the chunk check).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace korvalis::testing {

using Bytes = std::vector<uint8_t>;

struct PngChunk {
    size_t offset = 0;  // of its length field
    uint32_t length = 0;
    std::string type;
};

// The chunks as far as the file can be walked; stops at the first that runs past the end.
std::vector<PngChunk> png_chunks(std::span<const uint8_t> png);
std::optional<PngChunk> first_chunk(std::span<const uint8_t> png, const std::string& type);
// Recomputes the checksum of the chunk whose length field is at `offset`.
void fix_chunk_crc(Bytes& png, size_t offset);

// One kind of damage, applied to a copy of a whole file.
struct Damage {
    std::string name;
    Bytes bytes;
    // True when no decoder may make a picture of it: the image data cannot be complete.
    bool never_decodes = false;
    // False when the damage changed the size the header states.
    bool keeps_size = true;
};

// Every kind of damage worth trying on this file; a few dozen, so that each file costs little.
std::vector<Damage> damaged_copies(std::span<const uint8_t> png);

}  // namespace korvalis::testing

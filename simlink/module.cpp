// Carrying out request blocks against a module's space of simulator variables. Start at
// serve_request_block(); everything it reads from the block is checked before it is used.
#include <cstring>

#include "simlink/module.h"

namespace korvalis {

namespace {

constexpr uint32_t handshake_first = handshake_module_version_offset;
constexpr uint32_t handshake_end = handshake_sim_word_offset + 4;  // one past 0x330B

bool fits(uint64_t start, uint64_t length, uint64_t size) {
    return start + length <= size;
}

}  // namespace

void space_put_u16(ModuleSpace& space, uint32_t offset, uint16_t value) {
    if (!fits(offset, 2, space.size())) return;
    space[offset] = static_cast<uint8_t>(value);
    space[offset + 1] = static_cast<uint8_t>(value >> 8);
}

void space_put_u32(ModuleSpace& space, uint32_t offset, uint32_t value) {
    if (!fits(offset, 4, space.size())) return;
    wire::put_u32(space.data() + offset, value);
}

uint16_t space_get_u16(const ModuleSpace& space, uint32_t offset) {
    if (!fits(offset, 2, space.size())) return 0;
    return static_cast<uint16_t>(space[offset] | space[offset + 1] << 8);
}

uint32_t space_get_u32(const ModuleSpace& space, uint32_t offset) {
    if (!fits(offset, 4, space.size())) return 0;
    return wire::get_u32(space.data() + offset);
}

void space_install_handshake(ModuleSpace& space, uint32_t module_version, uint16_t sim_version) {
    space_put_u32(space, handshake_module_version_offset, module_version);
    space_put_u32(space, handshake_sim_word_offset,
                  static_cast<uint32_t>(handshake_signature) << 16 | sim_version);
}

BlockOutcome serve_request_block(std::span<uint8_t> block, ModuleSpace& space) {
    BlockOutcome outcome;
    uint8_t* const base = block.data();
    const uint64_t size = block.size();
    uint64_t pos = 0;
    for (;;) {
        if (!fits(pos, 4, size)) break;  // no end marker inside the block
        const uint32_t kind = wire::load_shared_u32(base + pos);
        if (kind == request_kind_end) {
            outcome.answer = 1;
            break;
        }
        if (kind == request_kind_read) {
            if (!fits(pos, read_header_size, size)) break;
            const uint32_t offset = wire::load_shared_u32(base + pos + 4);
            const uint32_t length = wire::load_shared_u32(base + pos + 8);
            if (!fits(pos + read_header_size, length, size)) break;
            if (!fits(offset, length, space.size())) break;
            std::memcpy(base + pos + read_header_size, space.data() + offset, length);
            ++outcome.reads;
            pos += read_header_size + static_cast<uint64_t>(length);
        } else if (kind == request_kind_write) {
            if (!fits(pos, write_header_size, size)) break;
            const uint32_t offset = wire::load_shared_u32(base + pos + 4);
            const uint32_t length = wire::load_shared_u32(base + pos + 8);
            if (!fits(pos + write_header_size, length, size)) break;
            if (!fits(offset, length, space.size())) break;
            const uint8_t* data = base + pos + write_header_size;
            if (offset == handshake_client_version_offset && length == 2) {
                outcome.client_version = static_cast<uint32_t>(data[0] | data[1] << 8);
            }
            // Everything outside the handshake words is stored; those stay as the module set them.
            for (uint32_t i = 0; i < length; ++i) {
                const uint64_t at = static_cast<uint64_t>(offset) + i;
                if (at < handshake_first || at >= handshake_end) space[at] = data[i];
            }
            ++outcome.writes;
            pos += write_header_size + static_cast<uint64_t>(length);
        } else {
            break;
        }
    }
    outcome.end_position = static_cast<uint32_t>(pos < size ? pos : size);
    return outcome;
}

uint32_t stand_in_message_id(const char* name) {
    if (name == nullptr) return 0;
    const size_t length = std::strlen(name);
    if (length == 0 || length > 255) return 0;
    uint32_t hash = 2166136261u;  // FNV-1a, 32 bits
    for (size_t i = 0; i < length; ++i) {
        auto byte = static_cast<uint8_t>(name[i]);
        if (byte >= 'a' && byte <= 'z') byte = static_cast<uint8_t>(byte - 'a' + 'A');
        hash ^= byte;
        hash *= 16777619u;
    }
    return 0xC000u + hash % 0x4000u;
}

}  // namespace korvalis

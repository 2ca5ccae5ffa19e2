// Fuzzes both walks over a request block that another process wrote: the client's, after a
// hostile module has scribbled over the block it served, and the module's, over a block a
// hostile client filled. The client runs against the in-process module, which carries out the
// queued requests and then lets this fuzzer write whatever it likes into the block.
//
// The client must deliver into each caller's buffer at most the bytes that caller asked for,
// never anywhere else, and must work normally at the next exchange. The module must answer 0
// or 1, stop inside the block, and keep its handshake words.
//
// Input layout (every field optional; missing bytes read as zero):
//   byte 0      flags: bit 0 the module scribbles during the handshake too;
//                      bit 1 the scribble is the rest of the input laid over the block from
//                      byte 0, instead of a list of patches
//   byte 1      number of requests to queue, minus 1 (modulo 16)
//   4 per request:  mode (low 2 bits: 0 and 3 read into a buffer, 1 read with no destination,
//                   2 write; the next 2 bits add 64 KiB steps to the offset), offset (16 bits,
//                   little-endian), length (0 to 255)
//   the rest    the scribble: patches of (position, 16 bits little-endian; count, 1 byte; count
//               bytes), or the overlay; also the block the module walks for the second check
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <span>
#include <vector>

#include "simlink/in_process_module.h"
#include "simlink/module.h"
#include "simlink/simlink.h"

namespace {

using namespace korvalis;

constexpr size_t max_requests = 16;
constexpr size_t max_length = 255;
constexpr uint8_t untouched = 0xC5;  // what a buffer holds until the client writes into it

// A caller's buffer with a guard on either side.
struct Destination {
    std::array<uint8_t, 16> before;
    std::array<uint8_t, max_length> data;
    std::array<uint8_t, 16> after;
};

struct Input {
    std::span<const uint8_t> bytes;
    size_t at = 0;
    uint8_t byte() { return at < bytes.size() ? bytes[at++] : 0; }
    std::span<const uint8_t> rest() const { return bytes.subspan(std::min(at, bytes.size())); }
};

std::span<const uint8_t> scribble;
bool overlay = false;

void scribble_over(std::span<uint8_t> block) {
    if (overlay) {
        std::memcpy(block.data(), scribble.data(), std::min(scribble.size(), block.size()));
        return;
    }
    size_t at = 0;
    while (at + 3 <= scribble.size()) {
        const size_t position = (scribble[at] | scribble[at + 1] << 8) % block.size();
        const size_t count = scribble[at + 2];
        at += 3;
        const size_t available = std::min({count, scribble.size() - at, block.size() - position});
        std::memcpy(block.data() + position, scribble.data() + at, available);
        at += count;
    }
}

void set_tamper(bool on) {
    InProcessModule& module = in_process_module();
    if (on) {
        module.tamper = scribble_over;
    } else {
        module.tamper = nullptr;
    }
}

// The module's walk over a block a hostile client filled.
void check_module_walk(std::span<const uint8_t> bytes) {
    static std::array<uint8_t, request_block_size> block;
    block.fill(0);
    std::memcpy(block.data(), bytes.data(), std::min(bytes.size(), block.size()));
    static ModuleSpace space;
    space.fill(0);
    space_install_handshake(space, minimum_module_version, 14);
    const uint32_t version = space_get_u32(space, handshake_module_version_offset);
    const uint32_t word = space_get_u32(space, handshake_sim_word_offset);
    const BlockOutcome outcome = serve_request_block(block, space);
    if (outcome.answer > 1 || outcome.end_position > block.size() ||
        space_get_u32(space, handshake_module_version_offset) != version ||
        space_get_u32(space, handshake_sim_word_offset) != word) {
        std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const bool services = [] {
        use_ipc_services(&in_process_ipc_services());
        return true;
    }();
    (void)services;

    Input input{{data, size}};
    const uint8_t flags = input.byte();
    const size_t requests = input.byte() % max_requests + 1;
    struct Request {
        uint8_t mode;
        uint32_t offset;
        uint32_t length;
    };
    std::array<Request, max_requests> queue{};
    for (size_t i = 0; i < requests; ++i) {
        const uint8_t mode = input.byte();
        const uint32_t low = input.byte();
        const uint32_t high = input.byte();
        queue[i] = Request{mode, (low | high << 8) + ((mode >> 2) & 3u) * 0x10000u, input.byte()};
    }
    scribble = input.rest();
    overlay = (flags & 2) != 0;

    simlink_close();
    reset_in_process_module();
    InProcessModule& module = in_process_module();
    for (uint32_t i = 0; i < 64; ++i)
        space_put_u32(module.space, i * 4, 0x01010101u * i);
    space_put_u32(module.space, airspeed_offset, 250 * 128);

    set_tamper((flags & 1) != 0);
    SimLinkResult result = SimLinkResult::link_ok;
    const bool opened = simlink_open(0, &result);
    if (static_cast<uint32_t>(result) > 15) std::abort();
    if (opened) {
        set_tamper(true);
        static std::array<Destination, max_requests> buffers;
        for (Destination& b : buffers) {
            b.before.fill(0xB0);
            b.data.fill(untouched);
            b.after.fill(0xA0);
        }
        const std::array<uint8_t, max_length> source{};
        for (size_t i = 0; i < requests; ++i) {
            const Request& r = queue[i];
            switch (r.mode & 3) {
                case 1:
                    simlink_read(r.offset, r.length, nullptr, &result);
                    break;
                case 2:
                    simlink_write(r.offset, r.length, source.data(), &result);
                    break;
                default:
                    simlink_read(r.offset, r.length, buffers[i].data.data(), &result);
                    break;
            }
        }
        simlink_process(&result);
        if (static_cast<uint32_t>(result) > 15) std::abort();
        for (size_t i = 0; i < buffers.size(); ++i) {
            const Destination& b = buffers[i];
            for (uint8_t v : b.before)
                if (v != 0xB0) std::abort();
            for (uint8_t v : b.after)
                if (v != 0xA0) std::abort();
            // Only a read queued into this buffer may write, and only as far as it asked.
            const bool read_here =
                i < requests && (queue[i].mode & 3) != 1 && (queue[i].mode & 3) != 2;
            const size_t allowed = read_here ? queue[i].length : 0;
            for (size_t k = allowed; k < b.data.size(); ++k)
                if (b.data[k] != untouched) std::abort();
        }

        // Whatever the last block looked like, the next exchange is a normal one.
        set_tamper(false);
        const auto expected = static_cast<int32_t>(space_get_u32(module.space, airspeed_offset));
        int32_t airspeed = expected + 1;
        simlink_read(airspeed_offset, 4, &airspeed, &result);
        if (!simlink_process(&result) || airspeed != expected) std::abort();
    }
    simlink_close();
    set_tamper(false);

    check_module_walk(scribble);
    return 0;
}

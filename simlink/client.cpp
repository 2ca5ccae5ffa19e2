// The client side of the simulator IPC protocol: five operations over one SimLinkClient. Requests
// are queued straight into the shared request block; simlink_process() sends them in one
// exchange and copies the reads back. Start reading at simlink_open().
//
// The destination field of a read carries a token into this client's own record of queued
// reads, never an address: the walk after an exchange reads kinds, lengths and tokens from
// memory another process writes, and copies only what matches the record, so a wrong or hostile
// module can neither make the client read beyond the block nor write anywhere but into a
// caller's buffer, up to the length the caller queued.
#include <array>
#include <bit>
#include <cstdio>
#include <cstring>

#include "simlink/ipc_services.h"
#include "simlink/module.h"
#include "simlink/simlink.h"

namespace korvalis {

namespace {

static_assert(std::endian::native == std::endian::little,
              "read data is handed to callers in the wire's byte order");

constexpr uint32_t block_size = request_block_size;  // 32,768 bytes
constexpr uint32_t queue_limit = 0x7F00;  // no request may reach beyond it; the end marker fits
constexpr uint32_t capacity_margin = 16;  // added for reads and writes alike
constexpr uint32_t send_attempts = 9;
constexpr uint32_t send_timeout_ms = 2000;
constexpr uint32_t retry_pause_ms = 100;
constexpr uint32_t handshake_passes = 5;
constexpr uint32_t handshake_pause_ms = 100;
constexpr uint16_t client_version = 2002;
constexpr uint32_t max_queued_reads = queue_limit / read_header_size;

// One queued read with a destination; its token on the wire is its index + 1.
struct QueuedRead {
    uint32_t position = 0;  // byte position of the request in the block
    uint32_t length = 0;    // bytes the caller asked for
    void* destination = nullptr;
};

struct SimLinkClient {
    IpcWindow server_window = 0;    // the module's window
    uint32_t ipc_message = 0;       // id of "FsasmLib:IPC"
    uint16_t block_atom = 0;        // atom named after the block; 0 = none
    IpcMapping block_mapping = 0;   // the shared object; 0 = none
    uint8_t* block_base = nullptr;  // the mapped block; set exactly while the link is open
    uint8_t* write_pos = nullptr;   // where the next request goes
    uint32_t open_counter = 0;      // block names made by this process; never reset
    uint32_t module_version = 0;    // read from 0x3304 in the handshake
    uint32_t sim_version = 0;       // word at 0x3308; its low 16 bits once the checks pass
    std::array<QueuedRead, max_queued_reads> reads{};  // reads queued since the last exchange
    uint32_t read_count = 0;
};

SimLinkClient client;

bool fail(SimLinkResult* result, SimLinkResult code) {
    if (result != nullptr) *result = code;
    return false;
}

bool succeed(SimLinkResult* result) {
    if (result != nullptr) *result = SimLinkResult::link_ok;
    return true;
}

// The capacity rule, in 64 bits so that a huge length cannot wrap around.
bool request_fits(uint32_t length) {
    const uint64_t start = static_cast<uint64_t>(client.write_pos - client.block_base);
    return start + length + capacity_margin <= queue_limit;
}

// Delivers the data of the reads that match the record; see the note at the top of the file.
void copy_reads_back(uint32_t queued_reads) {
    uint8_t* const base = client.block_base;
    uint64_t pos = 0;
    while (pos + 4 <= block_size) {
        const uint32_t kind = wire::load_shared_u32(base + pos);
        if (kind == request_kind_end) return;
        if (kind == request_kind_read) {
            if (pos + read_header_size > block_size) return;
            const uint32_t length = wire::load_shared_u32(base + pos + 8);
            const uint32_t token = wire::load_shared_u32(base + pos + 12);
            if (token != 0 && length != 0 && token <= queued_reads) {
                const QueuedRead& read = client.reads[token - 1];
                // The record's position and length lie inside the queue, which lies inside the
                // block, so this copy stays in bounds whatever the module wrote.
                if (read.position == pos && read.length == length) {
                    std::memcpy(read.destination, base + pos + read_header_size, length);
                }
            }
            pos += read_header_size + static_cast<uint64_t>(length);
        } else if (kind == request_kind_write) {
            const uint32_t length =
                pos + write_header_size <= block_size ? wire::load_shared_u32(base + pos + 8) : 0;
            pos += write_header_size + static_cast<uint64_t>(length);
        } else {
            wire::store_shared_u32(base + pos, request_kind_end);
            return;
        }
    }
}

}  // namespace

bool simlink_open(uint32_t requested_sim, SimLinkResult* result) {
    const IpcServices& os = ipc_services();
    if (client.block_base != nullptr) return fail(result, SimLinkResult::link_already_open);
    client.module_version = 0;
    client.sim_version = 0;

    bool fallback = false;
    client.server_window = os.find_window(primary_window_class);
    if (client.server_window == 0) {
        client.server_window = os.find_window(fallback_window_class);
        fallback = true;
    }
    if (client.server_window == 0) return fail(result, SimLinkResult::link_no_server);

    client.ipc_message = os.register_message(ipc_message_name);
    if (client.ipc_message == 0) return fail(result, SimLinkResult::link_no_message);

    ++client.open_counter;
    char block_name[40];
    std::snprintf(block_name, sizeof block_name, "FsasmLib:IPC:%X:%X", os.process_id(),
                  client.open_counter);

    client.block_atom = os.add_atom(block_name);
    if (client.block_atom == 0) {
        simlink_close();
        return fail(result, SimLinkResult::link_no_atom);
    }
    client.block_mapping = os.create_block(block_name, block_size);
    if (client.block_mapping == 0 || os.last_error() == ipc_error_already_exists) {
        simlink_close();
        return fail(result, SimLinkResult::link_no_block);
    }
    auto* base = static_cast<uint8_t*>(os.map_block(client.block_mapping, block_size));
    if (base == nullptr) {
        simlink_close();
        return fail(result, SimLinkResult::link_no_view);
    }
    client.block_base = base;
    client.write_pos = base;
    client.read_count = 0;

    for (uint32_t pass = 0; pass < handshake_passes; ++pass) {
        if (client.module_version != 0 && client.sim_version != 0) break;
        SimLinkResult step = SimLinkResult::link_ok;
        const bool done =
            simlink_read(handshake_module_version_offset, 4, &client.module_version, &step) &&
            simlink_read(handshake_sim_word_offset, 4, &client.sim_version, &step) &&
            (pass != 0 || simlink_write(handshake_client_version_offset, sizeof client_version,
                                        &client_version, &step)) &&
            simlink_process(&step);
        if (!done) {
            simlink_close();
            return fail(result, step);
        }
        os.sleep_ms(handshake_pause_ms);
    }

    if (client.module_version < minimum_module_version ||
        (client.sim_version >> 16) != handshake_signature) {
        simlink_close();
        return fail(result, fallback ? SimLinkResult::link_bad_module_fallback
                                     : SimLinkResult::link_bad_module);
    }
    client.sim_version &= 0xFFFF;
    if (requested_sim != 0 && requested_sim != client.sim_version) {
        simlink_close();
        return fail(result, SimLinkResult::link_other_simulator);
    }
    return succeed(result);
}

bool simlink_read(uint32_t offset, uint32_t length, void* destination, SimLinkResult* result) {
    if (client.block_base == nullptr) return fail(result, SimLinkResult::link_not_open);
    if (!request_fits(length)) return fail(result, SimLinkResult::link_queue_full);

    const auto position = static_cast<uint32_t>(client.write_pos - client.block_base);
    uint32_t token = 0;
    if (destination != nullptr) {
        // A request takes at least 16 bytes of the queue, so the record never runs out first.
        client.reads[client.read_count] = QueuedRead{position, length, destination};
        token = ++client.read_count;
    }
    wire::put_u32(client.write_pos, request_kind_read);
    wire::put_u32(client.write_pos + 4, offset);
    wire::put_u32(client.write_pos + 8, length);
    wire::put_u32(client.write_pos + 12, token);
    std::memset(client.write_pos + read_header_size, 0, length);
    client.write_pos += read_header_size + length;
    return succeed(result);
}

bool simlink_write(uint32_t offset, uint32_t length, const void* source, SimLinkResult* result) {
    if (client.block_base == nullptr) return fail(result, SimLinkResult::link_not_open);
    if (!request_fits(length)) return fail(result, SimLinkResult::link_queue_full);

    wire::put_u32(client.write_pos, request_kind_write);
    wire::put_u32(client.write_pos + 4, offset);
    wire::put_u32(client.write_pos + 8, length);
    if (length != 0) {
        if (source != nullptr) {
            std::memcpy(client.write_pos + write_header_size, source, length);
        } else {
            std::memset(client.write_pos + write_header_size, 0, length);
        }
    }
    client.write_pos += write_header_size + length;
    return succeed(result);
}

bool simlink_process(SimLinkResult* result) {
    const IpcServices& os = ipc_services();
    if (client.block_base == nullptr) return fail(result, SimLinkResult::link_not_open);
    if (client.write_pos == client.block_base)
        return fail(result, SimLinkResult::link_nothing_queued);

    wire::put_u32(client.write_pos, request_kind_end);
    client.write_pos = client.block_base;
    // The queue is empty from here on, whatever the outcome; the record serves this walk only.
    const uint32_t queued_reads = client.read_count;
    client.read_count = 0;

    uint32_t answer = 0;
    bool delivered = false;
    for (uint32_t attempt = 0; attempt < send_attempts && !delivered; ++attempt) {
        delivered = os.send_message(client.server_window, client.ipc_message, client.block_atom, 0,
                                    send_timeout_ms, &answer);
        if (!delivered) os.sleep_ms(retry_pause_ms);
    }
    if (!delivered) {
        return fail(result, os.last_error() != 0 ? SimLinkResult::link_send_failed
                                                 : SimLinkResult::link_no_answer);
    }
    if (answer != 1) return fail(result, SimLinkResult::link_refused);

    copy_reads_back(queued_reads);
    return succeed(result);
}

void simlink_close() {
    const IpcServices& os = ipc_services();
    client.server_window = 0;
    client.ipc_message = 0;
    if (client.block_atom != 0) {
        os.delete_atom(client.block_atom);
        client.block_atom = 0;
    }
    if (client.block_base != nullptr) {
        os.unmap_block(client.block_base, block_size);
        client.block_base = nullptr;
    }
    if (client.block_mapping != 0) {
        os.close_block(client.block_mapping);
        client.block_mapping = 0;
    }
    client.read_count = 0;
}

}  // namespace korvalis

// The in-process module: see in_process_module.h. Every service takes the module's lock, so a
// test thread can change the module while the link workers use it.
#include "simlink/in_process_module.h"

#include <map>
#include <memory>

namespace korvalis {

namespace {

struct Block {
    std::unique_ptr<uint8_t[]> bytes;
    uint32_t size = 0;
    std::string name;
};

struct Tables {
    std::map<uint16_t, std::pair<std::string, int>> atoms;  // atom -> name, references
    std::map<IpcMapping, Block> blocks;
    uint16_t next_atom = 0xC000;
    IpcMapping next_mapping = 1;
};

InProcessModule module;
Tables tables;
std::mutex module_lock;
thread_local uint32_t last_error_value = 0;

bool equal_ignoring_case(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        auto upper = [](char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 32) : c; };
        if (upper(a[i]) != upper(b[i])) return false;
    }
    return true;
}

IpcWindow find_window(const char* class_name) {
    std::lock_guard hold(module_lock);
    if (module.window_class.empty() || !equal_ignoring_case(module.window_class, class_name)) {
        return 0;
    }
    return module.window;
}

uint32_t register_message(const char* name) {
    std::lock_guard hold(module_lock);
    if (module.fail_register) return 0;
    return stand_in_message_id(name);
}

uint16_t add_atom(const char* name) {
    std::lock_guard hold(module_lock);
    if (module.fail_atom) {
        last_error_value = ipc_error_not_enough_memory;
        return 0;
    }
    for (auto& [atom, entry] : tables.atoms) {
        if (equal_ignoring_case(entry.first, name)) {
            ++entry.second;
            return atom;
        }
    }
    const uint16_t atom = tables.next_atom++;
    if (tables.next_atom == 0) tables.next_atom = 0xC000;
    tables.atoms[atom] = {name, 1};
    ++module.live_atoms;
    return atom;
}

void delete_atom(uint16_t atom) {
    std::lock_guard hold(module_lock);
    auto found = tables.atoms.find(atom);
    if (found == tables.atoms.end()) return;
    if (--found->second.second == 0) {
        tables.atoms.erase(found);
        --module.live_atoms;
    }
}

IpcMapping create_block(const char* name, uint32_t size) {
    std::lock_guard hold(module_lock);
    if (module.fail_create) {
        last_error_value = ipc_error_not_enough_memory;
        return 0;
    }
    bool exists = module.name_exists;
    for (const auto& [handle, block] : tables.blocks)
        exists = exists || block.name == name;
    module.block_names.emplace_back(name);
    const IpcMapping handle = tables.next_mapping++;
    Block block;
    block.bytes = std::make_unique<uint8_t[]>(size);
    block.size = size;
    block.name = name;
    tables.blocks.emplace(handle, std::move(block));
    ++module.live_blocks;
    last_error_value = exists ? ipc_error_already_exists : ipc_error_none;
    return handle;
}

void* map_block(IpcMapping mapping, uint32_t size) {
    std::lock_guard hold(module_lock);
    auto found = tables.blocks.find(mapping);
    if (module.fail_map || found == tables.blocks.end() || size > found->second.size) {
        last_error_value = ipc_error_invalid_parameter;
        return nullptr;
    }
    ++module.live_views;
    return found->second.bytes.get();
}

void unmap_block(void* base, uint32_t) {
    std::lock_guard hold(module_lock);
    if (base != nullptr) --module.live_views;
}

void close_block(IpcMapping mapping) {
    std::lock_guard hold(module_lock);
    if (tables.blocks.erase(mapping) != 0) --module.live_blocks;
}

bool send_message(IpcWindow window, uint32_t message, uint32_t wparam, uint32_t, uint32_t,
                  uint32_t* answer) {
    std::lock_guard hold(module_lock);
    ++module.sends;
    if (module.window_class.empty() || window != module.window) {
        last_error_value = ipc_error_invalid_window;
        return false;
    }
    if (module.sends_fail || module.failing_sends != 0) {
        if (module.failing_sends != 0) --module.failing_sends;
        last_error_value = module.send_error;
        return false;
    }
    *answer = 0;
    if (message != stand_in_message_id(ipc_message_name)) return true;
    auto atom = tables.atoms.find(static_cast<uint16_t>(wparam));
    if (wparam > 0xFFFF || atom == tables.atoms.end()) return true;
    Block* block = nullptr;
    for (auto& [handle, b] : tables.blocks) {
        if (b.name == atom->second.first) block = &b;
    }
    if (block == nullptr) return true;
    if (module.forced_answer.has_value()) {
        *answer = *module.forced_answer;
        return true;
    }
    const std::span<uint8_t> bytes(block->bytes.get(), block->size);
    const BlockOutcome outcome = serve_request_block(bytes, module.space);
    ++module.served;
    if (outcome.client_version != 0) module.last_client_version = outcome.client_version;
    if (module.tamper) module.tamper(bytes);
    *answer = outcome.answer;
    return true;
}

uint32_t last_error() {
    return last_error_value;
}

void sleep_ms(uint32_t milliseconds) {
    std::lock_guard hold(module_lock);
    module.sleeps.push_back(milliseconds);
}

uint32_t process_id() {
    std::lock_guard hold(module_lock);
    return module.process_id;
}

constexpr IpcServices services{
    find_window, register_message, add_atom,     delete_atom, create_block, map_block,
    unmap_block, close_block,      send_message, last_error,  sleep_ms,     process_id,
};

}  // namespace

InProcessModule& in_process_module() {
    return module;
}

std::mutex& in_process_module_lock() {
    return module_lock;
}

void reset_in_process_module() {
    std::lock_guard hold(module_lock);
    const IpcWindow next_window = module.window + 1;
    module = InProcessModule{};
    module.window = next_window;
    space_install_handshake(module.space, minimum_module_version, 0x000E);
    tables = Tables{};
    last_error_value = 0;
}

void in_process_open_window(const char* window_class) {
    std::lock_guard hold(module_lock);
    module.window_class = window_class;
    ++module.window;
}

void in_process_close_window() {
    std::lock_guard hold(module_lock);
    module.window_class.clear();
    ++module.window;
}

const IpcServices& in_process_ipc_services() {
    return services;
}

}  // namespace korvalis

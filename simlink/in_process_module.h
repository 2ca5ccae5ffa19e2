// A simulated interface module that lives in the test process: an IpcServices table whose window,
// atoms, blocks and sends are plain data, with the faults the tests need switched on by hand. It
// carries out blocks with the same serve_request_block() as every other module, and it never
// sleeps: the client's pauses are recorded instead, so retry paths cost no time.
#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "simlink/ipc_services.h"
#include "simlink/module.h"

namespace korvalis {

struct InProcessModule {
    // The world the client finds.
    std::string window_class = primary_window_class;  // "" = no module window
    IpcWindow window = 1;  // handle of the current window; a new window gets a new one
    uint32_t process_id = 0x1A2C;
    ModuleSpace space{};  // handshake values installed by reset_in_process_module()

    // Faults.
    bool fail_register = false;  // register_message gives 0
    bool fail_atom = false;      // add_atom gives 0
    bool fail_create = false;    // create_block gives 0
    bool name_exists = false;    // create_block reports an existing name (and returns a handle)
    bool fail_map = false;       // map_block gives null
    uint32_t failing_sends = 0;  // this many sends fail before sends succeed again
    bool sends_fail = false;     // every send fails (a hung or vanished module)
    uint32_t send_error = ipc_error_timeout;  // last error a failed send leaves (0 is possible)
    std::optional<uint32_t> forced_answer;    // answer this without carrying out the block
    std::function<void(std::span<uint8_t>)> tamper;  // rewrites the block after serving it

    // What happened.
    uint32_t sends = 0;                    // send attempts, failed ones included
    uint32_t served = 0;                   // blocks carried out
    std::vector<uint32_t> sleeps;          // each pause the client asked for, in ms
    std::vector<std::string> block_names;  // every block name created, in order
    uint32_t last_client_version = 0;      // from the last block that wrote 0x330A
    int live_atoms = 0;
    int live_blocks = 0;
    int live_views = 0;
};

InProcessModule& in_process_module();
// Held by every service; tests hold it too while they change the module beside running workers.
std::mutex& in_process_module_lock();
// A fresh module serving "UIPCMAIN" with valid handshake values. Forgets blocks and atoms: call
// it only while the client holds none (after simlink_close).
void reset_in_process_module();
// Window comes and goes (the handle changes, so a client holding the old one fails with
// ipc_error_invalid_window); both take the lock.
void in_process_open_window(const char* window_class);
void in_process_close_window();

const IpcServices& in_process_ipc_services();

}  // namespace korvalis

// Which table of inter-process services the client uses: the platform's, unless a test has put
// the in-process module in its place.
#include "simlink/ipc_services.h"

namespace korvalis {

namespace {
// Swapped only while no worker runs (see use_ipc_services), so a plain pointer is enough.
const IpcServices* current_services = nullptr;
}  // namespace

const IpcServices& ipc_services() {
    return current_services != nullptr ? *current_services : platform_ipc_services();
}

void use_ipc_services(const IpcServices* services) {
    current_services = services;
}

}  // namespace korvalis

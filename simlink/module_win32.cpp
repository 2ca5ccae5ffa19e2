// A module's end of the simulator IPC protocol on Windows: a hidden top-level window of the
// module's class whose window procedure answers the message registered as "FsasmLib:IPC". The
// message's wParam is a global atom naming the client's request block; the block is opened by
// that name, mapped for the length of one message, handed to the owner's handler, and let go
// again. Holding no block between messages means a client that closes its link (or dies) frees
// its block at once, and a later client can never find its name still taken by us.
//
// Everything the client hands over is checked: the atom must be a string atom, its name must
// name a mapping that holds a whole request block. The block's content is the handler's to
// check (serve_request_block does).
#include <windows.h>

#include <cstring>
#include <new>
#include <string>

#include "simlink/module.h"

namespace korvalis {

namespace {

// How long a hung module keeps the client waiting: past the client's 2,000 ms time-out, but short
// of its next attempt (after a 100 ms pause), so that unanswered messages never pile up here.
constexpr DWORD hung_answer_ms = 2050;
constexpr ULONGLONG client_memory_ms = 2000;  // a block counts as a client this long after use
constexpr size_t remembered_atoms = 32;

struct SeenAtom {
    uint16_t atom = 0;
    ULONGLONG tick = 0;
};

}  // namespace

struct ModuleServer {
    HWND window = nullptr;
    std::string class_name;
    UINT message_id = 0;
    ModuleHandler handler = nullptr;  // set while serve_module_events runs
    void* context = nullptr;
    bool quit = false;
    ModuleServerStats stats;
    SeenAtom seen[remembered_atoms];
};

namespace {

void note_client(ModuleServer& server, uint16_t atom) {
    const ULONGLONG now = GetTickCount64();
    SeenAtom* oldest = &server.seen[0];
    for (SeenAtom& s : server.seen) {
        if (s.atom == atom) {
            s.tick = now;
            return;
        }
        if (s.tick < oldest->tick) oldest = &s;
    }
    *oldest = SeenAtom{atom, now};
}

uint32_t recent_clients(const ModuleServer& server) {
    const ULONGLONG now = GetTickCount64();
    uint32_t count = 0;
    for (const SeenAtom& s : server.seen) {
        if (s.atom != 0 && now - s.tick <= client_memory_ms) ++count;
    }
    return count;
}

// One message of the protocol: the answer for the client (0 = refused).
LRESULT serve_message(ModuleServer& server, WPARAM wparam) {
    ++server.stats.messages;
    // String atoms, which GlobalAddAtomA gives for names, lie in 0xC000..0xFFFF.
    if (wparam < 0xC000 || wparam > 0xFFFF) return 0;
    const auto atom = static_cast<ATOM>(wparam);
    char name[256];
    if (GlobalGetAtomNameA(atom, name, sizeof name) == 0) return 0;
    HANDLE mapping = OpenFileMappingA(FILE_MAP_WRITE, FALSE, name);
    if (mapping == nullptr) return 0;
    // Asking for the whole block fails for a smaller object, so a short one is never touched.
    void* view = MapViewOfFile(mapping, FILE_MAP_WRITE, 0, 0, request_block_size);
    if (view == nullptr) {
        CloseHandle(mapping);
        return 0;
    }
    note_client(server, atom);
    std::optional<uint32_t> answer;
    if (server.handler != nullptr) {
        answer = server.handler(
            server.context, std::span<uint8_t>(static_cast<uint8_t*>(view), request_block_size));
    } else {
        answer = 0;
    }
    UnmapViewOfFile(view);
    CloseHandle(mapping);
    if (!answer.has_value()) {
        // A window procedure cannot leave a message unanswered; a hung module answers too late.
        Sleep(hung_answer_ms);
        return 0;
    }
    ++server.stats.answers;
    return static_cast<LRESULT>(*answer);
}

LRESULT CALLBACK module_window_procedure(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
    auto* server = reinterpret_cast<ModuleServer*>(GetWindowLongPtrA(window, GWLP_USERDATA));
    if (server != nullptr) {
        if (message == server->message_id) return serve_message(*server, wparam);
        if (message == WM_CLOSE) {
            // Asked to end (by a user's tool or a test): the owner's loop ends cleanly.
            server->quit = true;
            return 0;
        }
    }
    return DefWindowProcA(window, message, wparam, lparam);
}

}  // namespace

ModuleServer* open_module_server(const char* window_class) {
    if (window_class == nullptr || *window_class == '\0' || std::strlen(window_class) > 255) {
        return nullptr;
    }
    // One module per class: the client takes the first window it finds.
    if (FindWindowExA(nullptr, nullptr, window_class, nullptr) != nullptr) return nullptr;
    const UINT message_id = RegisterWindowMessageA(ipc_message_name);
    if (message_id == 0) return nullptr;

    HINSTANCE instance = GetModuleHandleA(nullptr);
    WNDCLASSEXA window_class_info{};
    window_class_info.cbSize = sizeof window_class_info;
    window_class_info.lpfnWndProc = module_window_procedure;
    window_class_info.hInstance = instance;
    window_class_info.lpszClassName = window_class;
    if (RegisterClassExA(&window_class_info) == 0) return nullptr;

    auto* server = new (std::nothrow) ModuleServer;
    if (server == nullptr) {
        UnregisterClassA(window_class, instance);
        return nullptr;
    }
    server->class_name = window_class;
    server->message_id = message_id;
    // A top-level window that is never shown: clients find it by class, users never see it.
    server->window = CreateWindowExA(0, window_class, "korvalis-sim", WS_OVERLAPPED, 0, 0, 0, 0,
                                     nullptr, nullptr, instance, nullptr);
    if (server->window == nullptr) {
        UnregisterClassA(window_class, instance);
        delete server;
        return nullptr;
    }
    SetWindowLongPtrA(server->window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(server));
    return server;
}

int serve_module_events(ModuleServer* server, int timeout_ms, std::span<const int> watch_fds,
                        ModuleHandler handler, void* context) {
    // Windows has no descriptors to watch beside the message queue.
    if (server == nullptr || !watch_fds.empty()) return -1;
    if (server->quit) return -1;
    const DWORD wait = timeout_ms < 0 ? INFINITE : static_cast<DWORD>(timeout_ms);
    if (MsgWaitForMultipleObjectsEx(0, nullptr, wait, QS_ALLINPUT, MWMO_INPUTAVAILABLE) ==
        WAIT_FAILED) {
        return -1;
    }
    server->handler = handler;
    server->context = context;
    // Messages sent by clients are handed to the window procedure inside PeekMessage.
    MSG message;
    while (!server->quit && PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
        if (message.message == WM_QUIT) {
            server->quit = true;
            break;
        }
        TranslateMessage(&message);
        DispatchMessageA(&message);
    }
    server->handler = nullptr;
    server->context = nullptr;
    return server->quit ? -1 : 0;
}

ModuleServerStats module_server_stats(const ModuleServer* server) {
    if (server == nullptr) return ModuleServerStats{};
    ModuleServerStats stats = server->stats;
    stats.clients = recent_clients(*server);
    stats.blocks = 0;  // no block is held between messages
    return stats;
}

void close_module_server(ModuleServer* server) {
    if (server == nullptr) return;
    SetWindowLongPtrA(server->window, GWLP_USERDATA, 0);
    DestroyWindow(server->window);
    UnregisterClassA(server->class_name.c_str(), GetModuleHandleA(nullptr));
    delete server;
}

}  // namespace korvalis

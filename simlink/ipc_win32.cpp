// The inter-process services on Windows: the real Win32 calls, one line each, with the arguments
// the protocol asks for. Only the Windows build compiles this file.
#include <windows.h>

#include "simlink/ipc_services.h"

namespace korvalis {

namespace {

IpcWindow win32_find_window(const char* class_name) {
    return reinterpret_cast<IpcWindow>(FindWindowExA(nullptr, nullptr, class_name, nullptr));
}

uint32_t win32_register_message(const char* name) {
    return RegisterWindowMessageA(name);
}

uint16_t win32_add_atom(const char* name) {
    return GlobalAddAtomA(name);
}

void win32_delete_atom(uint16_t atom) {
    GlobalDeleteAtom(atom);
}

IpcMapping win32_create_block(const char* name, uint32_t size) {
    // Cleared first so that ERROR_ALREADY_EXISTS can only come from this call.
    SetLastError(ERROR_SUCCESS);
    HANDLE mapping =
        CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, size, name);
    return reinterpret_cast<IpcMapping>(mapping);
}

void* win32_map_block(IpcMapping mapping, uint32_t) {
    return MapViewOfFile(reinterpret_cast<HANDLE>(mapping), FILE_MAP_WRITE, 0, 0, 0);
}

void win32_unmap_block(void* base, uint32_t) {
    UnmapViewOfFile(base);
}

void win32_close_block(IpcMapping mapping) {
    CloseHandle(reinterpret_cast<HANDLE>(mapping));
}

bool win32_send_message(IpcWindow window, uint32_t message, uint32_t wparam, uint32_t lparam,
                        uint32_t timeout_ms, uint32_t* answer) {
    DWORD_PTR result = 0;
    const LRESULT delivered =
        SendMessageTimeoutA(reinterpret_cast<HWND>(window), message, static_cast<WPARAM>(wparam),
                            static_cast<LPARAM>(lparam), SMTO_BLOCK, timeout_ms, &result);
    if (delivered == 0) return false;
    // The protocol's answer is 32 bits; anything wider is not the 1 that means done.
    *answer = result <= 0xFFFFFFFFu ? static_cast<uint32_t>(result) : 0;
    return true;
}

uint32_t win32_last_error() {
    return GetLastError();
}

void win32_sleep_ms(uint32_t milliseconds) {
    Sleep(milliseconds);
}

uint32_t win32_process_id() {
    return GetCurrentProcessId();
}

constexpr IpcServices win32_services{
    win32_find_window,  win32_register_message, win32_add_atom,    win32_delete_atom,
    win32_create_block, win32_map_block,        win32_unmap_block, win32_close_block,
    win32_send_message, win32_last_error,       win32_sleep_ms,    win32_process_id,
};

}  // namespace

const IpcServices& platform_ipc_services() {
    return win32_services;
}

}  // namespace korvalis

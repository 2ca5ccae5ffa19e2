// The simulator link over the real Win32 services: the client (ipc_win32.cpp) against the module
// end (module_win32.cpp) served from a thread of the test, and against korvalis-sim.exe in a
// process of its own. Under Wine, atoms, named mappings, registered messages and
// SendMessageTimeoutA cross threads and processes as they do on Windows.
#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "simlink/ipc_services.h"
#include "simlink/module.h"
#include "simlink/simlink.h"
#include "tests/support/link_polling.h"

namespace korvalis {
namespace {

using Clock = std::chrono::steady_clock;
using testing::poll_values;
using testing::PolledValues;

// Wine answers more slowly than a native system.
bool eventually(const std::function<bool()>& condition) {
    return testing::eventually(condition, 10000, 20);
}

enum class Behaviour { serve, refuse, hang };

// A module served by a thread of the test: its window belongs to that thread, which pumps it.
class ThreadModule {
public:
    ThreadModule(const char* window_class, Behaviour behaviour) : behaviour_(behaviour) {
        space_install_handshake(space_, 0x40000000, 14);
        space_put_u32(space_, airspeed_offset, 150 * 128);
        space_put_u32(space_, max_speed_offset, 250 * 128);
        space_put_u16(space_, lights_offset, 0x20);
        thread_ = std::thread([this, window_class] { run(window_class); });
        while (state_ == 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ~ThreadModule() { stop(); }
    bool serving() const { return state_ == 1; }
    void stop() {
        stop_ = true;
        if (thread_.joinable()) thread_.join();
    }
    ModuleSpace& space() { return space_; }  // only while no exchange runs
    uint64_t answered() const { return answered_; }

private:
    static std::optional<uint32_t> handle(void* context, std::span<uint8_t> block) {
        auto* self = static_cast<ThreadModule*>(context);
        if (self->behaviour_ == Behaviour::hang) return std::nullopt;
        if (self->behaviour_ == Behaviour::refuse) return 0;
        ++self->answered_;
        return serve_request_block(block, self->space_).answer;
    }
    void run(const char* window_class) {
        ModuleServer* server = open_module_server(window_class);
        state_ = server != nullptr ? 1 : 2;
        if (server == nullptr) return;
        while (!stop_ && serve_module_events(server, 10, {}, handle, this) >= 0) {
        }
        close_module_server(server);
    }

    Behaviour behaviour_;
    ModuleSpace space_{};
    std::atomic<int> state_{0};  // 1 serving, 2 could not
    std::atomic<bool> stop_{false};
    std::atomic<uint64_t> answered_{0};
    std::thread thread_;
};

class Win32LinkTest : public ::testing::Test {
protected:
    void SetUp() override {
        use_ipc_services(nullptr);
        simlink_close();
        ASSERT_EQ(FindWindowExA(nullptr, nullptr, primary_window_class, nullptr), nullptr)
            << "another module is running in this Wine prefix";
        ASSERT_EQ(FindWindowExA(nullptr, nullptr, fallback_window_class, nullptr), nullptr);
    }
    void TearDown() override { simlink_close(); }
};

TEST_F(Win32LinkTest, OpensPollsAndFollowsTheModule) {
    ThreadModule module(primary_window_class, Behaviour::serve);
    ASSERT_TRUE(module.serving());
    SimLinkResult result = SimLinkResult::link_queue_full;
    ASSERT_TRUE(simlink_open(14, &result)) << static_cast<int>(result);
    EXPECT_EQ(space_get_u16(module.space(), handshake_client_version_offset), handshake_signature)
        << "the client's version write never lands on the signature later clients read";

    PolledValues v;
    ASSERT_TRUE(poll_values(v, &result)) << static_cast<int>(result);
    EXPECT_EQ(v.airspeed, 150 * 128);
    EXPECT_EQ(v.max_speed, 250 * 128);
    EXPECT_EQ(v.lights, 0x20);
    const uint64_t before = module.answered();
    for (int i = 0; i < 50; ++i)
        ASSERT_TRUE(poll_values(v, &result));
    EXPECT_EQ(module.answered(), before + 50);

    SimLinkResult again = SimLinkResult::link_ok;
    EXPECT_FALSE(simlink_open(0, &again));
    EXPECT_EQ(again, SimLinkResult::link_already_open);
    EXPECT_FALSE(simlink_process(&result));
    EXPECT_EQ(result, SimLinkResult::link_nothing_queued);
}

// The block names of this process that have a global atom now, and those whose mapping exists.
struct Leftovers {
    int atoms = 0;
    int mappings = 0;
};
Leftovers own_blocks() {
    Leftovers found;
    for (unsigned counter = 1; counter <= 400; ++counter) {
        char name[64];
        std::snprintf(name, sizeof name, "FsasmLib:IPC:%lX:%X", GetCurrentProcessId(), counter);
        if (GlobalFindAtomA(name) != 0) ++found.atoms;
        HANDLE mapping = OpenFileMappingA(FILE_MAP_READ, FALSE, name);
        if (mapping != nullptr) {
            ++found.mappings;
            CloseHandle(mapping);
        }
    }
    return found;
}

TEST_F(Win32LinkTest, CloseLeavesNeitherAtomNorBlock) {
    ThreadModule module(primary_window_class, Behaviour::serve);
    ASSERT_TRUE(module.serving());
    SimLinkResult result = SimLinkResult::link_ok;
    ASSERT_TRUE(simlink_open(0, &result));
    PolledValues v;
    ASSERT_TRUE(poll_values(v, &result));
    const Leftovers open = own_blocks();
    EXPECT_EQ(open.atoms, 1);
    EXPECT_EQ(open.mappings, 1);
    simlink_close();
    // The module holds no block between messages, so the object goes with the client's handle.
    const Leftovers closed = own_blocks();
    EXPECT_EQ(closed.atoms, 0);
    EXPECT_EQ(closed.mappings, 0);
    simlink_close();  // a second close does nothing
}

TEST_F(Win32LinkTest, OpenResultsByModule) {
    struct Case {
        const char* name;
        const char* window_class;  // nullptr: no module at all
        Behaviour behaviour;
        uint32_t requested_sim;
        SimLinkResult expected;
    };
    const Case cases[] = {
        {"no module", nullptr, Behaviour::serve, 0, SimLinkResult::link_no_server},
        {"fallback class", fallback_window_class, Behaviour::serve, 0, SimLinkResult::link_ok},
        {"other simulator", primary_window_class, Behaviour::serve, 15,
         SimLinkResult::link_other_simulator},
        {"refusing module", primary_window_class, Behaviour::refuse, 0,
         SimLinkResult::link_refused},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::optional<ThreadModule> module;
        if (c.window_class != nullptr) {
            module.emplace(c.window_class, c.behaviour);
            ASSERT_TRUE(module->serving());
        }
        SimLinkResult result = SimLinkResult::link_queue_full;
        EXPECT_EQ(simlink_open(c.requested_sim, &result), c.expected == SimLinkResult::link_ok);
        EXPECT_EQ(result, c.expected);
        simlink_close();
    }
}

TEST_F(Win32LinkTest, ANameTakenAlreadyIsNoBlock) {
    ThreadModule module(primary_window_class, Behaviour::serve);
    ASSERT_TRUE(module.serving());
    // Whatever this process's counter stands at, the next names are taken by someone else.
    std::vector<HANDLE> taken;
    for (unsigned counter = 1; counter <= 400; ++counter) {
        char name[64];
        std::snprintf(name, sizeof name, "FsasmLib:IPC:%lX:%X", GetCurrentProcessId(), counter);
        SetLastError(ERROR_SUCCESS);
        HANDLE h = CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 4096, name);
        if (h != nullptr && GetLastError() != ERROR_ALREADY_EXISTS) taken.push_back(h);
        if (h != nullptr && GetLastError() == ERROR_ALREADY_EXISTS) CloseHandle(h);
    }
    SimLinkResult result = SimLinkResult::link_ok;
    EXPECT_FALSE(simlink_open(0, &result));
    EXPECT_EQ(result, SimLinkResult::link_no_block);
    for (HANDLE h : taken)
        CloseHandle(h);
    EXPECT_TRUE(simlink_open(0, &result)) << static_cast<int>(result);
}

TEST_F(Win32LinkTest, TheModuleGoesAndComesBack) {
    std::optional<ThreadModule> module;
    module.emplace(primary_window_class, Behaviour::serve);
    ASSERT_TRUE(module->serving());
    SimLinkResult result = SimLinkResult::link_ok;
    ASSERT_TRUE(simlink_open(0, &result));
    module.reset();  // its window is destroyed

    PolledValues v;
    const auto lost_at = Clock::now();
    EXPECT_FALSE(poll_values(v, &result));
    // A window that is gone fails every attempt at once, with an error.
    EXPECT_EQ(result, SimLinkResult::link_send_failed);
    EXPECT_EQ(v.airspeed, -1) << "no destination is touched";
    EXPECT_LT(Clock::now() - lost_at, std::chrono::seconds(10));
    simlink_close();

    module.emplace(primary_window_class, Behaviour::serve);
    ASSERT_TRUE(module->serving());
    ASSERT_TRUE(simlink_open(0, &result)) << static_cast<int>(result);
    ASSERT_TRUE(poll_values(v, &result));
    EXPECT_EQ(v.airspeed, 150 * 128);
}

TEST_F(Win32LinkTest, AHungModuleTimesOutEveryAttempt) {
    ThreadModule module(primary_window_class, Behaviour::hang);
    ASSERT_TRUE(module.serving());
    SimLinkResult result = SimLinkResult::link_ok;
    const auto start = Clock::now();
    EXPECT_FALSE(simlink_open(0, &result));
    const auto took = Clock::now() - start;
    // Nine sends of the handshake's first exchange, each abandoned after its 2,000 ms, with the
    // time-out as the system's error.
    EXPECT_EQ(result, SimLinkResult::link_send_failed) << static_cast<int>(result);
    EXPECT_GE(took, std::chrono::milliseconds(9 * 2000 - 500));
    EXPECT_LT(took, std::chrono::seconds(60));
}

// Sends the protocol's message to the module's window straight, as a wrong or hostile client
// might: the module answers 0 and stays up.
LRESULT send_raw(HWND window, WPARAM wparam) {
    DWORD_PTR answer = 0xDEAD;
    if (SendMessageTimeoutA(window, RegisterWindowMessageA(ipc_message_name), wparam, 0, SMTO_BLOCK,
                            2000, &answer) == 0) {
        return -1;
    }
    return static_cast<LRESULT>(answer);
}

TEST_F(Win32LinkTest, TheModuleRefusesWhatItCannotServe) {
    ThreadModule module(primary_window_class, Behaviour::serve);
    ASSERT_TRUE(module.serving());
    HWND window = FindWindowExA(nullptr, nullptr, primary_window_class, nullptr);
    ASSERT_NE(window, nullptr);

    EXPECT_EQ(send_raw(window, 5), 0) << "not a string atom";
    EXPECT_EQ(send_raw(window, 0x1C000), 0) << "wider than an atom";
    const ATOM nameless = GlobalAddAtomA("korvalis-test:no-such-block");
    EXPECT_EQ(send_raw(window, nameless), 0) << "names no mapping";
    GlobalDeleteAtom(nameless);

    // A mapping smaller than a request block is never mapped, so never walked off its end.
    HANDLE small = CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 4096,
                                      "korvalis-test:small-block");
    ASSERT_NE(small, nullptr);
    const ATOM small_atom = GlobalAddAtomA("korvalis-test:small-block");
    EXPECT_EQ(send_raw(window, small_atom), 0);
    GlobalDeleteAtom(small_atom);
    CloseHandle(small);

    // A whole block with a read beyond the simulator's space: refused, and the earlier read done.
    HANDLE block = CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0,
                                      request_block_size, "korvalis-test:hostile-block");
    ASSERT_NE(block, nullptr);
    auto* base = static_cast<uint8_t*>(MapViewOfFile(block, FILE_MAP_WRITE, 0, 0, 0));
    ASSERT_NE(base, nullptr);
    wire::put_u32(base + 0, request_kind_read);
    wire::put_u32(base + 4, airspeed_offset);
    wire::put_u32(base + 8, 4);
    wire::put_u32(base + 12, 0);
    wire::put_u32(base + 20, request_kind_read);
    wire::put_u32(base + 24, module_space_size - 2);
    wire::put_u32(base + 28, 0xFFFFFFF0u);
    const ATOM block_atom = GlobalAddAtomA("korvalis-test:hostile-block");
    EXPECT_EQ(send_raw(window, block_atom), 0);
    EXPECT_EQ(wire::get_u32(base + 16), 150u * 128) << "the read before the bad one is done";
    GlobalDeleteAtom(block_atom);
    UnmapViewOfFile(base);
    CloseHandle(block);

    // And it still serves a proper client.
    SimLinkResult result = SimLinkResult::link_ok;
    ASSERT_TRUE(simlink_open(0, &result)) << static_cast<int>(result);
    PolledValues v;
    ASSERT_TRUE(poll_values(v, &result));
    EXPECT_EQ(v.airspeed, 150 * 128);
}

// korvalis-sim.exe in a process of its own, found by its window class.
class SimProcess {
public:
    ~SimProcess() { kill(); }
    bool start(const std::string& arguments) {
        std::string command = "\"" KORVALIS_SIM_PATH "\" --quiet " + arguments;
        STARTUPINFOA startup{};
        startup.cb = sizeof startup;
        if (CreateProcessA(nullptr, command.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW,
                           nullptr, nullptr, &startup, &process_) == 0) {
            return false;
        }
        return eventually(
            [] { return FindWindowExA(nullptr, nullptr, primary_window_class, nullptr); });
    }
    void kill() {
        if (process_.hProcess == nullptr) return;
        TerminateProcess(process_.hProcess, 9);
        WaitForSingleObject(process_.hProcess, 10000);
        CloseHandle(process_.hProcess);
        CloseHandle(process_.hThread);
        process_ = PROCESS_INFORMATION{};
    }
    // Asks the module's window to close, as a user's tool would; its exit code.
    DWORD close() {
        HWND window = FindWindowExA(nullptr, nullptr, primary_window_class, nullptr);
        if (window != nullptr) PostMessageA(window, WM_CLOSE, 0, 0);
        DWORD code = 0xFFFF;
        if (WaitForSingleObject(process_.hProcess, 10000) == WAIT_OBJECT_0) {
            GetExitCodeProcess(process_.hProcess, &code);
        }
        kill();
        return code;
    }

private:
    PROCESS_INFORMATION process_{};
};

TEST_F(Win32LinkTest, KorvalisSimServesAnotherProcess) {
    SimProcess sim;
    ASSERT_TRUE(sim.start("--ias 123 --max 234 --lights 0x20"));
    SimLinkResult result = SimLinkResult::link_ok;
    ASSERT_TRUE(simlink_open(14, &result)) << static_cast<int>(result);
    PolledValues v;
    ASSERT_TRUE(poll_values(v, &result));
    EXPECT_EQ(v.airspeed, 123 * 128);
    EXPECT_EQ(v.max_speed, 234 * 128);
    EXPECT_EQ(v.lights, 0x20);

    sim.kill();
    EXPECT_FALSE(poll_values(v, &result));
    EXPECT_EQ(result, SimLinkResult::link_send_failed);
    simlink_close();

    ASSERT_TRUE(sim.start("--ias 77"));
    ASSERT_TRUE(eventually([&] { return simlink_open(0, &result); })) << static_cast<int>(result);
    ASSERT_TRUE(poll_values(v, &result));
    EXPECT_EQ(v.airspeed, 77 * 128);
    simlink_close();
    EXPECT_EQ(sim.close(), 0u) << "korvalis-sim ends cleanly when its window is closed";
}

}  // namespace
}  // namespace korvalis

// The real path on this machine: the client over the POSIX stand-in, against korvalis-sim in
// another process and against a module served from a thread of the test. Connects, polls, loses
// the module, reconnects; checks time-outs, late answers, peer credentials, the shared-memory
// objects left behind (none), a hostile client and a hung module at exit.
#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>

#include "app/app.h"
#include "simlink/ipc_services.h"
#include "simlink/module.h"
#include "simlink/posix_transport.h"
#include "simlink/simlink.h"
#include "tests/simlink/sim_process.h"
#include "tests/support/link_polling.h"

namespace korvalis {
namespace {

using testing::eventually;
using testing::poll_values;
using testing::PolledValues;
using testing::shm_objects_with_prefix;
using testing::SimProcess;
using testing::test_namespace;
using testing::wait_for_child;
using Clock = std::chrono::steady_clock;

const IpcServices& os() {
    return platform_ipc_services();
}

std::string own_block_prefix() {
    char prefix[40];
    std::snprintf(prefix, sizeof prefix, "FsasmLib:IPC:%X:", static_cast<unsigned>(getpid()));
    return prefix;
}

class TransportTest : public ::testing::Test {
protected:
    void SetUp() override {
        test_namespace();
        use_ipc_services(nullptr);
        simlink_close();
    }
    void TearDown() override {
        simlink_close();
        EXPECT_TRUE(shm_objects_with_prefix(own_block_prefix()).empty())
            << "a shared-memory object outlived the link";
    }
    SimProcess sim;
};

TEST_F(TransportTest, OpenPollFollowAndClose) {
    ASSERT_TRUE(sim.start({"--stdin", "--ias", "100", "--max", "250", "--lights", "0x20"}));
    SimLinkResult result = SimLinkResult::link_queue_full;
    ASSERT_TRUE(simlink_open(14, &result)) << static_cast<int>(result);
    // The block's name was given up at once: nothing of ours is visible in /dev/shm.
    EXPECT_TRUE(shm_objects_with_prefix(own_block_prefix()).empty());

    PolledValues v;
    ASSERT_TRUE(poll_values(v, &result));
    EXPECT_EQ(v.airspeed, 100 * 128);
    EXPECT_EQ(v.max_speed, 250 * 128);
    EXPECT_EQ(v.lights, 0x20);

    ASSERT_TRUE(sim.send_line("ias=200.5 max=-3 lights=0"));
    EXPECT_TRUE(eventually([&] { return poll_values(v, &result) && v.airspeed == 25664; }));
    EXPECT_EQ(v.max_speed, -3 * 128);
    EXPECT_EQ(v.lights, 0);
    simlink_close();
    EXPECT_EQ(sim.stop(), 0) << "korvalis-sim ends cleanly on SIGTERM";
}

TEST_F(TransportTest, LoseTheModuleAndReconnect) {
    ASSERT_TRUE(sim.start({"--ias", "120"}));
    SimLinkResult result = SimLinkResult::link_ok;
    ASSERT_TRUE(simlink_open(0, &result));
    PolledValues v;
    ASSERT_TRUE(poll_values(v, &result));
    EXPECT_EQ(v.airspeed, 120 * 128);

    sim.kill_hard();
    const auto lost_at = Clock::now();
    PolledValues after;
    after.airspeed = -1;
    EXPECT_FALSE(poll_values(after, &result));
    // A vanished window fails every attempt at once, with an error: nine attempts, nine pauses.
    EXPECT_EQ(result, SimLinkResult::link_send_failed);
    EXPECT_EQ(after.airspeed, -1);
    EXPECT_LT(Clock::now() - lost_at, std::chrono::seconds(5));
    simlink_close();
    EXPECT_FALSE(simlink_open(0, &result));
    EXPECT_EQ(result, SimLinkResult::link_no_server);

    ASSERT_TRUE(sim.start({"--ias", "130"}));
    ASSERT_TRUE(simlink_open(0, &result)) << static_cast<int>(result);
    ASSERT_TRUE(poll_values(v, &result));
    EXPECT_EQ(v.airspeed, 130 * 128);
}

struct SimFaultCase {
    const char* name;
    std::vector<std::string> options;
    SimLinkResult open_result;
    bool lights_arrive;  // when open succeeds: does the last read of a poll come back?
};

TEST_F(TransportTest, ModuleFaults) {
    const SimFaultCase cases[] = {
        {"fallback class", {"--class", "FS98MAIN"}, SimLinkResult::link_ok, true},
        {"bad version", {"--fault", "bad-version"}, SimLinkResult::link_bad_module, false},
        {"bad version, fallback class",
         {"--class", "FS98MAIN", "--fault", "bad-version"},
         SimLinkResult::link_bad_module_fallback,
         false},
        {"bad signature", {"--fault", "bad-signature"}, SimLinkResult::link_bad_module, false},
        {"refuses", {"--fault", "refuse"}, SimLinkResult::link_refused, false},
        {"other simulator", {"--sim-version", "9"}, SimLinkResult::link_other_simulator, false},
        {"garbage kind", {"--fault", "garbage-kind"}, SimLinkResult::link_ok, false},
        {"garbage length", {"--fault", "garbage-length"}, SimLinkResult::link_ok, false},
        {"garbage destination",
         {"--fault", "garbage-destination"},
         SimLinkResult::link_bad_module,
         false},
    };
    for (const SimFaultCase& c : cases) {
        SCOPED_TRACE(c.name);
        simlink_close();
        std::vector<std::string> options = c.options;
        options.insert(options.end(), {"--ias", "150", "--lights", "0x20"});
        ASSERT_TRUE(sim.start(options));
        SimLinkResult result = SimLinkResult::link_ok;
        const uint32_t requested = c.open_result == SimLinkResult::link_other_simulator ? 14 : 0;
        EXPECT_EQ(simlink_open(requested, &result), c.open_result == SimLinkResult::link_ok);
        EXPECT_EQ(result, c.open_result);
        if (c.open_result == SimLinkResult::link_ok) {
            PolledValues v;
            ASSERT_TRUE(poll_values(v, &result));
            EXPECT_EQ(v.airspeed, 150 * 128);
            // A spoiled read leaves its destination as it was.
            EXPECT_EQ(v.lights, c.lights_arrive ? 0x20 : 0xFFFF);
        }
        simlink_close();
        sim.stop();
    }
}

TEST_F(TransportTest, SecondModuleCannotTakeAClassInUse) {
    ASSERT_TRUE(sim.start({}));
    SimProcess second;
    EXPECT_FALSE(second.start({}));
}

// --- The services directly, against a module served from a thread of this test -------------

class ServedModule {
public:
    using Handler = std::function<std::optional<uint32_t>(std::span<uint8_t>)>;
    explicit ServedModule(Handler handler, const char* window_class = "KVTEST")
        : handler_(std::move(handler)) {
        server_ = open_module_server(window_class);
        if (server_ != nullptr) thread_ = std::thread([this] { run(); });
    }
    ~ServedModule() { close(); }
    bool serving() const { return server_ != nullptr; }
    void close() {
        stop_.store(true);
        if (thread_.joinable()) thread_.join();
        close_module_server(server_);
        server_ = nullptr;
    }
    uint32_t blocks() const { return blocks_.load(); }

private:
    static std::optional<uint32_t> call(void* self, std::span<uint8_t> block) {
        return static_cast<ServedModule*>(self)->handler_(block);
    }
    void run() {
        while (!stop_.load()) {
            serve_module_events(server_, 10, {}, call, this);
            blocks_.store(module_server_stats(server_).blocks);
        }
    }
    Handler handler_;
    ModuleServer* server_ = nullptr;
    std::thread thread_;
    std::atomic<bool> stop_{false};
    std::atomic<uint32_t> blocks_{0};
};

// A block of our own, announced under an atom, for sending straight through the services.
struct RawLink {
    uint16_t atom = 0;
    IpcMapping mapping = 0;
    uint8_t* base = nullptr;
    explicit RawLink(const char* name) {
        atom = os().add_atom(name);
        mapping = os().create_block(name, request_block_size);
        if (mapping != 0) base = static_cast<uint8_t*>(os().map_block(mapping, request_block_size));
        if (base != nullptr) wire::put_u32(base, 0);  // an empty block: answered 1 by serving it
    }
    ~RawLink() {
        os().delete_atom(atom);
        if (base != nullptr) os().unmap_block(base, request_block_size);
        if (mapping != 0) os().close_block(mapping);
    }
};

TEST_F(TransportTest, FindWindowIgnoresCaseAndFollowsTheModule) {
    EXPECT_EQ(os().find_window("KVTEST"), 0u);
    ServedModule module([](std::span<uint8_t>) { return std::optional<uint32_t>(1); });
    ASSERT_TRUE(module.serving());
    const IpcWindow window = os().find_window("kvTest");
    EXPECT_NE(window, 0u);
    EXPECT_EQ(os().find_window("KVTEST"), window) << "one window, one handle";
    EXPECT_EQ(os().register_message(ipc_message_name), stand_in_message_id(ipc_message_name));

    RawLink link("KvTestBlock1");
    ASSERT_NE(link.base, nullptr);
    uint32_t answer = 0;
    EXPECT_TRUE(os().send_message(window, os().register_message(ipc_message_name), link.atom, 0,
                                  2000, &answer));
    EXPECT_EQ(answer, 1u);
    EXPECT_TRUE(eventually([&] { return module.blocks() == 1; }));
    // A message the module does not know is answered 0, as a window's default handling does.
    EXPECT_TRUE(os().send_message(window, 0xC001, link.atom, 0, 2000, &answer));
    EXPECT_EQ(answer, 0u);

    module.close();
    EXPECT_FALSE(os().send_message(window, os().register_message(ipc_message_name), link.atom, 0,
                                   2000, &answer));
    EXPECT_EQ(os().last_error(), ipc_error_invalid_window);
    EXPECT_EQ(os().find_window("KVTEST"), 0u);
}

TEST_F(TransportTest, TimeOutThenLateAnswerIsNotMistaken) {
    std::atomic<int> calls{0};
    ServedModule module([&](std::span<uint8_t>) -> std::optional<uint32_t> {
        if (calls.fetch_add(1) == 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(400));
            return 7;  // too late for the first send
        }
        return 1;
    });
    ASSERT_TRUE(module.serving());
    RawLink link("KvTestBlock2");
    const IpcWindow window = os().find_window("KVTEST");
    const uint32_t message = os().register_message(ipc_message_name);
    uint32_t answer = 0;
    const auto start = Clock::now();
    EXPECT_FALSE(os().send_message(window, message, link.atom, 0, 150, &answer));
    EXPECT_EQ(os().last_error(), ipc_error_timeout);
    EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(140));
    EXPECT_TRUE(os().send_message(window, message, link.atom, 0, 2000, &answer));
    EXPECT_EQ(answer, 1u) << "the late answer 7 belongs to the first send";
}

TEST_F(TransportTest, ModuleClosingMidWaitFailsAtOnce) {
    std::atomic<bool> entered{false};
    ServedModule module([&](std::span<uint8_t>) -> std::optional<uint32_t> {
        entered.store(true);
        return std::nullopt;  // hung
    });
    RawLink link("KvTestBlock3");
    const IpcWindow window = os().find_window("KVTEST");
    std::thread closer([&] {
        eventually([&] { return entered.load(); });
        module.close();
    });
    uint32_t answer = 0;
    const auto start = Clock::now();
    EXPECT_FALSE(os().send_message(window, os().register_message(ipc_message_name), link.atom, 0,
                                   5000, &answer));
    closer.join();
    EXPECT_EQ(os().last_error(), ipc_error_invalid_window);
    EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(4000));
}

TEST_F(TransportTest, BlockIsPrivateExclusiveAndNamelessOnceCreated) {
    const std::string name = "KvTestExclusive" + std::to_string(getpid());
    const IpcMapping mapping = os().create_block(name.c_str(), request_block_size);
    ASSERT_NE(mapping, 0u);
    EXPECT_EQ(os().last_error(), ipc_error_none);
    EXPECT_TRUE(shm_objects_with_prefix(name).empty()) << "the name is given up at once";
    // Mode 0600: look at the object through this process's descriptors.
    bool seen = false;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
        std::error_code error;
        const std::string target = std::filesystem::read_symlink(entry.path(), error).string();
        if (target.find(name) == std::string::npos) continue;
        struct stat info {};
        ASSERT_EQ(stat(entry.path().c_str(), &info), 0);
        EXPECT_EQ(info.st_mode & 0777, 0600u);
        EXPECT_EQ(info.st_size, request_block_size);
        seen = true;
    }
    EXPECT_TRUE(seen);
    os().close_block(mapping);

    // An object that exists under the name makes creation fail with "already exists".
    const int fd = shm_open(("/" + name).c_str(), O_CREAT | O_EXCL | O_RDWR, 0600);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(os().create_block(name.c_str(), request_block_size), 0u);
    EXPECT_EQ(os().last_error(), ipc_error_already_exists);
    close(fd);
    shm_unlink(("/" + name).c_str());
    EXPECT_EQ(os().create_block("a/b", request_block_size), 0u);
}

TEST_F(TransportTest, CrashedClientLeavesNothingBehind) {
    ASSERT_TRUE(sim.start({"--ias", "90"}));
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        SimLinkResult result = SimLinkResult::link_ok;
        if (!simlink_open(0, &result)) _exit(3);
        raise(SIGKILL);  // dies with the link open
        _exit(4);
    }
    const int status = wait_for_child(child, 10000);
    ASSERT_TRUE(WIFSIGNALED(status)) << "status " << status;
    char prefix[40];
    std::snprintf(prefix, sizeof prefix, "FsasmLib:IPC:%X:", static_cast<unsigned>(child));
    EXPECT_TRUE(shm_objects_with_prefix(prefix).empty());
    SimLinkResult result = SimLinkResult::link_ok;
    ASSERT_TRUE(simlink_open(0, &result)) << static_cast<int>(result);
    PolledValues v;
    EXPECT_TRUE(poll_values(v, &result));
    EXPECT_EQ(v.airspeed, 90 * 128);
}

// Runs fn in a child that has become another user; its exit code is fn's result.
int as_other_user(const std::function<int()>& fn) {
    const pid_t child = fork();
    if (child == 0) {
        if (setgid(65534) != 0 || setuid(65534) != 0) _exit(99);
        _exit(fn());
    }
    const int status = wait_for_child(child, 15000);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST_F(TransportTest, OnlyTheSameUserServesOrIsServed) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to become another user";
    // A module of another user is no window for us.
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    const pid_t module_child = fork();
    ASSERT_GE(module_child, 0);
    if (module_child == 0) {
        if (setgid(65534) != 0 || setuid(65534) != 0) _exit(99);
        ModuleServer* server = open_module_server("UIPCMAIN");
        const char byte = server != nullptr ? 1 : 0;
        if (write(ready[1], &byte, 1) != 1) _exit(98);
        for (int i = 0; i < 300; ++i) {
            serve_module_events(
                server, 10, {},
                [](void*, std::span<uint8_t>) { return std::optional<uint32_t>(1); }, nullptr);
        }
        _exit(0);
    }
    char byte = 0;
    ASSERT_EQ(read(ready[0], &byte, 1), 1);
    ASSERT_EQ(byte, 1);
    SimLinkResult result = SimLinkResult::link_ok;
    EXPECT_FALSE(simlink_open(0, &result));
    EXPECT_EQ(result, SimLinkResult::link_no_server);
    kill(module_child, SIGKILL);
    wait_for_child(module_child, 5000);
    close(ready[0]);
    close(ready[1]);

    // A client of another user finds no window, and a raw connection gets no answer.
    ASSERT_TRUE(sim.start({}));
    const int code = as_other_user([] {
        if (platform_ipc_services().find_window("UIPCMAIN") != 0) return 1;
        char name[108];
        const size_t length = transport::window_socket_name("UIPCMAIN", name, sizeof name - 1);
        const int fd = socket(AF_UNIX, SOCK_SEQPACKET, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::memcpy(address.sun_path + 1, name, length);
        if (connect(fd, reinterpret_cast<sockaddr*>(&address),
                    static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + length)) != 0) {
            return 0;  // refused outright is fine too
        }
        uint8_t frame[transport::send_frame_size] = {};
        wire::put_u32(frame, transport::frame_send);
        (void)send(fd, frame, sizeof frame, MSG_NOSIGNAL);
        timeval wait{3, 0};
        setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
        uint8_t reply[64];
        const ssize_t got = recv(fd, reply, sizeof reply, 0);
        // Closed by the module: an end of stream, or a reset when our frame was still unread.
        return got == 0 || (got < 0 && errno == ECONNRESET) ? 0 : 2;
    });
    EXPECT_EQ(code, 0);
}

// --- A hostile client against korvalis-sim ---------------------------------------------------

int connect_raw() {
    char name[108];
    const size_t length = transport::window_socket_name("UIPCMAIN", name, sizeof name - 1);
    const int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path + 1, name, length);
    if (connect(fd, reinterpret_cast<sockaddr*>(&address),
                static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + length)) != 0) {
        close(fd);
        return -1;
    }
    timeval wait{2, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
    return fd;
}

bool send_with_fds(int socket_fd, const std::vector<uint8_t>& frame, const std::vector<int>& fds) {
    iovec io{const_cast<uint8_t*>(frame.data()), frame.size()};
    std::vector<char> control(CMSG_SPACE(sizeof(int) * (fds.empty() ? 1 : fds.size())));
    msghdr message{};
    message.msg_iov = &io;
    message.msg_iovlen = 1;
    if (!fds.empty()) {
        message.msg_control = control.data();
        message.msg_controllen = CMSG_SPACE(sizeof(int) * fds.size());
        cmsghdr* header = CMSG_FIRSTHDR(&message);
        header->cmsg_level = SOL_SOCKET;
        header->cmsg_type = SCM_RIGHTS;
        header->cmsg_len = CMSG_LEN(sizeof(int) * fds.size());
        std::memcpy(CMSG_DATA(header), fds.data(), sizeof(int) * fds.size());
    }
    return sendmsg(socket_fd, &message, MSG_NOSIGNAL) == static_cast<ssize_t>(frame.size());
}

std::vector<uint8_t> atom_frame(uint32_t atom, const std::string& name, uint32_t claimed_length) {
    std::vector<uint8_t> frame(transport::atom_frame_header + name.size());
    wire::put_u32(frame.data(), transport::frame_atom);
    wire::put_u32(frame.data() + 4, atom);
    wire::put_u32(frame.data() + 8, claimed_length);
    std::memcpy(frame.data() + transport::atom_frame_header, name.data(), name.size());
    return frame;
}

std::vector<uint8_t> send_frame(uint32_t seq, uint32_t atom) {
    std::vector<uint8_t> frame(transport::send_frame_size);
    wire::put_u32(frame.data(), transport::frame_send);
    wire::put_u32(frame.data() + 4, seq);
    wire::put_u32(frame.data() + 8, stand_in_message_id(ipc_message_name));
    wire::put_u32(frame.data() + 12, atom);
    return frame;
}

// The answer to seq, or -1 when none came within the receive time-out.
int64_t answer_to(int fd, uint32_t seq) {
    uint8_t reply[64];
    for (;;) {
        const ssize_t got = recv(fd, reply, sizeof reply, 0);
        if (got <= 0) return -1;
        if (got == 12 && wire::get_u32(reply + 4) == seq) return wire::get_u32(reply + 8);
    }
}

int memfd_of_size(off_t size) {
    const int fd = memfd_create("kvtest", MFD_CLOEXEC);
    if (fd >= 0 && ftruncate(fd, size) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

TEST_F(TransportTest, HostileClientCannotHurtTheModule) {
    ASSERT_TRUE(sim.start({"--ias", "77"}));
    const int fd = connect_raw();
    ASSERT_GE(fd, 0);
    const int small = memfd_of_size(10);
    const int block = memfd_of_size(request_block_size);
    ASSERT_GE(small, 0);
    ASSERT_GE(block, 0);

    // Noise: empty, short, oversized and unknown frames, descriptors where none belong.
    EXPECT_TRUE(send_with_fds(fd, {1}, {}));
    EXPECT_TRUE(send_with_fds(fd, std::vector<uint8_t>(4000, 0xFF), {small, small, small}));
    EXPECT_TRUE(send_with_fds(fd, atom_frame(0xC000, "x", 200), {block}));  // length lies
    EXPECT_TRUE(send_with_fds(fd, send_frame(1, 0xC000), {block}));
    EXPECT_EQ(answer_to(fd, 1), 0) << "an unknown atom is refused";

    // A block too small to be a request block is not mapped.
    EXPECT_TRUE(send_with_fds(fd, atom_frame(0xC001, "small", 5), {small}));
    EXPECT_TRUE(send_with_fds(fd, send_frame(2, 0xC001), {}));
    EXPECT_EQ(answer_to(fd, 2), 0);

    // A real block with requests that reach beyond the space or the block.
    auto* base = static_cast<uint8_t*>(
        mmap(nullptr, request_block_size, PROT_READ | PROT_WRITE, MAP_SHARED, block, 0));
    ASSERT_NE(base, MAP_FAILED);
    EXPECT_TRUE(send_with_fds(fd, atom_frame(0xC002, "block", 5), {block}));
    const uint32_t bad[][4] = {
        {1, 0xFFFF, 8, 0}, {2, 0xFFFFFFFF, 4, 0}, {1, 0, 0xFFFFFFF0, 0}, {9, 0, 0, 0}};
    uint32_t seq = 10;
    for (const auto& request : bad) {
        for (int i = 0; i < 4; ++i)
            wire::put_u32(base + 4 * i, request[i]);
        EXPECT_TRUE(send_with_fds(fd, send_frame(seq, 0xC002), {}));
        EXPECT_EQ(answer_to(fd, seq), 0);
        ++seq;
    }
    // A well-formed read still works on the same block.
    const uint32_t good[] = {1, airspeed_offset, 4, 0, 0};
    for (int i = 0; i < 5; ++i)
        wire::put_u32(base + 4 * i, good[i]);
    EXPECT_TRUE(send_with_fds(fd, send_frame(seq, 0xC002), {}));
    EXPECT_EQ(answer_to(fd, seq), 1);
    EXPECT_EQ(wire::get_u32(base + 16), 77u * 128);
    // The block shrinks behind the module's back: refused, not a crash.
    ASSERT_EQ(ftruncate(block, 16), 0);
    ++seq;
    EXPECT_TRUE(send_with_fds(fd, send_frame(seq, 0xC002), {}));
    EXPECT_EQ(answer_to(fd, seq), 0);
    munmap(base, request_block_size);
    close(small);
    close(block);

    // More connections than it keeps: the extra ones are turned away, nothing else happens.
    std::vector<int> crowd;
    for (int i = 0; i < 40; ++i)
        crowd.push_back(connect_raw());
    for (int c : crowd) {
        if (c >= 0) close(c);
    }
    close(fd);

    SimLinkResult result = SimLinkResult::link_ok;
    ASSERT_TRUE(eventually([&] { return simlink_open(0, &result); })) << static_cast<int>(result);
    PolledValues v;
    EXPECT_TRUE(poll_values(v, &result));
    EXPECT_EQ(v.airspeed, 77 * 128);
}

// --- The workers over the real transport -----------------------------------------------------

TEST_F(TransportTest, WorkersConnectFollowLoseAndReconnect) {
    ASSERT_TRUE(sim.start({"--stdin", "--ias", "60", "--max", "250", "--lights", "0x20"}));
    InstrumentState& s = instrument_state;
    reset_instrument_state();
    create_link_lock();
    const WorkerId connection = start_connection_worker();
    ASSERT_NE(connection, no_worker);
    WorkerId poll = no_worker;
    // The frame loop's part: one poll_worker while connected, none otherwise.
    auto frame_loop_step = [&] {
        const bool connected = s.connected.load(std::memory_order_relaxed) != 0;
        if (connected && !poll_worker_running(poll)) poll = start_poll_worker();
        if (!connected && poll_worker_running(poll)) {
            stop_poll_worker(poll);
            poll = no_worker;
        }
    };
    auto until = [&](const std::function<bool()>& condition, int timeout_ms) {
        return eventually(
            [&] {
                frame_loop_step();
                return condition();
            },
            timeout_ms);
    };
    EXPECT_TRUE(until([&] { return s.airspeed_raw.load() == 60 * 128; }, 5000));
    EXPECT_EQ(s.max_speed_raw.load(), 250 * 128);
    EXPECT_EQ(s.lights.load(), 0x20);

    ASSERT_TRUE(sim.send_line("ias=61"));
    EXPECT_TRUE(until([&] { return s.airspeed_raw.load() == 61 * 128; }, 5000));

    sim.kill_hard();
    EXPECT_TRUE(until([&] { return s.connected.load() == 0 && poll == no_worker; }, 5000));
    EXPECT_EQ(s.airspeed_raw.load(), 61 * 128) << "the last values stay";

    ASSERT_TRUE(sim.start({"--ias", "62"}));
    EXPECT_TRUE(until([&] { return s.airspeed_raw.load() == 62 * 128; }, 5000));
    EXPECT_TRUE(poll_worker_running(poll));

    stop_poll_worker(poll);
    stop_connection_worker(connection);
    simlink_close();
}

TEST_F(TransportTest, HungModuleNeverDelaysTheExit) {
    ASSERT_TRUE(sim.start({"--fault", "silent"}));
    int closing[2];
    ASSERT_EQ(pipe(closing), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        create_link_lock();
        start_connection_worker();  // stays inside a 2 s wait for the silent module
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        const char byte = 1;
        if (write(closing[1], &byte, 1) != 1) _exit(5);
        std::_Exit(0);  // what the instrument does after saving its settings
    }
    close(closing[1]);
    char byte = 0;
    ASSERT_EQ(read(closing[0], &byte, 1), 1);
    const auto start = Clock::now();
    const int status = wait_for_child(child, 10000);
    close(closing[0]);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    // A join, or anything else that waited for the worker, would take the rest of a 2 s wait.
    EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(1000));
}

}  // namespace
}  // namespace korvalis

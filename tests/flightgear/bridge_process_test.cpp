// korvalis-fgbridge as a process, fed datagrams the way FlightGear sends them and read by the
// instrument's own IPC client over the stand-in transport: it is a module only while good
// packets arrive, serves exactly what they say, and ignores everything else.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "simlink/ipc_services.h"
#include "simlink/module.h"
#include "simlink/simlink.h"
#include "tests/support/child_process.h"
#include "tests/support/link_polling.h"

namespace korvalis {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;
using testing::eventually;
using testing::poll_values;
using testing::PolledValues;

const std::string& test_namespace() {
    static const std::string word = [] {
        std::string w = "fg" + std::to_string(getpid());
        set_ipc_namespace(w.c_str());
        return w;
    }();
    return word;
}

// The bridge as a child process on a free port, in this test's namespace; always ended.
// Not copyable, and ended with its ChildProcess.
class BridgeProcess {
public:
    // Starts it and waits for the port it listens on. False when it did not start.
    bool start(std::vector<std::string> options) {
        std::vector<std::string> args = {KORVALIS_FGBRIDGE_PATH, "--namespace", test_namespace(),
                                         "--quiet"};
        args.insert(args.end(), options.begin(), options.end());
        if (!child_.start(args, testing::ChildInput::inherited)) return false;
        const std::string line = read_line(10000);
        const std::string prefix = "korvalis-fgbridge: listening on 127.0.0.1:";
        if (line.rfind(prefix, 0) != 0) return false;
        port_ = static_cast<uint16_t>(std::stoi(line.substr(prefix.size())));
        return port_ != 0;
    }

    // The next line the bridge prints, or "" after timeout_ms.
    std::string read_line(int timeout_ms) { return child_.read_line(timeout_ms); }

    // Sends one datagram to the bridge's port, as FlightGear does.
    void send(const std::string& bytes) const {
        const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(port_);
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        sendto(fd, bytes.data(), bytes.size(), 0, reinterpret_cast<const sockaddr*>(&to),
               sizeof to);
        close(fd);
    }

    // SIGTERM; the exit status as waitpid gives it (that of the SIGKILL when it did not end
    // within 5 s), or -1.
    int stop() { return child_.stop(); }

    uint16_t port() const { return port_; }

private:
    testing::ChildProcess child_;
    uint16_t port_ = 0;
};

bool module_present() {
    SimLinkResult result{};
    const bool open = simlink_open(0, &result);
    simlink_close();
    return open;
}

class BridgeProcessTest : public ::testing::Test {
protected:
    void SetUp() override {
        test_namespace();
        use_ipc_services(nullptr);
        simlink_close();
    }
    void TearDown() override { simlink_close(); }

    BridgeProcess bridge;
};

TEST_F(BridgeProcessTest, NoModuleBeforeTheFirstPacket) {
    ASSERT_TRUE(bridge.start({"--port", "0"}));
    SimLinkResult result{};
    EXPECT_FALSE(simlink_open(0, &result));
    EXPECT_EQ(result, SimLinkResult::link_no_server);
    // Noise is not a sign of life either.
    bridge.send("hello\n");
    bridge.send("korvalis1,nan,158.000,0.000,0.000\n");
    std::this_thread::sleep_for(milliseconds(300));
    EXPECT_FALSE(simlink_open(0, &result));
    EXPECT_EQ(result, SimLinkResult::link_no_server);
}

TEST_F(BridgeProcessTest, ServesWhatFlightGearSendsWithTheHandshake) {
    ASSERT_TRUE(bridge.start({"--port", "0"}));
    bridge.send("korvalis1,101.337,158.000,0.000,0.750\n");
    EXPECT_EQ(bridge.read_line(5000), "korvalis-fgbridge: serving UIPCMAIN");
    SimLinkResult result{};
    ASSERT_TRUE(simlink_open(0, &result)) << static_cast<int>(result);

    PolledValues v;
    ASSERT_TRUE(poll_values(v, &result));
    EXPECT_EQ(v.airspeed, 12971);  // 101.337 x 128 = 12971.136
    EXPECT_EQ(v.max_speed, 158 * 128);
    EXPECT_EQ(v.lights, 0x20);

    // The values follow the stream; lights off clears the bit.
    bridge.send("korvalis1,-2.000,158.000,0.000,0.000\n");
    EXPECT_TRUE(eventually([&] { return poll_values(v, &result) && v.airspeed == -256; }));
    EXPECT_EQ(v.lights, 0);
}

TEST_F(BridgeProcessTest, MalformedPacketsChangeNothing) {
    ASSERT_TRUE(bridge.start({"--port", "0"}));
    bridge.send("korvalis1,120.000,158.000,1.000,0.000\n");
    SimLinkResult result{};
    ASSERT_TRUE(eventually([&] { return simlink_open(0, &result); }));
    const std::string hostile[] = {
        "korvalis1,inf,158.000,0.000,0.000\n",
        "korvalis1,200.000,158.000,0.000,0.000",  // no line end
        "korvalis1,200.000,158.000,0.000\n",
        "korvalis1,200.000,158.000,0.000,0.000\nkorvalis1,200.000,158.000,0.000,0.000\n",
        "korvalis1,1e3,158.000,0.000,0.000\n",
        std::string(4000, 'k'),
        std::string(60000, '\0'),
        "",
        "XGPS,-122.3576,37.6135,1234.5,270.000,51.444\n",
    };
    for (const std::string& bytes : hostile)
        bridge.send(bytes);
    // A good packet after the noise shows that the noise has been read (datagrams keep order on
    // loopback), and that it did not change a value on its way.
    bridge.send("korvalis1,120.000,0.000,0.000,0.000\n");
    PolledValues v;
    EXPECT_TRUE(eventually([&] { return poll_values(v, &result) && v.lights == 0; }));
    EXPECT_EQ(v.airspeed, 120 * 128);
    EXPECT_EQ(v.max_speed, 0) << "no vne and no fallback: the maximum-speed needle rests";
    EXPECT_EQ(bridge.stop(), 0) << "the bridge ends cleanly after the noise";
}

TEST_F(BridgeProcessTest, WithdrawsAfterTheSilenceAndReturnsWithThePackets) {
    ASSERT_TRUE(bridge.start({"--port", "0", "--silence", "600", "--max-fallback", "200"}));
    bridge.send("korvalis1,90.000,0.000,0.000,0.000\n");
    SimLinkResult result{};
    ASSERT_TRUE(eventually([&] { return simlink_open(0, &result); }));
    PolledValues v;
    ASSERT_TRUE(poll_values(v, &result));
    EXPECT_EQ(v.max_speed, 200 * 128) << "the fallback stands in for a missing vne";

    // FlightGear goes quiet: the connected client loses its module (as when a simulator quits),
    // and a new search finds none.
    EXPECT_EQ(bridge.read_line(5000), "korvalis-fgbridge: serving UIPCMAIN");
    EXPECT_EQ(bridge.read_line(5000), "korvalis-fgbridge: withdrawn: no packet from FlightGear");
    EXPECT_FALSE(poll_values(v, &result));
    EXPECT_EQ(result, SimLinkResult::link_send_failed);
    simlink_close();
    EXPECT_FALSE(simlink_open(0, &result));
    EXPECT_EQ(result, SimLinkResult::link_no_server);

    // Garbage does not bring it back; FlightGear's next line does, with its values.
    bridge.send("korvalis1,-nan,0.000,0.000,0.000\n");
    std::this_thread::sleep_for(milliseconds(200));
    EXPECT_FALSE(module_present());
    bridge.send("korvalis1,150.000,158.000,0.000,0.000\n");
    EXPECT_EQ(bridge.read_line(5000), "korvalis-fgbridge: serving UIPCMAIN");
    ASSERT_TRUE(simlink_open(0, &result)) << static_cast<int>(result);
    ASSERT_TRUE(poll_values(v, &result));
    EXPECT_EQ(v.airspeed, 150 * 128);
    EXPECT_EQ(v.max_speed, 158 * 128);
}

TEST_F(BridgeProcessTest, ASteadyStreamKeepsItServingAndTheDefaultSilenceIsAboutTwoSeconds) {
    ASSERT_TRUE(bridge.start({"--port", "0"}));
    SimLinkResult result{};
    // 20 packets a second for 3 s: never withdrawn meanwhile.
    for (int i = 0; i < 60; ++i) {
        bridge.send("korvalis1," + std::to_string(60 + i) + ".000,158.000,0.000,0.000\n");
        std::this_thread::sleep_for(milliseconds(50));
    }
    const auto last_packet = Clock::now();
    EXPECT_EQ(bridge.read_line(1000), "korvalis-fgbridge: serving UIPCMAIN");
    ASSERT_TRUE(simlink_open(0, &result));
    PolledValues v;
    ASSERT_TRUE(poll_values(v, &result));
    EXPECT_EQ(v.airspeed, 119 * 128);
    // Still there a second after the last packet, gone within a generous bound of it.
    std::this_thread::sleep_for(milliseconds(1000));
    EXPECT_TRUE(poll_values(v, &result)) << "withdrew before two seconds of silence";
    EXPECT_EQ(bridge.read_line(5000), "korvalis-fgbridge: withdrawn: no packet from FlightGear");
    const double silent_s = std::chrono::duration<double>(Clock::now() - last_packet).count();
    EXPECT_GE(silent_s, 1.5);
    EXPECT_LT(silent_s, 4.0);
}

TEST_F(BridgeProcessTest, WaitsForTheClassWhileAnotherModuleHoldsIt) {
    // Another module (korvalis-sim, say) serves the class: the bridge keeps trying.
    ModuleServer* other = open_module_server(primary_window_class);
    ASSERT_NE(other, nullptr);
    ASSERT_TRUE(bridge.start({"--port", "0"}));
    bridge.send("korvalis1,77.000,158.000,0.000,0.000\n");
    EXPECT_EQ(bridge.read_line(1500), "") << "the bridge cannot have announced the class";
    close_module_server(other);
    // It takes the class within its retry period, while FlightGear keeps streaming.
    std::string line;
    for (int i = 0; i < 60 && line.empty(); ++i) {
        bridge.send("korvalis1,77.000,158.000,0.000,0.000\n");
        line = bridge.read_line(50);
    }
    EXPECT_EQ(line, "korvalis-fgbridge: serving UIPCMAIN");
    SimLinkResult result{};
    ASSERT_TRUE(simlink_open(0, &result)) << static_cast<int>(result);
    PolledValues v;
    ASSERT_TRUE(poll_values(v, &result));
    EXPECT_EQ(v.airspeed, 77 * 128);
}

TEST_F(BridgeProcessTest, RefusesATakenPortAndBadOptions) {
    ASSERT_TRUE(bridge.start({"--port", "0"}));
    BridgeProcess second;
    EXPECT_FALSE(second.start({"--port", std::to_string(bridge.port())}));
    const int status = second.stop();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << "status " << status;
    for (const std::vector<std::string>& bad :
         std::vector<std::vector<std::string>>{{"--port", "70000"},
                                               {"--port", "-1"},
                                               {"--silence", "0"},
                                               {"--max-fallback", "nan"},
                                               {"--unknown"}}) {
        BridgeProcess refused;
        EXPECT_FALSE(refused.start(bad)) << bad[0];
        const int refused_status = refused.stop();
        EXPECT_TRUE(WIFEXITED(refused_status) && WEXITSTATUS(refused_status) == 2)
            << bad[0] << ": status " << refused_status;
    }
}

}  // namespace
}  // namespace korvalis

// What every end-to-end scenario relies on: each test case starts on a fresh simulated
// appliance (its own /tmp, /dev/mem, IPC, network, PIDs), and the harness's process,
// time-out and UDP helpers do what they promise.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <net/if.h>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <string>

#include "support/appliance.h"

namespace {

// Fails if another test case's marker is visible: each case must see its own /tmp and
// its own key 1005. (/tmp may hold the build tree's own path, kept visible, so only the
// marker counts.)
void claim_fresh_appliance() {
    EXPECT_FALSE(std::filesystem::exists("/tmp/marker")) << "the sandbox's /tmp is not fresh";
    EXPECT_EQ(shmget(kShmKey, 0, 0), -1);
    EXPECT_EQ(errno, ENOENT);
    write_file("/tmp/marker", "taken");
    ASSERT_EQ(sim_mgmt({"create"}).status, 0);
}

}  // namespace

TEST(Sandbox, FirstCaseGetsAFreshAppliance) { claim_fresh_appliance(); }
TEST(Sandbox, SecondCaseGetsAnotherFreshAppliance) { claim_fresh_appliance(); }

TEST(Sandbox, RegisterFileLoopbackAndOwnProcesses) {
    // /dev/mem: a regular file that ends with the 512-byte FPGA window, all zeros; the
    // stand-in's register write lands at 0xF8000028, in this host's order.
    struct stat st {};
    ASSERT_EQ(stat("/dev/mem", &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(static_cast<std::uint64_t>(st.st_size), 0xF8000000u + 512u);
    const int fd = open("/dev/mem", O_RDONLY);
    std::string window(512, '?');
    ASSERT_EQ(pread(fd, window.data(), 512, static_cast<off_t>(0xF8000000u)), 512);
    EXPECT_EQ(window, std::string(512, '\0'));
    ASSERT_EQ(sim_mgmt({"fpga", "0x0102"}).status, 0);
    std::uint16_t reg = 0;
    ASSERT_EQ(pread(fd, &reg, 2, static_cast<off_t>(0xF8000028u)), 2);
    close(fd);
    EXPECT_EQ(reg, 0x0102);

    // Only the loopback interface, and it is up.
    struct if_nameindex* names = if_nameindex();
    ASSERT_NE(names, nullptr);
    EXPECT_STREQ(names[0].if_name, "lo");
    EXPECT_EQ(names[1].if_index, 0u);
    if_freenameindex(names);
    EXPECT_TRUE(UdpReceiver(0).ok());

    // Our own PID namespace: process 1 is the sandbox, not the machine's init.
    EXPECT_NE(getpid(), 1);
    EXPECT_NE(file_text("/proc/1/cmdline").find("appliance-sandbox"), std::string::npos);
    char host[64] = {};
    gethostname(host, sizeof host - 1);
    EXPECT_STREQ(host, "appliance");
}

TEST(Harness, ProgramsAreBoundedInTimeAndKilledByPid) {
    ASSERT_EQ(sim_mgmt({"create"}).status, 0);
    // No service: this command would wait a minute; the harness kills it first.
    const RunResult r = sim_mgmt({"command", "4", "--timeout-ms", "60000"}, 500ms);
    EXPECT_TRUE(r.timed_out);
    EXPECT_EQ(r.status, -1);
    const RunResult usage = sim_mgmt({"frobnicate"});
    EXPECT_FALSE(usage.timed_out);
    EXPECT_EQ(usage.status, 2);
    EXPECT_NE(usage.output.find("unknown sub-command"), std::string::npos) << usage.output;

    Process service;
    ASSERT_TRUE(start_service(service, "audio_rtsp_to_screen"));
    EXPECT_GT(service.pid(), 1);
    EXPECT_FALSE(service.wait_exit(300ms).has_value());
    EXPECT_TRUE(service.running());
    EXPECT_EQ(service.kill(), std::optional<int>(128 + 9));
    EXPECT_FALSE(service.running());
    EXPECT_EQ(::kill(service.pid(), 0), -1) << "the killed service was not reaped";
}

TEST(Harness, UdpLoopbackRoundTrip) {
    UdpReceiver rx(0);
    ASSERT_TRUE(rx.ok());
    EXPECT_FALSE(rx.receive(50ms).has_value());
    UdpSender tx(rx.port());
    ASSERT_TRUE(tx.send(std::vector<std::uint8_t>(200, 7)));
    ASSERT_TRUE(tx.send(std::vector<std::uint8_t>(1, 1)));
    ASSERT_TRUE(send_udp(rx.port(), "x", 1));

    const std::vector<Datagram> got = rx.receive_for(2s, 3);
    ASSERT_EQ(got.size(), 3u);
    EXPECT_EQ(got[0].bytes, std::vector<std::uint8_t>(200, 7));
    EXPECT_EQ(got[1].bytes, std::vector<std::uint8_t>(1, 1));
    EXPECT_EQ(got[2].bytes, std::vector<std::uint8_t>{'x'});
    EXPECT_EQ(got[0].from_ip, "127.0.0.1");
    EXPECT_EQ(got[1].from_port, tx.local_port());
    EXPECT_NE(got[2].from_port, tx.local_port());

    // A fixed port is bound as asked; a second bind of it is refused.
    UdpReceiver fixed(18005);
    EXPECT_EQ(fixed.port(), 18005);
    EXPECT_FALSE(UdpReceiver(18005).ok());
}

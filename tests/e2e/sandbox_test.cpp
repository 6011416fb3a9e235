// What every end-to-end scenario relies on: each test case starts on a fresh simulated
// appliance (its own /tmp, /dev/mem, IPC, network, PIDs), and the harness bounds the
// programs it runs.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <net/if.h>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "support/appliance.h"

namespace {

// Fails if another test case's marker or block is visible (only the marker counts in
// /tmp, which may hold the build tree's own path).
void claim_fresh_appliance() {
    EXPECT_NE(access("/tmp/marker", F_OK), 0) << "the sandbox's /tmp is not fresh";
    EXPECT_EQ(shmget(kShmKey, 0, 0), -1);
    EXPECT_EQ(errno, ENOENT);
    write_file("/tmp/marker", "taken");
    ASSERT_EQ(set_up_block({}, nullptr), "");
}

}  // namespace

TEST(Sandbox, FirstCaseGetsAFreshAppliance) { claim_fresh_appliance(); }
TEST(Sandbox, SecondCaseGetsAnotherFreshAppliance) { claim_fresh_appliance(); }

TEST(Sandbox, OwnLoopbackProcessesAndRegisterFile) {
    // Only the loopback interface, up: a fixed port is free, and ours once.
    struct if_nameindex* names = if_nameindex();
    ASSERT_NE(names, nullptr);
    EXPECT_STREQ(names[0].if_name, "lo");
    EXPECT_EQ(names[1].if_index, 0u);
    if_freenameindex(names);
    UdpReceiver fixed(18005);
    EXPECT_FALSE(UdpReceiver(18005).ok());
    ASSERT_TRUE(send_udp(18005, "x", 1));
    EXPECT_EQ(fixed.receive(2s).value_or(Datagram{}).bytes, std::vector<std::uint8_t>{'x'});
    // Process 1 is the sandbox; the host name is the appliance's.
    EXPECT_NE(file_text("/proc/1/cmdline").find("appliance-sandbox"), std::string::npos);
    char host[64] = {};
    gethostname(host, sizeof host - 1);
    EXPECT_STREQ(host, "appliance");
    // /dev/mem is a regular file that ends with the FPGA window, zeros until written.
    struct stat st {};
    ASSERT_EQ(stat("/dev/mem", &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(static_cast<std::uint64_t>(st.st_size), 0xF8000000u + 512u);
    std::string window(512, '?');
    const int fd = open("/dev/mem", O_RDONLY);
    EXPECT_EQ(pread(fd, window.data(), 512, static_cast<off_t>(0xF8000000u)), 512);
    close(fd);
    EXPECT_EQ(window, std::string(512, '\0'));
}

TEST(Harness, ProgramsAreBoundedInTime) {
    ASSERT_EQ(set_up_block({}, nullptr), "");
    // No service: this command would wait a minute; the harness kills it first.
    const RunResult r = sim_mgmt({"command", "4", "--timeout-ms", "60000"}, 500ms);
    EXPECT_TRUE(r.timed_out && r.status == -1) << r.status;
}

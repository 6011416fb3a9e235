// The start-up announcement end to end: the real service, started in a fresh sandbox,
// creates mailbox 3 and leaves its 4-byte message of code 25 there, once the shared
// block is attached; the management stand-in shows it without taking it.
#include <gtest/gtest.h>
#include <sys/ipc.h>
#include <sys/msg.h>

#include <bit>
#include <cerrno>
#include <cstring>
#include <string>

#include "support/appliance.h"

namespace {

struct Wire {
    long type;
    unsigned char data[8192];
};

std::size_t pending(int mailbox) {
    const int id = msgget(mailbox, 0);
    msqid_ds st{};
    return id >= 0 && msgctl(id, IPC_STAT, &st) == 0 ? static_cast<std::size_t>(st.msg_qnum) : 0;
}

}  // namespace

TEST(Announce, StartupCreatesMailbox3WithTheCode25Message) {
    ASSERT_LT(msgget(3, 0), 0);
    const RunResult none = sim_mgmt({"mailbox", "read", "3"});
    EXPECT_EQ(none.status, 1);
    EXPECT_EQ(none.output, std::string("mailbox 3: ") + std::strerror(ENOENT) + "\n");

    ASSERT_EQ(sim_mgmt({"create"}).status, 0);
    Process service;
    ASSERT_TRUE(start_service(service, "audio_rtsp_to_screen"));
    ASSERT_TRUE(wait_until([] { return pending(3) > 0; }, 20s)) << service.output();
    EXPECT_TRUE(service.running());

    const int id = msgget(3, 0);
    msqid_ds st{};
    ASSERT_EQ(msgctl(id, IPC_STAT, &st), 0);
    EXPECT_EQ(st.msg_perm.mode & 0777, 0660u);
    EXPECT_EQ(st.msg_qnum, 1u);
    EXPECT_EQ(st.msg_cbytes, 4u);

    // The code word is in the appliance's own byte order.
    const std::string code25 =
        std::endian::native == std::endian::big ? "00 00 00 19" : "19 00 00 00";
    const std::string shown = "mailbox 3: 1 message(s)\ntype 3 code 25 size 4: " + code25 + "\n";
    for (int i = 0; i < 2; ++i) {  // reading it leaves it there
        const RunResult r = sim_mgmt({"mailbox", "read", "3"});
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.output, shown);
    }

    Wire m{};
    ASSERT_EQ(msgrcv(id, &m, sizeof m.data, 0, IPC_NOWAIT), 4);
    EXPECT_EQ(m.type, 3);
    const unsigned char want_be[4] = {0, 0, 0, 25};
    const unsigned char want_le[4] = {25, 0, 0, 0};
    EXPECT_EQ(std::memcmp(m.data, std::endian::native == std::endian::big ? want_be : want_le, 4),
              0);
    EXPECT_EQ(sim_mgmt({"mailbox", "read", "3"}).output, "mailbox 3: 0 message(s)\n");
}

TEST(Announce, NoAnnouncementWithoutTheSharedBlock) {
    Process service;
    ASSERT_TRUE(start_service(service, "audio_rtsp_to_screen"));
    ASSERT_EQ(service.wait_exit(20s), std::optional<int>(0));
    EXPECT_LT(msgget(3, 0), 0);
    EXPECT_EQ(errno, ENOENT);
}

TEST(Announce, MailboxReadRefusesBadArguments) {
    const std::vector<std::vector<std::string>> refused = {{"mailbox"},
                                                           {"mailbox", "read"},
                                                           {"mailbox", "read", "0"},
                                                           {"mailbox", "read", "x"},
                                                           {"mailbox", "take", "3"},
                                                           {"mailbox", "read", "3", "4"}};
    for (const auto& args : refused) {
        const RunResult r = sim_mgmt(args);
        EXPECT_EQ(r.status, 2) << r.output;
        EXPECT_NE(r.output.find("Usage: sim_mgmt mailbox read N"), std::string::npos);
    }
    EXPECT_LT(msgget(3, 0), 0);  // nothing was created on the way
}

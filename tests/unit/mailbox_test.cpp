// The message-queue mailbox on real System V queues, each test in a private IPC namespace:
// the announcement and flow control, the receives, and every sender's layout read back raw.
#include "core/mailbox.h"

#include <sys/msg.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <bit>
#include <cerrno>
#include <cstring>
#include <functional>
#include <string>
#include <tuple>
#include <vector>

#include "core/clock.h"
#include "core/debug_log.h"
#include "support/isolation.h"
#include "support/temp_dir.h"

namespace {

using Bytes = std::vector<unsigned char>;

// Expected payloads, built with shifts for this host's byte order.
struct Golden {
    Bytes b;
    explicit Golden(std::size_t size) : b(size, 0) {}
    Golden& num(std::size_t off, std::uint32_t v, std::size_t width) {
        for (std::size_t i = 0; i < width; ++i)  // byte i holds bits 8i..8i+7
            b[off + (std::endian::native == std::endian::big ? width - 1 - i : i)] =
                static_cast<unsigned char>(v >> (8 * i));
        return *this;
    }
    Golden& w(std::size_t off, std::uint32_t v) { return num(off, v, 4); }
    Golden& h(std::size_t off, std::uint16_t v) { return num(off, v, 2); }
    Golden& text(std::size_t off, const std::string& t) {
        std::copy(t.begin(), t.end(), b.begin() + static_cast<std::ptrdiff_t>(off));
        return *this;
    }
};

Bytes words(std::uint32_t code, std::uint32_t word) { return Golden(8).w(0, code).w(4, word).b; }
const Bytes kAnnouncement = Golden(4).w(0, 25).b;

struct Wire {  // a message as the kernel queues it
    long type;
    unsigned char data[8192];
};

int queue(int key) { return msgget(key, IPC_CREAT | 0660); }

void raw_send(int key, const Bytes& payload, long type = 1) {
    Wire m{type, {}};
    std::memcpy(m.data, payload.data(), payload.size());
    ASSERT_EQ(msgsnd(queue(key), &m, payload.size(), IPC_NOWAIT), 0) << std::strerror(errno);
}

// The oldest message's payload, with its type checked; empty when there is none.
Bytes raw_take(int key, long type) {
    Wire m{};
    const ssize_t n = msgrcv(queue(key), &m, sizeof m.data, 0, IPC_NOWAIT);
    if (n < 0) return {};
    EXPECT_EQ(m.type, type);
    return Bytes(m.data, m.data + n);
}

msqid_ds stat_of(int key) {
    msqid_ds st{};
    EXPECT_EQ(msgctl(queue(key), IPC_STAT, &st), 0);
    return st;
}

void set_limit(int key, unsigned long bytes) {
    msqid_ds st = stat_of(key);
    st.msg_qbytes = bytes;
    ASSERT_EQ(msgctl(queue(key), IPC_SET, &st), 0) << std::strerror(errno);
}

// The debug log in a file of its own; has() looks for dbg_perror's line of `call`.
struct Log {
    TempDir dir;
    Log() {
        dbg_to_file();
        dbg_set_logfile(dir.file("log").c_str());
    }
    std::string text() const { return read_file(dir.file("log")); }
    bool has(const char* call, int err) const {
        return text().find(std::string(call) + " ::: " + std::strerror(err)) != std::string::npos;
    }
};

// A peer process that sends `payload` to `key` after 50 ms; reap() checks it did.
pid_t send_later(int key, const Bytes& payload) {
    const pid_t pid = fork();
    if (pid == 0) {
        usleep(50000);
        Wire m{key, {}};
        std::memcpy(m.data, payload.data(), payload.size());
        _exit(msgsnd(queue(key), &m, payload.size(), 0) == 0 ? 0 : 1);
    }
    return pid;
}

void reap(pid_t pid) {
    int status = -1;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

class Mailbox : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(enter_private_ipc());
        alarm(90);  // a hung wait ends the test process instead of the whole run
    }
};

TEST_F(Mailbox, AnnouncementCreatesMailbox3AndIsNeverBlockedByAFullQueue) {
    ASSERT_LT(msgget(3, 0), 0);
    EXPECT_EQ(announce_service(), 1);
    EXPECT_EQ(stat_of(3).msg_perm.mode & 0777, 0660u);
    EXPECT_EQ(raw_take(3, 3), kAnnouncement);
    EXPECT_EQ(raw_take(3, 3), Bytes{});

    // Full: other processes' messages are flushed, the announcement is the only message.
    set_limit(3, 64);
    for (int i = 0; i < 8; ++i) raw_send(3, Bytes(8, 1), 3);
    EXPECT_EQ(announce_service(), 1);
    EXPECT_EQ(stat_of(3).msg_qnum, 1u);
    EXPECT_EQ(raw_take(3, 3), kAnnouncement);

    // Nearly full (fewer than 1024 + 4 bytes free): one pause, then sent behind the rest.
    set_limit(3, 2048);
    raw_send(3, Bytes(1021, 0x5A));
    const std::int64_t t0 = get_time_usec();
    EXPECT_EQ(announce_service(), 1);
    EXPECT_GE(get_time_usec() - t0, 1000);
    EXPECT_EQ(raw_take(3, 1).size(), 1021u);
    EXPECT_EQ(raw_take(3, 3), kAnnouncement);

    // queued + size > limit - 1024 in unsigned arithmetic: a limit below 1024 wraps.
    const std::tuple<unsigned long, unsigned long, std::size_t, bool> cases[] = {
        {1020, 2048, 4, false},
        {1021, 2048, 4, true},
        {0, 1023, 4, false},
        {0, 1024, 1, true},
        {0, 1024, 0, false}};
    for (const auto& [queued, limit, size, pause] : cases)
        EXPECT_EQ(mbx_near_full(queued, limit, size), pause)
            << queued << "/" << limit << "+" << size;
}

TEST_F(Mailbox, SendThatCanNeverFitGivesUp) {
    // Larger than the queue's whole limit: flushed on the way, then given up; above 2048
    // bytes refused at once; code 6 reports a failed copy to mailbox 9.
    Log log;
    set_limit(5, 16);
    raw_send(5, Bytes(8, 1));
    const Bytes big(32, 0x77), huge(kMbxPayloadMax + 1, 1);
    EXPECT_EQ(mbx_send(5, big.data(), big.size()), 0);
    EXPECT_EQ(stat_of(5).msg_qnum, 0u);
    EXPECT_TRUE(log.has("msgsnd", EAGAIN)) << log.text();
    EXPECT_EQ(mbx_send(6, huge.data(), huge.size()), 0);
    EXPECT_EQ(stat_of(6).msg_qnum, 0u);
    EXPECT_TRUE(log.has("msgsnd", EMSGSIZE));
    set_limit(9, 4);
    EXPECT_EQ(mbx_msg6(1), 0);
    EXPECT_EQ(stat_of(3).msg_qnum, 1u);
}

TEST_F(Mailbox, ReceivesCopyExactlyThePayloadOfAnyTypeAndBudgetZeroTriesOnce) {
    Log log;
    raw_send(6, {1, 2, 3}, 99);
    raw_send(6, {4, 5, 6, 7, 8}, 6);
    raw_send(6, {9}, 1);
    Bytes dest(kMbxPayloadMax, 0xEE);
    EXPECT_EQ(mbx_recv_nowait(6, dest.data()), 3);
    EXPECT_EQ(Bytes(dest.begin(), dest.begin() + 4), (Bytes{1, 2, 3, 0xEE}));
    EXPECT_EQ(mbx_recv_poll(6, dest.data()), 5);
    EXPECT_EQ(Bytes(dest.begin(), dest.begin() + 6), (Bytes{4, 5, 6, 7, 8, 0xEE}));
    EXPECT_EQ(mbx_recv_wait(6, dest.data()), 1);
    EXPECT_EQ(dest[0], 9);
    errno = 0;
    EXPECT_LT(mbx_recv_nowait(6, dest.data()), 0);
    EXPECT_EQ(errno, ENOMSG);
    EXPECT_LT(mbx_recv_poll(6, dest.data()), 0);
    EXPECT_EQ(log.text(), "");  // nothing to receive is not an error

    for (int budget : {0, -25}) {  // one attempt, no pause
        rusage before{}, after{};
        getrusage(RUSAGE_THREAD, &before);
        EXPECT_EQ(mbx_recv_timeout(8, dest.data(), budget), -1);
        getrusage(RUSAGE_THREAD, &after);
        EXPECT_EQ(after.ru_nvcsw, before.ru_nvcsw) << "budget " << budget << " paused";
    }
    const pid_t peer = send_later(8, {0xAB, 0xCD});
    EXPECT_EQ(mbx_recv_timeout(8, dest.data(), 100000), 2);  // polls until the peer's message
    EXPECT_EQ(Bytes(dest.begin(), dest.begin() + 2), (Bytes{0xAB, 0xCD}));
    reap(peer);

    raw_send(6, Bytes(3000, 1));  // longer than a receive takes: stays, reported
    EXPECT_LT(mbx_recv_nowait(6, dest.data()), 0);
    EXPECT_EQ(errno, E2BIG);
    EXPECT_LE(mbx_flush(6), 0);
    EXPECT_EQ(stat_of(6).msg_qnum, 1u);
    EXPECT_TRUE(log.has("msgrcv", E2BIG));
}

TEST_F(Mailbox, AnswerReceiversTakeTheirCodeAndSkipOthers) {
    // Mailbox 4, code 5: 0xFFFFFFFF is a refusal (0, nothing stored); other codes are
    // dropped without using up a round. Mailbox 9, code 6: blocks until it comes.
    const std::tuple<std::vector<Bytes>, Bytes, int, std::uint32_t> cases[] = {
        {{words(7, 1)}, words(5, 0xFFFFFFFF), 0, 0xDEADBEEF},
        {std::vector<Bytes>(15, words(9, 5)), words(5, 0x01020304), 1, 0x01020304}};
    for (const auto& [before, answer, result, want] : cases) {
        for (const Bytes& b : before) raw_send(4, b);
        const pid_t peer = send_later(4, answer);
        std::uint32_t stored = 0xDEADBEEF;
        EXPECT_EQ(mbx_wait_msg5(&stored), result);
        EXPECT_EQ(stored, want);
        EXPECT_EQ(stat_of(4).msg_qnum, 0u);
        reap(peer);
    }
    std::uint32_t stored = 0;
    raw_send(9, words(5, 1));
    raw_send(9, Golden(4).w(0, 3).b);
    const pid_t peer = send_later(9, words(6, 0xA0B0C0D0));
    EXPECT_EQ(mbx_wait_msg6(&stored), 8);
    EXPECT_EQ(stored, 0xA0B0C0D0u);
    EXPECT_EQ(stat_of(9).msg_qnum, 0u);
    reap(peer);
}

TEST_F(Mailbox, EverySenderHasItsCodeMailboxAndLayout) {
    // Byte for byte, every field distinct. Codes 1 to 3 send the caller's own buffer, with
    // the code written into its first word.
    char addr[16] = "192.168.100.201";
    const std::string name56 = std::string("stream-name") + std::string(45, 'n'), desc56(56, 'd');
    std::string long_text;
    for (int i = 0; i < 1500; ++i) long_text += static_cast<char>('a' + i % 26);
    unsigned char own[468];
    std::memset(own, 0xA5, sizeof own);
    auto g = [](std::size_t size, std::uint32_t code) { return Golden(size).w(0, code); };
    auto caller = [](std::size_t size, std::uint32_t code) {
        return Golden(size).text(0, std::string(size, '\xA5')).w(0, code).b;
    };
    auto ports = [&](std::uint32_t code, std::uint16_t h22) {
        return g(24, code).text(4, addr).h(20, 1).h(22, h22).b;
    };
    // clang-format off
    const std::tuple<std::function<int()>, std::vector<int>, Bytes> cases[] = {
        {[] { return mbx_msg4(0xA5, 1, 0x11223344, 0x55667788, 0x99AABBCC, 0xDDEEFF00, ~0u); },
         {5}, g(32, 4).text(4, "\xA5").w(8, 1).w(12, 0x11223344).w(16, 0x55667788).w(20, 0x99AABBCC)
             .w(24, 0xDDEEFF00).w(28, 0xFFFFFFFF).b},
        {[&] { return mbx_msg9(name56.c_str(), desc56.c_str(), 116, 0x12345678, 0x80000000); },
         {3}, g(128, 9).text(4, name56).text(60, desc56).w(116, 116).w(120, 0x12345678)
                  .w(124, 0x80000000).b},
        {[&] { return mbx_msg17(addr, 5004, 0xBEEF); }, {3},
         g(24, 17).text(4, addr).h(20, 5004).h(22, 0xBEEF).b},
        {[&] { return mbx_msg240(long_text.c_str()); }, {1},
         g(1024, 240).text(4, long_text.substr(0, 1019)).b},
        {[&] { return mbx_msg1(8, own); }, {8}, caller(116, 1)},
        {[&] { return mbx_msg2(7, own); }, {7}, caller(468, 2)},
        {[&] { return mbx_msg3(1, own); }, {1}, caller(252, 3)},
        {[] { return mbx_msg15(9, 8, 7, 6); }, {8}, g(20, 15).w(4, 9).w(8, 8).w(12, 7).w(16, 6).b},
        {[&] { return mbx_msg18(addr, 1, 2); }, {3}, ports(18, 2)},
        {[&] { return mbx_msg19(addr, 1, 3); }, {3}, ports(19, 3)},
        {[&] { return mbx_msg20(addr, 1, 4); }, {3}, ports(20, 4)},
        {[&] { return mbx_msg21(addr, 1); }, {3}, ports(21, 0)},
        {[&] { return mbx_msg22(addr, 1); }, {3}, ports(22, 0)},
        {[] { return mbx_msg5(9); }, {4}, words(5, 9)},  {[] { return mbx_msg6(9); }, {3, 9}, words(6, 9)},
        {[] { return mbx_msg10(9); }, {7}, words(10, 9)}, {[] { return mbx_msg13(9); }, {8}, words(13, 9)},
        {[] { return mbx_msg26(9); }, {6}, words(26, 9)}, {[] { return mbx_msg160(9); }, {3}, words(160, 9)},
        {mbx_msg11, {7}, g(4, 11).b},   {mbx_msg12, {6}, g(4, 12).b},  {mbx_msg14, {8}, g(4, 14).b},
        {mbx_msg16, {3}, g(4, 16).b},   {mbx_msg23, {3}, g(4, 23).b},  {mbx_msg27, {3}, g(4, 27).b},
        {mbx_msg28, {3}, g(4, 28).b},   {mbx_msg161, {3}, g(4, 161).b}, {mbx_msg162, {3}, g(4, 162).b}};
    // clang-format on
    for (const auto& [send, mailboxes, want] : cases) {
        EXPECT_EQ(send(), 1);
        for (int mailbox : mailboxes) {
            EXPECT_EQ(raw_take(mailbox, mailbox), want) << "to mailbox " << mailbox;
            EXPECT_EQ(raw_take(mailbox, mailbox), Bytes{}) << "to mailbox " << mailbox;
        }
    }
    EXPECT_EQ(Bytes(own, own + 4), Golden(4).w(0, 3).b);
}

TEST_F(Mailbox, SetModeAndDelete) {
    Log log;
    const int id = open_msgq(7);
    EXPECT_EQ(mbx_set_mode(id, "0604"), 0);
    EXPECT_EQ(mbx_set_mode(id, "rw"), -1);
    EXPECT_EQ(stat_of(7).msg_perm.mode & 0777, 0604u);
    raw_send(7, {1, 2});
    EXPECT_EQ(mbx_delete(7), 0);
    EXPECT_LT(msgget(7, 0), 0);
    EXPECT_NE(remove_msgq(id), 0);
    EXPECT_TRUE(log.has("fail to msgctl in remove_msgq", EINVAL)) << log.text();
}

}  // namespace

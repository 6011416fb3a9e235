// The service core on the sandbox's own socket, files, segments and queues: the feed
// conversion, the debug log, the periodic jobs, the shared block and the mailbox.
#include <sys/msg.h>

#include <bit>
#include <regex>

#include "core/audio_feed.h"
#include "core/block_view.h"
#include "core/clock.h"
#include "core/job_schedule.h"
#include "core/mailbox.h"
#include "core/wire_bytes.h"
#include "mailbox_dump.h"
#include "net/udp_socket.h"
#include "support/unit.h"

namespace {

// `head`, zeros up to `size` bytes, then `tail`.
Bytes pad(Bytes head, std::size_t size, const Bytes& tail = {}) {
    head.resize(size, 0);
    head.insert(head.end(), tail.begin(), tail.end());
    return head;
}

TEST(Feed, ConvertsWhatItReceivesReadingOnlyZeroedSpareBytesPastIt) {
    // The feed's sockets as the service and the capture process open them.
    const int rx = sockRxOpen("127.0.0.1", kFeedPort, nullptr, nullptr, 0, nullptr),
              tx = sockTxOpen(nullptr, 0, nullptr, "127.0.0.1", kFeedPort, nullptr, nullptr, 1);
    static FeedBuffers buf;  // dirty before each datagram: the spare bytes must be zeroed
    const auto convert = [&](const Bytes& in, const AudioFormat& f) {
        std::memset(&buf, 0x77, sizeof buf);
        send(tx, in.data(), in.size(), 0);
        if (receive_feed(rx, buf, f) != FeedResult::pcm) return Bytes{};
        return Bytes(buf.pcm + kPcmHeadroom, buf.pcm + kPcmHeadroom + buf.pcm_len);
    };
    constexpr AudioFormat kSpdif{1, 16, 1, 2, 48000};
    // clang-format off
    const std::tuple<Bytes, AudioFormat, Bytes> rows[] = {
        // HDMI-SPDIF 12 34 56 78: 0x4567 reversed is E6 A2; the next step, 56 78 00 00, 00 01.
        {pad({0x12, 0x34, 0x56, 0x78}, 64), kSpdif, pad({0xE6, 0xA2, 0x00, 0x01}, 64)},
        {pad({1, 2, 3, 4}, 64), {2, 16, 1, 1, 44100}, pad({2, 1, 4, 3}, 64)},  // little-endian
        {pad({1, 2}, 64, {0x80}), {0, 16, 9, 2, 8000}, pad({2, 1}, 64, {0x00, 0x80})},  // odd
        {pad({1, 2, 3}, 64, {9}), {3, 8, 2, 2, 48000}, pad({1, 2, 3}, 64, {9})},  // 8-bit as is
        // Steps at 62 and 64 read 0A BC 00 (0xABC0 reversed: 03 D5) and BC 00 00.
        {pad({}, 63, {0x0A, 0xBC}), kSpdif, pad({}, 62, {0x03, 0xD5, 0x00, 0x00})},
        // 11 11 11 is 0x1111, reversed 88 88; the last step takes in spare zeros; 3081 is cut.
        {Bytes(3081, 0x11), kSpdif, pad(Bytes(3078, 0x88), 3078, {0x00, 0x08})}};
    const AudioFormat refused[] = {{}, {4, 16, 1, 2, 48000}, {3, 16, 1, 2, 32000}, {3, 16, 1, 0, 48000},
        {3, 16, 1, 3, 48000}, {3, 9, 1, 2, 48000}, {3, 16, 8, 2, 48000}};
    // clang-format on
    for (const auto& [in, format, out] : rows) EXPECT_EQ(convert(in, format), out);
    for (const AudioFormat& f : refused) EXPECT_EQ(convert(Bytes(64, 1), f), Bytes{}) << f.source;
    EXPECT_EQ(log_of([&] { convert(Bytes(63, 1), kSpdif); }), "invalid audio length(63)\n");
}

TEST(DebugLog, StampsLineStartsOnlyCutsAt4094AndRotatesBeyond8192Bytes) {
    // The stamp is asctime's text, its newline trimmed by trim_line_end.
    const std::regex stamp(R"(\[\w{3} \w{3} [ \d]\d \d\d:\d\d:\d\d \d{4}\] )");
    const auto log = [&](const char* p) { return std::regex_replace(file_text(p), stamp, "@ "); };
    dbg_to_file();
    dbg_set_logfile("/tmp/log");
    dbg_printf("[DBG] %s:%d ", "main", 1312);
    errno = ECONNREFUSED;
    dbg_perror("recv");
    dbg_printf("%s", std::string(5000, 'y').c_str());
    EXPECT_EQ(log("/tmp/log"),
              "@ [DBG] main:1312 recv ::: Connection refused\n@ " + std::string(4094, 'y'));
    dbg_printf("\n");
    write_text("/tmp/log", std::string(8191, 'x') + "\n");  // 8192 bytes: appended to
    dbg_printf("a\n");
    EXPECT_EQ(log("/tmp/log"), std::string(8191, 'x') + "\n@ a\n");
    write_text("/tmp/log", std::string(8192, 'x') + "\n");  // 8193 bytes: rotated first
    dbg_printf("b\n");
    EXPECT_EQ(log("/tmp/log.bak") + log("/tmp/log"), std::string(8192, 'x') + "\n@ b\n");
}

TEST(JobSchedule, DueAtPeriodBoundariesUnderEachJobsConditions) {
    constexpr Settings kTs{2, 1, 1, 0}, kRtp{1, 1, 1, 0};
    constexpr std::int64_t t0 = 5'000'000'000;
    // The jobs' last runs (0: not yet), now, settings, TS socket open; then what is due:
    // detection, PSI, PCR, RTCP. A job is due once its period has passed (PCR and RTCP show
    // the microsecond before), and every job after the clock stepped back.
    // clang-format off
    const std::tuple<std::int64_t, std::int64_t, Settings, bool, const char*> rows[] = {
        {t0, t0 + 99'999, kTs, true, "----"},    {t0, t0 + 100'000, kTs, true, "--c-"},
        {t0, t0 + 500'000, kTs, true, "-pc-"},   {t0, t0 + 2'000'000, kTs, true, "dpc-"},
        {t0, t0 - 1, kTs, true, "dpc-"},         {t0, t0 + 999'999, kRtp, true, "----"},
        {t0, t0 + 1'000'000, kRtp, true, "---r"}, {0, t0, {1, 0, 1, 0}, true, "d---"},
        {0, t0, {1, 1, 3, 1}, true, "d---"},     {0, t0, {1, 1, 2, 0}, true, "d--r"},
        {0, t0, kTs, false, "d---"},             {0, t0, {2, 0, 1, 0}, true, "dpc-"},
        {0, t0, {2, 1, 3, 0}, true, "d---"},     {0, t0, {2, 1, 3, 1}, true, "dpc-"}};
    // clang-format on
    for (const auto& [last, now, s, ts_open, want] : rows) {
        const DueJobs d = due_jobs({last, last, last, last}, now, s, ts_open, false);
        EXPECT_EQ((std::string{"-d"[d.detect], "-p"[d.psi], "-c"[d.pcr], "-r"[d.rtcp]}), want);
    }
    EXPECT_EQ(clock_90k(1'700'000'000'123'456), 0x16A6BB62u);  // / 100 * 9: 0x8B2716A6BB62
}

TEST(SharedBlock, TextsReadWithinRoomAndSegmentAndTheSettingsSetInForce) {
    // Segment size, field offset, room, output size, length read; each segment is 'x' up to
    // its page's end, but for a NUL 20 bytes into ts_dest_ip (1440). No room, no NUL written.
    // clang-format off
    const std::array<std::size_t, 5> rows[] = {
        {1450, 1440, 48, 64, 10}, {4096, 3732, 2240, 4096, 364}, {4096, 13840, 16, 64, 0},
        {16384, 13860, 100000, 4096, 2524}, {16384, 3700, 32, 64, 32}, {16384, 3700, 32, 8, 7},
        {16384, 3700, 32, 1, 0}, {16384, 3700, 32, 0, 0}, {16384, 1440, 48, 64, 20}};
    // clang-format on
    for (const auto& [segment, offset, room, size, length] : rows) {
        shmctl(shmget(kShmKey, 0, 0), IPC_RMID, nullptr);
        auto* at = static_cast<char*>(shmat(shmget(kShmKey, segment, IPC_CREAT | 0600), 0, 0));
        std::memset(at, 'x', (segment + 4095) / 4096 * 4096);
        at[1460] = '\0';
        ASSERT_TRUE(shm_attach());
        std::string out(4096, '?');
        const char* field = reinterpret_cast<const char*>(shm_config) + offset;
        EXPECT_EQ(shm_read_text(field, room, out.data(), size), length) << segment << offset;
        EXPECT_EQ(out.substr(0, length + 2), std::string(length, 'x') + (size ? '\0' : '?') + '?');
    }
    // The room the management stand-in fills: up to the next field the service uses.
    EXPECT_EQ(shm_find_field("ts_dest_ip_alt")->room, 5972u - 3732);
    // The settings set in force: the block is all 'x', so use_alt_settings selects the
    // alternate set, whose channel mode and keep-alive read as 1, until it is 0.
    const Settings alt = read_settings();
    shm_store(shm_config->use_alt_settings, 0u);
    EXPECT_EQ((std::array{alt.channel_mode, alt.ts_keep_alive, read_settings().channel_mode}),
              (std::array{1, 1, 0x78787878}));
}

TEST(SharedBlock, ViewLoadsEachFieldAtUseAndNothingBeyondTheBlock) {
    // A view over plain memory laid out as the block: values written after the view was made
    // are the ones it reads; a field cut by the block's end reads as 0 or as empty text.
    alignas(8) std::array<std::uint8_t, kShmStandardSize> mem{};
    auto& c = *reinterpret_cast<ShmConfig*>(mem.data());
    const BlockView view(mem.data(), mem.size());
    c.mtu = 0xFFFFFFD8u;
    std::strcpy(c.ts_dest_ip, "239.1.2.3");
    std::memset(c.ts_dest_ip_alt, 'a', sizeof c.ts_dest_ip_alt);  // no NUL before cur_audio_source
    char out[4096];
    EXPECT_EQ(view.mtu(), -40);
    EXPECT_EQ(view.ts_destination(out, sizeof out), 9u);
    c.ts_dest_select = 1;
    EXPECT_EQ(view.ts_destination(out, sizeof out), 5972u - 3732);
    view.publish_format({1, 16, 2, 1, 44100});
    EXPECT_EQ((std::array{c.cur_audio_source, c.cur_audio_bits, c.cur_audio_codec,
                          c.cur_audio_channels, c.cur_audio_rate}),
              (std::array<std::uint32_t, 5>{1, 16, 2, 1, 44100}));
    c.multicast_ttl = 7;
    c.audio_rate_mode = 2;
    const BlockView cut(mem.data(), offsetof(ShmConfig, audio_rate_mode) + 3);
    EXPECT_EQ((std::array{cut.multicast_ttl(), static_cast<int>(cut.rate_mode())}),
              (std::array{7, 0}));
    EXPECT_EQ(BlockView(mem.data(), 3705).local_ip(out, sizeof out), 0u);
    c.local_ip[0] = 'x';
    EXPECT_EQ(BlockView(mem.data(), 3705).local_ip(out, sizeof out), 1u);
}

TEST(WireBytes, FieldsOutsideTheBufferAreNeitherWrittenNorRead) {
    std::array<std::uint8_t, 7> buf{};
    WireWriter w(buf);
    w.u8(0x47).be16(0x1234).be32(0xA1B2C3D4u);
    EXPECT_TRUE(w.ok());
    w.u8(0xEE);  // one byte past the end
    EXPECT_EQ(std::vector<std::uint8_t>(buf.begin(), buf.end()),
              (std::vector<std::uint8_t>{0x47, 0x12, 0x34, 0xA1, 0xB2, 0xC3, 0xD4}));
    EXPECT_FALSE(w.ok());
    EXPECT_FALSE(put_be32(buf, 4, 0));
    WireReader r(buf);
    EXPECT_EQ((std::array<std::uint32_t, 3>{r.u8(), r.be16(), r.be32()}),
              (std::array<std::uint32_t, 3>{0x47, 0x1234, 0xA1B2C3D4u}));
    EXPECT_TRUE(r.ok());
    EXPECT_EQ(r.u8(), 0u);
    EXPECT_FALSE(r.ok());
    EXPECT_EQ((std::array{get_be16(buf, 5), get_be16(buf, 6)}),
              (std::array<std::uint16_t, 2>{0xC3D4, 0}));
    EXPECT_FALSE(WireWriter(buf).fill(0, 5).bytes(buf.data(), 3).ok());
    EXPECT_EQ(buf[5], 0xC3);
}

void put(int mailbox, const Bytes& payload, long type = 1) {
    static mailbox_dump::Message m;
    m.type = type;
    std::copy(payload.begin(), payload.end(), m.data);
    ASSERT_EQ(msgsnd(msgget(mailbox, IPC_CREAT | 0600), &m, payload.size(), IPC_NOWAIT), 0);
}

// The oldest message of a mailbox; the receive buffer past it stays untouched.
Bytes received(int mailbox) {
    Bytes d(kMbxPayloadMax + 1, 0xEE);
    const int n = std::max(mbx_recv_nowait(mailbox, d.data()), 0);
    EXPECT_EQ(d[static_cast<std::size_t>(n)], 0xEE);
    return Bytes(d.begin(), d.begin() + n);
}

// What a sender must queue: zeros, the code as a 4-byte number at 0, then each field
// {offset, width, value}: a number of 1, 2 or 4 bytes in the host's byte order, or `width`
// bytes of kText.
const std::string kText(kMbxPayloadMax, '%');
Bytes layout(std::size_t size, std::uint32_t code,
             std::initializer_list<std::array<std::size_t, 3>> fields = {}) {
    Bytes b(size, 0);
    std::vector<std::array<std::size_t, 3>> all{{0, 4, code}};
    all.insert(all.end(), fields);
    const bool big = std::endian::native == std::endian::big;
    for (const auto& [at, width, value] : all)
        for (std::size_t i = 0; i < width; ++i)
            b[at + i] =
                static_cast<std::uint8_t>(width > 4 ? '%' : value >> 8 * (big ? width - 1 - i : i));
    return b;
}

TEST(Mailbox, SendsFlushFullQueuesAtMostEightTimesAndWaitsTakeTheirCode) {
    EXPECT_EQ(announce_service(), 1);  // creates mailbox 3 (key 3) for owner and group
    EXPECT_TRUE(std::regex_search(file_text("/proc/sysvipc/msg"), std::regex(R"( 3 +\d+ +660 )")));
    for (int i = 0; i < 8; ++i) put(3, Bytes(i ? 2048 : 2044, 1), 99 + i);  // 16384 bytes: full
    EXPECT_EQ(announce_service(), 1);  // every message, of any type, flushed
    EXPECT_EQ(received(3), layout(4, 25));
    // Behind messages that no receive takes, each flush fails; the eighth ends the send.
    for (int i = 0; i < 7; ++i) put(5, Bytes(2049, 3));
    EXPECT_TRUE(std::regex_match(log_of([] { EXPECT_EQ(mbx_send(5, kText.data(), 2048), 0); }),
                                 std::regex("(msgrcv ::: Argument list too long\n){8}"
                                            "msgsnd ::: Resource temporarily unavailable\n")));
    // The wait for code 6 on mailbox 9 drops other codes; a short answer reads 0, not the word
    // of the message before it.
    put(9, layout(8, 5, {{4, 4, 1}}));
    put(9, layout(4, 6));
    std::uint32_t got = 7;
    EXPECT_EQ((std::pair{mbx_wait_msg6(&got), got}), std::pair(4, 0u));
    // The wait for code 5 on mailbox 4: a refusal (all ones) is 0 and leaves the answer alone.
    put(4, layout(8, 5, {{4, 4, 0xFFFFFFFF}}));
    put(4, layout(8, 5, {{4, 4, 42}}));
    EXPECT_EQ((std::pair{mbx_wait_msg5(&got), got}), std::pair(0, 0u));
    EXPECT_EQ((std::pair{mbx_wait_msg5(&got), got}), std::pair(1, 42u));
    // Removing a queue logs only when it fails.
    const int queue = msgget(77, IPC_CREAT | 0600);
    EXPECT_EQ(log_of([&] { EXPECT_EQ(remove_msgq(queue), 0); }), "");
    EXPECT_EQ(log_of([&] { EXPECT_EQ(remove_msgq(queue), -1); }),
              "fail to msgctl in remove_msgq ::: Invalid argument\n");
}

TEST(Mailbox, EverySenderQueuesItsLayoutOnItsMailbox) {
    const auto check = [](int sent, std::initializer_list<int> mailboxes, const Bytes& payload) {
        EXPECT_EQ(sent, 1);
        for (const int m : mailboxes) EXPECT_EQ(received(m), payload) << m;
    };
    constexpr std::uint32_t w = 0x8899AABB;
    const char* t = kText.c_str();
    Bytes own(468, '%');  // codes 1 to 3: the caller's buffer, sent with the code put in
    // clang-format off
    check(mbx_msg1(8, own.data()), {8}, layout(116, 1, {{4, 112, 0}}));
    check(mbx_msg2(7, own.data()), {7}, layout(468, 2, {{4, 464, 0}}));
    check(mbx_msg3(1, own.data()), {1}, layout(252, 3, {{4, 248, 0}}));
    check(mbx_msg4(0xA5, 1, 2, 3, 4, 5, w), {5}, layout(32, 4, {{4, 1, 0xA5}, {8, 4, 1},
          {12, 4, 2}, {16, 4, 3}, {20, 4, 4}, {24, 4, 5}, {28, 4, w}}));
    check(mbx_msg7(w, t, t), {3}, layout(104, 7, {{4, 4, w}, {8, 56, 0}, {64, 40, 0}}));
    check(mbx_msg9(t, t, 1, 2, w), {3},
          layout(128, 9, {{4, 56, 0}, {60, 56, 0}, {116, 4, 1}, {120, 4, 2}, {124, 4, w}}));
    check(mbx_msg15(1, 2, 3, w), {8}, layout(20, 15, {{4, 4, 1}, {8, 4, 2}, {12, 4, 3}, {16, 4, w}}));
    check(mbx_msg240(t), {1}, layout(1024, 240, {{4, 1019, 0}}));  // the text cut at 1019
    check(mbx_msg6(w), {3, 9}, layout(8, 6, {{4, 4, w}}));
    for (const auto& [send, code] : {std::pair{&mbx_msg17, 17}, {mbx_msg18, 18}, {mbx_msg19, 19},
                                     {mbx_msg20, 20}})
        check(send(t, 0x1234, 0xBEEF), {3}, layout(24, code, {{4, 16, 0}, {20, 2, 0x1234}, {22, 2, 0xBEEF}}));
    for (const auto& [send, code] : {std::pair{&mbx_msg21, 21}, {mbx_msg22, 22}})
        check(send(t, 0x1234), {3}, layout(24, code, {{4, 16, 0}, {20, 2, 0x1234}}));
    for (const auto& [send, mailbox, code] : {std::tuple{&mbx_msg5, 4, 5u}, {mbx_msg10, 7, 10},
             {mbx_msg13, 8, 13}, {mbx_msg26, 6, 26}, {mbx_msg160, 3, 160}})
        check(send(w), {mailbox}, layout(8, code, {{4, 4, w}}));
    for (const auto& [send, mailbox, code] : {std::tuple{&mbx_msg11, 7, 11u}, {mbx_msg12, 6, 12},
             {mbx_msg14, 8, 14}, {mbx_msg16, 3, 16}, {mbx_msg23, 3, 23}, {announce_service, 3, 25},
             {mbx_msg27, 3, 27}, {mbx_msg28, 3, 28}, {mbx_msg161, 3, 161}, {mbx_msg162, 3, 162}})
        check(send(), {mailbox}, layout(4, code));
    // clang-format on
}

}  // namespace

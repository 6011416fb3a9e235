// The shared block, service side, on real segments in a private IPC namespace: bounded text
// reads, the choice of settings set, the command mailbox.
#include "core/shm_config.h"

#include <gtest/gtest.h>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <tuple>

#include "support/isolation.h"

namespace {

// A fresh block of `size` bytes, attached as the service does; `fill` up to the page's end.
void make_block(std::size_t size, char fill) {
    const int old = shmget(kShmKey, 0, 0);
    if (old != -1) shmctl(old, IPC_RMID, nullptr);
    const int id = shmget(kShmKey, size, IPC_CREAT | IPC_EXCL | 0600);
    ASSERT_NE(id, -1) << std::strerror(errno);
    void* at = shmat(id, nullptr, 0);
    ASSERT_NE(at, reinterpret_cast<void*>(-1));
    const std::size_t page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
    std::memset(at, fill, (size + page - 1) / page * page);
    shmdt(at);
    ASSERT_TRUE(shm_attach());
}

TEST(ShmText, ReadsStopAtNulRoomOutputAndSegmentEnd) {
    ASSERT_TRUE(enter_private_ipc());
    // 4096 bytes end (with the mapping) inside ts_dest_ip_alt's room, before the command
    // fields; 1450 bytes end 10 bytes into ts_dest_ip.
    constexpr std::size_t kStd = kShmStandardSize, kDest = offsetof(ShmConfig, ts_dest_ip),
                          kTag = offsetof(ShmConfig, cmd_client_tag);
    // clang-format off
    const std::tuple<std::size_t, std::size_t, std::size_t, std::size_t, std::size_t> cases[] = {
        // segment, field, room, output size, length read
        {kStd, kDest, 48, 4096, 48}, {kStd, kTag, 100000, 4096, kStd - 13860},
        {kStd, kDest, 48, 8, 7}, {kStd, kDest, 48, 1, 0},
        {4096, offsetof(ShmConfig, ts_dest_ip_alt), 5972 - 3732, 4096, 4096 - 3732},
        {4096, offsetof(ShmConfig, cmd_dest_ip), 16, 4096, 0}, {4096, kTag, 100000, 4096, 0},
        {1450, kDest, 48, 64, 10}};
    // clang-format on
    for (const auto& [segment, offset, room, out_size, length] : cases) {
        SCOPED_TRACE(testing::Message() << segment << " bytes, field at " << offset);
        make_block(segment, 'x');
        const char* field = reinterpret_cast<const char*>(shm_config) + offset;
        EXPECT_EQ(shm_room_from(field), segment > offset ? segment - offset : 0);
        std::string out(4096, '?');
        EXPECT_EQ(shm_read_text(field, room, out.data(), out_size), length);
        EXPECT_EQ(out.substr(0, length + 2), std::string(length, 'x') + '\0' + '?');
    }
    std::memcpy(shm_config->ts_dest_ip, "10.0.0.1", 9);
    char out[64] = "?";
    EXPECT_EQ(shm_read_text(shm_config->ts_dest_ip, 48, out, 0), 0u);
    EXPECT_EQ(out[0], '?') << "a zero-sized output must not be written";
    EXPECT_EQ(shm_read_text(shm_config->ts_dest_ip, 48, out, sizeof out), 8u);
    EXPECT_STREQ(out, "10.0.0.1");
}

TEST(ShmSettings, UseAltSettingsChoosesTheSetAtEveryCall) {
    ASSERT_TRUE(enter_private_ipc());
    make_block(kShmStandardSize, 0);
    ShmConfig& c = *shm_config;
    std::tie(c.audio_output_mode, c.audio_enable, c.audio_channel_mode, c.ts_keep_alive) =
        std::tuple(2, 7, 3, 0);
    std::tie(c.alt_audio_output_mode, c.alt_audio_enable) = std::tuple(1, 0);
    using Four = std::tuple<std::int32_t, std::int32_t, std::int32_t, std::int32_t>;
    // The alternate set fixes channel mode and keep-alive; any non-zero value selects it.
    const std::pair<std::uint32_t, Four> cases[] = {
        {0, {2, 7, 3, 0}}, {1, {1, 0, 1, 1}}, {0xFFFFFFFFu, {1, 0, 1, 1}}, {0, {2, 7, 3, 0}}};
    for (const auto& [use_alt, want] : cases) {
        shm_store(c.use_alt_settings, use_alt);
        EXPECT_EQ(use_alt_settings(), use_alt != 0);
        const Settings s = read_settings();
        EXPECT_EQ(Four(s.output_mode, s.enable, s.channel_mode, s.ts_keep_alive), want) << use_alt;
    }
    // A value that does not fit a signed 32-bit number reads as its bit pattern.
    shm_store(c.audio_output_mode, 0xFFFFFFFFu);
    EXPECT_EQ(read_settings().output_mode, -1);
}

TEST(ShmMailbox, OnlyOneIsACommandAndServingClearsTheFlag) {
    ASSERT_TRUE(enter_private_ipc());
    make_block(kShmStandardSize, 0);
    ShmConfig& c = *shm_config;
    for (const std::uint32_t flag : {0u, 2u, 0x100u, 0xFFFFFFFFu, 1u}) {
        shm_store(c.cmd_pending, flag);
        EXPECT_EQ(shm_command_pending(), flag == 1) << flag;
    }
    // A 16-byte address without NUL and a tag longer than the service keeps.
    std::memcpy(c.cmd_dest_ip, "192.168.100.2001", 16);
    c.cmd_rtp_port = 5004;
    c.cmd_rtcp_port = 65535;
    const std::string tag = "RTSP-" + std::string(100, 't');
    std::memcpy(c.cmd_client_tag, tag.c_str(), tag.size() + 1);
    c.cmd_code = 0x80000001u;

    const ShmCommand cmd = shm_read_command();
    EXPECT_EQ(std::tuple(cmd.code, std::string(cmd.dest_ip), cmd.rtp_port, cmd.rtcp_port,
                         std::string(cmd.client_tag)),
              std::tuple(0x80000001u, "192.168.100.200", 5004, 65535,
                         tag.substr(0, sizeof cmd.client_tag - 1)));

    shm_command_done();  // that it writes nothing else is the end-to-end tests' check
    EXPECT_EQ(std::pair(c.cmd_pending, c.cmd_code), std::pair(0u, 0x80000001u));
}

}  // namespace

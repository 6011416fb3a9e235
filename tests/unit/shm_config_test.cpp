// The shared configuration block, service side, on real System V segments in a private
// IPC namespace: bounded text reads, the choice of settings set, the command mailbox.
#include "core/shm_config.h"

#include <gtest/gtest.h>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "support/isolation.h"

namespace {

// Creates the block with `size` bytes and attaches it as the service does. Every byte
// of the mapping is `fill`, including those past `size` up to the page's end, so that a
// read beyond the segment's size finds no NUL there either.
void make_block(std::size_t size, char fill) {
    const int id = shmget(kShmKey, size, IPC_CREAT | IPC_EXCL | 0600);
    ASSERT_NE(id, -1) << std::strerror(errno);
    void* at = shmat(id, nullptr, 0);
    ASSERT_NE(at, reinterpret_cast<void*>(-1));
    const std::size_t page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
    std::memset(at, fill, (size + page - 1) / page * page);
    shmdt(at);
    ASSERT_TRUE(shm_attach());
}

void put_text(char* field, const char* text) { std::memcpy(field, text, std::strlen(text) + 1); }

}  // namespace

TEST(ShmText, ReadsStopAtNulRoomOutputAndSegmentEnd) {
    ASSERT_TRUE(enter_private_ipc());
    make_block(kShmStandardSize, 'x');
    ShmConfig& c = *shm_config;
    put_text(c.local_ip, "10.0.0.1");
    char out[4096];

    struct Case {
        const char* what;
        const char* field;
        std::size_t room;
        std::size_t out_size;
        std::size_t expected;
    };
    const Case cases[] = {
        {"stops at the NUL", c.local_ip, 32, sizeof out, 8},
        {"no NUL: stops at the room", c.ts_dest_ip, 48, sizeof out, 48},
        {"no NUL: the client tag runs to the segment's end", c.cmd_client_tag, 100000, sizeof out,
         kShmStandardSize - 13860},
        {"output smaller than the room", c.ts_dest_ip, 48, 8, 7},
        {"output of one byte holds only the NUL", c.ts_dest_ip, 48, 1, 0},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.what);
        std::memset(out, '?', sizeof out);
        EXPECT_EQ(shm_read_text(k.field, k.room, out, k.out_size), k.expected);
        EXPECT_EQ(std::strlen(out), k.expected);
        if (k.expected > 0) {
            EXPECT_EQ(out[0], k.field[0]);
        }
    }
    out[0] = '?';
    EXPECT_EQ(shm_read_text(c.ts_dest_ip, 48, out, 0), 0u);
    EXPECT_EQ(out[0], '?') << "a zero-sized output must not be written";
}

TEST(ShmText, SegmentSmallerThanTheFieldsRoomIsNeverReadPastItsEnd) {
    // 4096 bytes: ts_dest_ip_alt (3732) has room for 2240 bytes but only 364 lie inside
    // the segment, and the mapping ends right there: reading on would fault. The command
    // fields lie wholly outside and read as empty texts.
    ASSERT_TRUE(enter_private_ipc());
    make_block(4096, 'y');
    char out[4096];
    EXPECT_EQ(shm_room_from(shm_config->ts_dest_ip_alt), 4096u - 3732u);
    EXPECT_EQ(shm_read_text(shm_config->ts_dest_ip_alt, 5972 - 3732, out, sizeof out),
              4096u - 3732u);
    EXPECT_EQ(shm_room_from(shm_config->cmd_dest_ip), 0u);
    EXPECT_EQ(shm_read_text(shm_config->cmd_dest_ip, 16, out, sizeof out), 0u);
    EXPECT_STREQ(out, "");
    EXPECT_EQ(shm_read_text(shm_config->cmd_client_tag, 100000, out, sizeof out), 0u);
}

TEST(ShmText, FieldCutBySegmentEndInsideItsRoom) {
    // The segment ends 10 bytes into ts_dest_ip (room 48): ten bytes, no more.
    ASSERT_TRUE(enter_private_ipc());
    make_block(1440 + 10, 'z');
    char out[64];
    EXPECT_EQ(shm_read_text(shm_config->ts_dest_ip, 48, out, sizeof out), 10u);
    EXPECT_STREQ(out, "zzzzzzzzzz");
}

TEST(ShmSettings, UseAltSettingsChoosesTheSetAtEveryCall) {
    ASSERT_TRUE(enter_private_ipc());
    make_block(kShmStandardSize, 0);
    ShmConfig& c = *shm_config;
    c.audio_output_mode = 2;
    c.audio_enable = 7;
    c.audio_channel_mode = 3;
    c.ts_keep_alive = 0;
    c.alt_audio_output_mode = 1;
    c.alt_audio_enable = 0;

    struct Case {
        std::uint32_t use_alt;
        Settings expected;
    };
    const Case cases[] = {
        {0, {2, 7, 3, 0}},
        {1, {1, 0, 1, 1}},            // channel mode and keep-alive are fixed in the alternate set
        {0xFFFFFFFFu, {1, 0, 1, 1}},  // any non-zero value
        {0, {2, 7, 3, 0}},            // and back, without any cached copy
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.use_alt);
        shm_store(c.use_alt_settings, k.use_alt);
        EXPECT_EQ(use_alt_settings(), k.use_alt != 0);
        const Settings s = read_settings();
        EXPECT_EQ(s.output_mode, k.expected.output_mode);
        EXPECT_EQ(s.enable, k.expected.enable);
        EXPECT_EQ(s.channel_mode, k.expected.channel_mode);
        EXPECT_EQ(s.ts_keep_alive, k.expected.ts_keep_alive);
    }
    // A value that does not fit a signed 32-bit number reads as its bit pattern.
    shm_store(c.audio_output_mode, 0xFFFFFFFFu);
    EXPECT_EQ(read_settings().output_mode, -1);
}

TEST(ShmMailbox, OnlyOneIsACommandAndServingWritesOnlyTheFlag) {
    ASSERT_TRUE(enter_private_ipc());
    make_block(kShmStandardSize, 0);
    ShmConfig& c = *shm_config;
    for (const std::uint32_t flag : {0u, 2u, 3u, 0x100u, 0xFFFFFFFFu}) {
        shm_store(c.cmd_pending, flag);
        EXPECT_FALSE(shm_command_pending()) << flag;
    }
    shm_store(c.cmd_pending, 1u);
    EXPECT_TRUE(shm_command_pending());

    // The writer's arguments, with a 16-byte address that has no NUL and a tag longer
    // than the service keeps.
    std::memcpy(c.cmd_dest_ip, "192.168.100.2001", 16);
    c.cmd_rtp_port = 5004;
    c.cmd_rtcp_port = 65535;
    const std::string tag = "RTSP-" + std::string(100, 't');
    put_text(c.cmd_client_tag, tag.c_str());
    c.cmd_code = 0x80000001u;

    const ShmCommand cmd = shm_read_command();
    EXPECT_EQ(cmd.code, 0x80000001u);
    EXPECT_STREQ(cmd.dest_ip, "192.168.100.200");  // 15 characters kept
    EXPECT_EQ(cmd.rtp_port, 5004);
    EXPECT_EQ(cmd.rtcp_port, 65535);
    EXPECT_EQ(std::string(cmd.client_tag), tag.substr(0, sizeof cmd.client_tag - 1));

    shm_command_done();
    EXPECT_EQ(c.cmd_pending, 0u);
    EXPECT_FALSE(shm_command_pending());
    EXPECT_EQ(c.cmd_code, 0x80000001u);
    EXPECT_EQ(std::memcmp(c.cmd_dest_ip, "192.168.100.2001", 16), 0);
    EXPECT_EQ(std::string(c.cmd_client_tag), tag);
}

TEST(ShmAttach, MissingBlockFails) {
    ASSERT_TRUE(enter_private_ipc());
    testing::internal::CaptureStdout();
    EXPECT_FALSE(shm_attach());
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              std::string("shmget failed :  ::: ") + std::strerror(ENOENT) + "\n");
}

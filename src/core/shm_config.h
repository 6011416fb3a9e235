// The shared configuration block: System V shared memory, key 1005, owned by the
// management process. The service attaches it, reads settings field by field at the
// moment of use, serves the one-slot command mailbox, and writes back the detected
// audio format. The layout below is an inter-process contract: offsets never move.
#pragma once

#include <cstddef>
#include <cstdint>
#include <type_traits>

inline constexpr int kShmKey = 1005;
// Size of the block the management process (and its stand-in) creates.
inline constexpr std::size_t kShmStandardSize = 16384;

// Every field the service touches, at its fixed offset; the gaps belong to other users
// of the block and are never read or written here. Multi-byte fields are native order.
struct ShmConfig {
    std::uint8_t gap0[20];
    std::uint32_t use_alt_settings;  // 0 = primary settings set, else alternate
    std::uint16_t board_type;        // 0x0100 = consult the FPGA audio input register
    std::uint8_t gap1[1388 - 26];
    std::uint32_t ts_dest_select;  // 1 = TS destination is ts_dest_ip_alt
    std::uint8_t gap2[1405 - 1392];
    std::uint8_t ssrc_seed_hi;   // bits 31..24 of the SSRC base
    std::uint8_t ssrc_seed_mid;  // bits 23..16
    std::uint8_t ssrc_seed_lo;   // bits 15..8
    std::uint8_t gap3[1440 - 1408];
    char ts_dest_ip[48];  // primary TS destination; empty = no TS output
    std::uint32_t multicast_ttl;
    std::uint8_t gap4[1512 - 1492];
    std::uint32_t mtu;  // used as signed
    std::uint8_t gap5[1572 - 1516];
    std::uint32_t ts_keep_alive;
    std::uint8_t gap6[1580 - 1576];
    std::uint32_t audio_channel_mode;  // 1 stereo, 2 mono, 3 off
    std::uint8_t gap7[1596 - 1584];
    std::uint32_t audio_codec;  // 1 linear PCM, 2 PCMA, 3 PCMU, 8 no audio
    std::uint8_t gap8[1604 - 1600];
    std::uint32_t audio_rate_mode;  // 2 = 8000 Hz instead of a detected 48000 Hz
    std::uint8_t gap9[1628 - 1608];
    std::uint32_t audio_enable;
    std::uint8_t gap10[1636 - 1632];
    std::uint32_t audio_output_mode;  // 1 RTP, 2 transport stream, other = none
    std::uint8_t gap11[1812 - 1640];
    std::uint32_t alt_audio_enable;
    std::uint8_t gap12[3700 - 1816];
    char local_ip[32];                 // the appliance's own address
    char ts_dest_ip_alt[5972 - 3732];  // bounded only by its NUL; room up to the next field
    std::uint32_t cur_audio_source;    // written by the format poll, AudioFormat order
    std::uint32_t cur_audio_bits;
    std::uint32_t cur_audio_codec;
    std::uint32_t cur_audio_channels;
    std::uint32_t cur_audio_rate;
    std::uint8_t gap13[6420 - 5992];
    std::uint32_t alt_audio_source;  // fixed format of the alternate set
    std::uint32_t alt_audio_bits;
    std::uint32_t alt_audio_codec;
    std::uint32_t alt_audio_channels;
    std::uint32_t alt_audio_rate;
    std::uint8_t gap14[6444 - 6440];
    std::uint32_t alt_audio_output_mode;
    std::uint8_t gap15[13832 - 6448];
    std::uint32_t cmd_pending;  // 1 = a command waits; the service writes 0
    std::uint32_t cmd_code;
    char cmd_dest_ip[16];
    std::uint16_t cmd_rtp_port;
    std::uint16_t cmd_rtcp_port;
    char cmd_client_tag[1];  // runs on to its NUL, within the segment
};

static_assert(std::is_trivially_copyable_v<ShmConfig>);
static_assert(offsetof(ShmConfig, use_alt_settings) == 20);
static_assert(offsetof(ShmConfig, board_type) == 24);
static_assert(offsetof(ShmConfig, ts_dest_select) == 1388);
static_assert(offsetof(ShmConfig, ssrc_seed_hi) == 1405);
static_assert(offsetof(ShmConfig, ssrc_seed_mid) == 1406);
static_assert(offsetof(ShmConfig, ssrc_seed_lo) == 1407);
static_assert(offsetof(ShmConfig, ts_dest_ip) == 1440);
static_assert(offsetof(ShmConfig, multicast_ttl) == 1488);
static_assert(offsetof(ShmConfig, mtu) == 1512);
static_assert(offsetof(ShmConfig, ts_keep_alive) == 1572);
static_assert(offsetof(ShmConfig, audio_channel_mode) == 1580);
static_assert(offsetof(ShmConfig, audio_codec) == 1596);
static_assert(offsetof(ShmConfig, audio_rate_mode) == 1604);
static_assert(offsetof(ShmConfig, audio_enable) == 1628);
static_assert(offsetof(ShmConfig, audio_output_mode) == 1636);
static_assert(offsetof(ShmConfig, alt_audio_enable) == 1812);
static_assert(offsetof(ShmConfig, local_ip) == 3700);
static_assert(offsetof(ShmConfig, ts_dest_ip_alt) == 3732);
static_assert(offsetof(ShmConfig, cur_audio_source) == 5972);
static_assert(offsetof(ShmConfig, cur_audio_bits) == 5976);
static_assert(offsetof(ShmConfig, cur_audio_codec) == 5980);
static_assert(offsetof(ShmConfig, cur_audio_channels) == 5984);
static_assert(offsetof(ShmConfig, cur_audio_rate) == 5988);
static_assert(offsetof(ShmConfig, alt_audio_source) == 6420);
static_assert(offsetof(ShmConfig, alt_audio_bits) == 6424);
static_assert(offsetof(ShmConfig, alt_audio_codec) == 6428);
static_assert(offsetof(ShmConfig, alt_audio_channels) == 6432);
static_assert(offsetof(ShmConfig, alt_audio_rate) == 6436);
static_assert(offsetof(ShmConfig, alt_audio_output_mode) == 6444);
static_assert(offsetof(ShmConfig, cmd_pending) == 13832);
static_assert(offsetof(ShmConfig, cmd_code) == 13836);
static_assert(offsetof(ShmConfig, cmd_dest_ip) == 13840);
static_assert(offsetof(ShmConfig, cmd_rtp_port) == 13856);
static_assert(offsetof(ShmConfig, cmd_rtcp_port) == 13858);
static_assert(offsetof(ShmConfig, cmd_client_tag) == 13860);

// Smallest segment that holds every field, with one byte for the tag's NUL.
inline constexpr std::size_t kShmMinSize = offsetof(ShmConfig, cmd_client_tag) + 1;

// The attached block; null until shm_attach succeeds.
extern ShmConfig* shm_config;

// Every read of the block is one fresh load: other processes write it at any moment.
template <class T>
T shm_load(const T& field) {
    return *static_cast<const volatile T*>(&field);
}
template <class T>
void shm_store(T& field, T value) {
    *static_cast<volatile T*>(&field) = value;
}

// shmget(1005, 0, 0) and shmat; on failure logs "shmget failed : " or "shmat failed : "
// through dbg_perror and returns false. Records the segment's size (IPC_STAT).
bool shm_attach();

// Whether the attached segment holds every field above (kShmMinSize bytes): the numbers
// are read without a bound, so a smaller one is refused. Logs the refusal with both sizes
// ("fail to use the shared block: ..."); the caller ends the start-up with status 1.
bool shm_fits_layout();

// Checks that key 1005 still names the attached segment. When the management process has
// removed it, the service keeps reading the orphan (it stays mapped) and logs the loss once;
// when a new segment holds the key and fits the layout, it is attached in the old one's
// place (shm_config moves, views of the old one must be replaced) and that is logged.
enum class ShmFollow { same, lost, replaced };
ShmFollow shm_follow_block();

// Bytes of the attached segment (IPC_STAT); 0 before shm_attach or when it is unknown.
std::size_t shm_segment_size();

// Bytes of the segment from `field` to its end (0 when the field lies beyond it).
std::size_t shm_room_from(const void* field);

// Copies a text field into `out` (always NUL-terminated): at most `room` bytes of the
// field, never past the segment's end, stopping at the field's NUL. Returns the length.
std::size_t shm_read_text(const char* field, std::size_t room, char* out, std::size_t out_size);

// The copy both text readers make: at most `limit` characters of a text that another process
// may change at any moment, each loaded once, stopping at its NUL; `out` (room for limit + 1)
// gets them and a NUL. Returns the length.
std::size_t copy_shared_text(const volatile char* src, std::size_t limit, char* out);

// The settings in force, chosen afresh by use_alt_settings at each call.
struct Settings {
    std::int32_t output_mode;  // 1 RTP, 2 transport stream
    std::int32_t enable;
    std::int32_t channel_mode;   // 3 = audio off; the alternate set always reads 1
    std::int32_t ts_keep_alive;  // the alternate set always reads 1
};
Settings read_settings();
bool use_alt_settings();

// The command mailbox, service side. The writer fills the arguments, then cmd_code, then
// sets cmd_pending to 1; the service acts and writes 0. Only the value 1 is a command.
struct ShmCommand {
    std::uint32_t code;
    char dest_ip[16];
    std::uint16_t rtp_port;
    std::uint16_t rtcp_port;
    char client_tag[64];  // enough for the kind prefixes; the rest is never looked at
};
bool shm_command_pending();
ShmCommand shm_read_command();
void shm_command_done();

// Field table shared by the management stand-in and the tests: name, offset, kind.
enum class ShmFieldKind { u8, u16, u32, text };
struct ShmField {
    const char* name;
    std::size_t offset;
    ShmFieldKind kind;
    std::size_t room;  // bytes of a text field (0 for numbers)
};
extern const ShmField kShmFields[];
extern const std::size_t kShmFieldCount;
const ShmField* shm_find_field(const char* name);

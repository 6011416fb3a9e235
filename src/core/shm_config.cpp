#include "core/shm_config.h"

#include <sys/ipc.h>
#include <sys/shm.h>

#include <atomic>
#include <cstring>
#include <utility>

#include "core/debug_log.h"

ShmConfig* shm_config = nullptr;

namespace {

int g_id = -1;
std::size_t g_segment_size = 0;
bool g_loss_told = false;  // the loss of the attached segment has been logged
int g_refused_id = -1;     // a successor already refused: not tried again

// shmat and the segment's size; a null address after "shmat failed : ".
std::pair<ShmConfig*, std::size_t> attach_id(int id) {
    void* addr = shmat(id, nullptr, 0);
    if (addr == reinterpret_cast<void*>(-1)) {
        dbg_perror("shmat failed : ");
        return {nullptr, 0};
    }
    struct shmid_ds ds {};
    // Without the size nothing bounds the text fields; a block too small to hold them
    // then reads as empty texts rather than running past the mapping.
    return {static_cast<ShmConfig*>(addr), shmctl(id, IPC_STAT, &ds) == 0 ? ds.shm_segsz : 0};
}

bool fits_layout(std::size_t size) {
    if (size >= kShmMinSize) return true;
    dbg_printf("fail to use the shared block: %zu bytes, its layout needs %zu\n", size,
               kShmMinSize);
    return false;
}

// Linux hands the key of a removed segment back at once (the segment lives on, keyless,
// while attached); SHM_DEST is checked as well for a kernel that would keep the key.
bool still_ours(int id) {
    struct shmid_ds ds {};
    return id == g_id && shmctl(g_id, IPC_STAT, &ds) == 0 && (ds.shm_perm.mode & SHM_DEST) == 0;
}

}  // namespace

bool shm_attach() {
    const int id = shmget(kShmKey, 0, 0);
    if (id == -1) {
        dbg_perror("shmget failed : ");
        return false;
    }
    const auto [at, size] = attach_id(id);
    if (!at) return false;
    g_id = id;
    g_segment_size = size;
    shm_config = at;
    return true;
}

bool shm_fits_layout() { return fits_layout(g_segment_size); }

ShmFollow shm_follow_block() {
    const int id = shmget(kShmKey, 0, 0);
    if (still_ours(id)) return ShmFollow::same;
    if (id != -1 && id != g_id && id != g_refused_id) {
        const auto [at, size] = attach_id(id);
        if (at && fits_layout(size)) {
            shmdt(shm_config);
            g_id = id;
            g_segment_size = size;
            shm_config = at;
            g_loss_told = false;
            dbg_printf("[SHM] block %d attached anew (%zu bytes)\n", kShmKey, size);
            return ShmFollow::replaced;
        }
        if (at) shmdt(at);
        g_refused_id = id;
    }
    if (!g_loss_told) dbg_printf("[SHM] block %d removed: commands wait for a new one\n", kShmKey);
    g_loss_told = true;
    return ShmFollow::lost;
}

std::size_t shm_segment_size() { return g_segment_size; }

std::size_t shm_room_from(const void* field) {
    const auto base = reinterpret_cast<std::uintptr_t>(shm_config);
    const auto at = reinterpret_cast<std::uintptr_t>(field);
    if (!shm_config || at < base || at - base >= g_segment_size) return 0;
    return g_segment_size - (at - base);
}

std::size_t shm_read_text(const char* field, std::size_t room, char* out, std::size_t out_size) {
    if (out_size == 0) return 0;
    std::size_t limit = room < shm_room_from(field) ? room : shm_room_from(field);
    if (limit > out_size - 1) limit = out_size - 1;
    return copy_shared_text(field, limit, out);
}

std::size_t copy_shared_text(const volatile char* src, std::size_t limit, char* out) {
    std::size_t n = 0;
    for (; n < limit; ++n) {
        const char c = src[n];
        if (c == '\0') break;
        out[n] = c;
    }
    out[n] = '\0';
    return n;
}

bool use_alt_settings() { return shm_load(shm_config->use_alt_settings) != 0; }

Settings read_settings() {
    const ShmConfig& c = *shm_config;
    if (use_alt_settings())
        return {static_cast<std::int32_t>(shm_load(c.alt_audio_output_mode)),
                static_cast<std::int32_t>(shm_load(c.alt_audio_enable)), 1, 1};
    return {static_cast<std::int32_t>(shm_load(c.audio_output_mode)),
            static_cast<std::int32_t>(shm_load(c.audio_enable)),
            static_cast<std::int32_t>(shm_load(c.audio_channel_mode)),
            static_cast<std::int32_t>(shm_load(c.ts_keep_alive))};
}

// The flag orders the handshake: the writer stores the arguments and the code before it sets
// cmd_pending to 1. On the appliance's weakly ordered PowerPC, another core's plain loads may
// see the flag before those stores, so the flag is loaded with acquire ordering (the reads of
// the arguments come after it) and the acknowledgement stored with release ordering (those
// reads are done before the writer can see 0 and write the next command's arguments).
// shmat maps the segment at a page boundary, so the offset decides the flag's alignment.
constexpr std::size_t kFlagAlignment = std::atomic_ref<std::uint32_t>::required_alignment;
static_assert(offsetof(ShmConfig, cmd_pending) % kFlagAlignment == 0);

bool shm_command_pending() {
    return std::atomic_ref(shm_config->cmd_pending).load(std::memory_order_acquire) == 1;
}

ShmCommand shm_read_command() {
    ShmConfig& c = *shm_config;
    ShmCommand cmd{};
    cmd.code = shm_load(c.cmd_code);
    shm_read_text(c.cmd_dest_ip, sizeof c.cmd_dest_ip, cmd.dest_ip, sizeof cmd.dest_ip);
    cmd.rtp_port = shm_load(c.cmd_rtp_port);
    cmd.rtcp_port = shm_load(c.cmd_rtcp_port);
    shm_read_text(c.cmd_client_tag, sizeof cmd.client_tag, cmd.client_tag, sizeof cmd.client_tag);
    return cmd;
}

void shm_command_done() {
    std::atomic_ref(shm_config->cmd_pending).store(0u, std::memory_order_release);
}

#define SHM_NUM(f, k) \
    { #f, offsetof(ShmConfig, f), ShmFieldKind::k, 0 }
#define SHM_TEXT(f, room) \
    { #f, offsetof(ShmConfig, f), ShmFieldKind::text, room }

const ShmField kShmFields[] = {
    SHM_NUM(use_alt_settings, u32),
    SHM_NUM(board_type, u16),
    SHM_NUM(ts_dest_select, u32),
    SHM_NUM(ssrc_seed_hi, u8),
    SHM_NUM(ssrc_seed_mid, u8),
    SHM_NUM(ssrc_seed_lo, u8),
    SHM_TEXT(ts_dest_ip, 48),
    SHM_NUM(multicast_ttl, u32),
    SHM_NUM(mtu, u32),
    SHM_NUM(ts_keep_alive, u32),
    SHM_NUM(audio_channel_mode, u32),
    SHM_NUM(audio_codec, u32),
    SHM_NUM(audio_rate_mode, u32),
    SHM_NUM(audio_enable, u32),
    SHM_NUM(audio_output_mode, u32),
    SHM_NUM(alt_audio_enable, u32),
    SHM_TEXT(local_ip, 32),
    SHM_TEXT(ts_dest_ip_alt, 5972 - 3732),
    SHM_NUM(cur_audio_source, u32),
    SHM_NUM(cur_audio_bits, u32),
    SHM_NUM(cur_audio_codec, u32),
    SHM_NUM(cur_audio_channels, u32),
    SHM_NUM(cur_audio_rate, u32),
    SHM_NUM(alt_audio_source, u32),
    SHM_NUM(alt_audio_bits, u32),
    SHM_NUM(alt_audio_codec, u32),
    SHM_NUM(alt_audio_channels, u32),
    SHM_NUM(alt_audio_rate, u32),
    SHM_NUM(alt_audio_output_mode, u32),
    SHM_NUM(cmd_pending, u32),
    SHM_NUM(cmd_code, u32),
    SHM_TEXT(cmd_dest_ip, 16),
    SHM_NUM(cmd_rtp_port, u16),
    SHM_NUM(cmd_rtcp_port, u16),
    SHM_TEXT(cmd_client_tag, kShmStandardSize - 13860),
};
const std::size_t kShmFieldCount = sizeof kShmFields / sizeof kShmFields[0];

const ShmField* shm_find_field(const char* name) {
    for (const ShmField& f : kShmFields)
        if (std::strcmp(f.name, name) == 0) return &f;
    return nullptr;
}

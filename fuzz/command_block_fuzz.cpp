// libFuzzer target for one served command and one settings read over a block of arbitrary
// bytes. Each input makes a real segment (key 1005; scripts/fuzz.sh runs the target in an
// appliance-sandbox) of 13861 bytes, the least that holds every field, up to 16384, sized by
// input bytes 0..1 and filled with byte 2 (unless 0, no text ends before its room or the
// segment's end); the rest of the input is laid over the fields of the block's field table in
// turn (texts take up to 24 bytes). The receiver table starts empty for every input.
#include <sys/shm.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "core/command_service.h"
#include "core/shm_config.h"
#include "rtp/client_table.h"
#include "rtp/rtp_packetiser.h"
#include "ts/ts_output.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 3) return 0;
    for (const AudioRtspClient& c : ARClist)
        if (c.ip[0] != '\0') Remove_ARClist(c.ip, c.rtp_port);
    if (shm_config) shmdt(shm_config), shmctl(shmget(kShmKey, 0, 0), IPC_RMID, nullptr);
    const std::size_t segment = kShmMinSize + (std::size_t{data[0]} | std::size_t{data[1]} << 8) %
                                                  (kShmStandardSize - kShmMinSize + 1);
    if (shmget(kShmKey, segment, IPC_CREAT | 0600) < 0 || !shm_attach()) __builtin_trap();
    auto* base = reinterpret_cast<std::uint8_t*>(shm_config);
    std::memset(base, data[2], segment);
    constexpr std::size_t kWidth[] = {1, 2, 4, 24};  // by ShmFieldKind
    for (std::size_t i = 0, at = 3; i < kShmFieldCount && at < size; ++i) {
        const ShmField& f = kShmFields[i];
        const std::size_t n =
            std::min({kWidth[static_cast<int>(f.kind)], size - at, segment - f.offset,
                      f.kind == ShmFieldKind::text ? f.room : 4});
        std::memcpy(base + f.offset, data + at, n);
        at += n;
    }
    const BlockView block = attached_block();
    Init_ARClist(block);

    const bool pending = shm_command_pending();
    const std::uint32_t code = shm_config->cmd_code;
    bool force_detect = false;
    int ts_sock = 0;
    serve_command(block, &force_detect, &ts_sock);
    if (ts_sock != 0) close(ts_sock);
    if (shm_command_pending() || force_detect != (pending && code == 4) ||
        (ts_sock != 0 && !(pending && code == 5)) || ARClist_count != (ARClist[0].ip[0] != '\0'))
        __builtin_trap();

    // The settings as the loop and the outputs read them. The mtu takes every u32: a chunk is
    // whole words beside 40 bytes of headers, a TS datagram 1 to 8 packets beside 28 (or one).
    const Settings settings = read_settings();
    char text[4096];
    const std::int32_t mtu = block.mtu();
    bool warned = false;
    const std::int32_t chunk = plan_rtp_chunks(mtu, warned).chunk;
    const std::int64_t packets = ts_packets_per_datagram(mtu);
    if ((block.use_alt_settings() && (settings.channel_mode != 1 || settings.ts_keep_alive != 1)) ||
        block.ts_destination(text, sizeof text) != std::strlen(text) ||
        block.local_ip(text, sizeof text) != std::strlen(text) ||
        (chunk > 0 && (chunk % 4 != 0 || chunk > mtu - 40)) || packets < 1 || packets > 8 ||
        (packets > 1 && packets * kTsPacketSize > std::int64_t{mtu} - kIpUdpHeaderBytes))
        __builtin_trap();
    return 0;
}

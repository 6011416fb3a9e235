#include "ts/ts_output.h"

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "core/debug_log.h"
#include "core/wire_bytes.h"
#include "net/udp_socket.h"
#include "ts/lpcm_pes.h"
#include "ts/psi_tables.h"
#include "util/text_utils.h"

namespace {

// Send buffers of the two periodic jobs: the producers refuse what would not fit.
constexpr std::uint32_t kJobBufferBytes = 8192;

// Largest PCM block whose packets fit the TS output buffer.
constexpr std::uint32_t kMaxForwardPcm =
    kTsOutputBufferBytes / kTsPacketSize * kPesPayloadPerPacket - kPesHeaderSize - kLpcmHeaderSize;
static_assert(lpcm_ts_size(kMaxForwardPcm) <= kTsOutputBufferBytes);
static_assert(lpcm_ts_size(kMaxForwardPcm + 1) > kTsOutputBufferBytes);

// Room for the texts as the block can hold them, NUL added: the alternate destination
// runs up to the next field (2240 bytes), the appliance's address has 32 bytes.
constexpr std::size_t kDestTextBytes = 2240 + 1;
constexpr std::size_t kLocalIpTextBytes = 32 + 1;

int send_datagram(int sock, const std::uint8_t* data, std::uint32_t len) {
    return static_cast<int>(send(sock, data, len, MSG_DONTWAIT));
}

}  // namespace

int remake_ts_sock(const BlockView& block, int* sock) {
    if (*sock != 0) {
        close(*sock);
        *sock = 0;
    }
    char dest[kDestTextBytes];
    block.ts_destination(dest, sizeof dest);
    char local_ip[kLocalIpTextBytes];
    block.local_ip(local_ip, sizeof local_ip);

    DBG_TRACE_AT("remake_ts_sock", kLineRemakeTsSock);
    dbg_printf("peer_ip-%s my_ip-%s\n", dest, local_ip);

    if (dest[0] == '\0') return 0;
    std::uint8_t octets[4];
    if (!StrAddr2Octets(dest, octets)) return 0;

    int opened = 0;
    sockaddr_in remote{};
    if (sockTxOpen(nullptr, 0, local_ip, dest, kTsDestPort, &opened, &remote,
                   block.multicast_ttl()) < 0) {
        dbg_printf("fail to sockTxOpen\n");
        return 0;
    }
    *sock = opened;
    return *sock;
}

int send_psi(int sock) {
    std::uint8_t buf[kJobBufferBytes];
    std::uint32_t len = 0;
    if (psi_to_ts(buf, &len) != 1) return -1;
    return send_datagram(sock, buf, len);
}

int send_pcr(int sock, std::uint32_t pcr_base) {
    std::uint8_t buf[kJobBufferBytes];
    std::uint32_t len = 0;
    if (make_pcr_packet(pcr_base, buf, &len) != 1) return -1;
    return send_datagram(sock, buf, len);
}

int send_ts(const BlockView& block, int sock, const std::uint8_t* data, std::uint16_t len) {
    const std::uint32_t per_datagram = ts_packets_per_datagram(block.mtu());
    const std::uint32_t packets = len / kTsPacketSize;

    // Each datagram is staged whole before it is sent, and never beyond the staging area.
    std::uint8_t staging[kTsStagingBytes];
    WireWriter stage(staging);
    for (std::uint32_t i = 0; i < packets; ++i) {
        stage.bytes(data + i * kTsPacketSize, kTsPacketSize);
        if (stage.pos() == per_datagram * kTsPacketSize || i + 1 == packets) {
            const int sent = send_datagram(sock, staging, static_cast<std::uint32_t>(stage.pos()));
            if (sent < 0) return sent;
            stage = WireWriter(staging);
        }
    }
    return len;
}

bool ts_forward_block(const BlockView& block, int sock, const AudioFormat& format,
                      const std::uint8_t* pcm, std::uint32_t n, std::uint32_t pts) {
    if (sock == 0) return false;
    if (!ts_carries_format(format) || n > kMaxForwardPcm) return true;
    std::uint8_t out[kTsOutputBufferBytes];
    set_pes_pts(pts);
    const std::uint32_t count = pcm_to_ts(format.channels, pcm, n, out);
    if (count == 0) return true;  // refused: the block is dropped, the jobs go on
    send_ts(block, sock, out, static_cast<std::uint16_t>(count & 0xFFFFu));
    return true;
}

// Transport stream output: the TS output socket (one connected UDP sender to the configured
// destination, port 1234), the audio packets of each PCM block in datagrams of whole
// 188-byte packets, and the sends of the PAT/PMT and PCR jobs. Called by the main loop only.
// Sends never block (MSG_DONTWAIT), failures are not logged, nothing is allocated. What
// it reads of the shared block (destination, local_ip, TTL, mtu) comes through the view the
// caller hands in, each field loaded when it is used.
#pragma once

#include <cstdint>

#include "core/audio_format.h"
#include "core/block_view.h"
#include "ts/ts_packet.h"

inline constexpr std::uint16_t kTsDestPort = 1234;
// IPv4 (20) and UDP (8) headers: a datagram's payload is at most mtu - 28 bytes.
inline constexpr std::int32_t kIpUdpHeaderBytes = 28;
// send_ts stages each datagram in this many bytes on its stack: 8 whole packets.
inline constexpr std::uint32_t kTsStagingBytes = 1600;
inline constexpr std::uint32_t kTsStagingPackets = kTsStagingBytes / kTsPacketSize;
static_assert(kTsStagingPackets == 8);
// The transport packets of one feed datagram.
inline constexpr std::uint32_t kTsOutputBufferBytes = 8192;

// Packets in each datagram of an audio block (every one but the last, which takes the
// rest): as many whole packets as mtu - 28 bytes hold, at least one (an mtu too small
// for one packet still sends each packet alone), at most the 8 of the staging area (an
// mtu of 1720 or more would admit a ninth). mtu is the block's u32 read as signed.
constexpr std::uint32_t ts_packets_per_datagram(std::int32_t mtu) {
    const std::int64_t limit = std::int64_t{mtu} - kIpUdpHeaderBytes;
    const std::int64_t fit = limit / std::int64_t{kTsPacketSize};
    if (fit < 1) return 1;
    if (fit > std::int64_t{kTsStagingPackets}) return kTsStagingPackets;
    return static_cast<std::uint32_t>(fit);
}

// Only 16-bit linear PCM at 48000 Hz travels in the transport stream; blocks of any other
// format are dropped while PAT/PMT and PCR go on.
constexpr bool ts_carries_format(const AudioFormat& f) {
    return f.bits == 16 && f.sample_rate == 48000 && f.codec == 1;
}

// (Re)opens the TS output socket *sock (0 = none): closes the old one, then opens a
// connected sender to the block's TS destination (ts_dest_ip, or ts_dest_ip_alt when
// ts_dest_select is 1), port 1234, with local_ip as multicast interface and multicast_ttl.
// Logs the trace and "peer_ip-%s my_ip-%s\n" on every attempt. An empty or invalid
// destination leaves *sock at 0; so does a failed open, after "fail to sockTxOpen\n".
// Returns *sock.
int remake_ts_sock(const BlockView& block, int* sock);

// PAT then PMT, each with its own continuity counter, as one datagram (376 bytes).
// Returns the send result (-1, nothing sent, should the packets be refused).
int send_psi(int sock);

// One PCR packet with the given 90 kHz base. Returns the send result.
int send_pcr(int sock, std::uint32_t pcr_base);

// Sends len bytes of whole packets in datagrams of ts_packets_per_datagram(mtu) packets,
// mtu read from the block on every call. A trailing partial packet is not sent. Returns
// len, or the first negative send result (the rest of the block is dropped).
int send_ts(const BlockView& block, int sock, const std::uint8_t* data, std::uint16_t len);

// Output mode 2 for one converted block of n PCM bytes (n may not exceed what
// kTsOutputBufferBytes of packets carry). Returns false when there is no TS socket: the
// caller then skips the rest of the iteration, jobs included. Otherwise, when the format
// is carried, stamps pts, cuts the block into one PES of packets and sends them (a block
// whose packets are refused is dropped).
bool ts_forward_block(const BlockView& block, int sock, const AudioFormat& format,
                      const std::uint8_t* pcm, std::uint32_t n, std::uint32_t pts);

// RTCP sender reports: one 52-byte compound packet (sender report + source description
// with one CNAME) per report, on each receiver's connected RTCP socket. Triggered by the
// packetiser after a data packet (count_audio_RTP) and by the main loop's once-a-second
// pass (send_RTCP_reports). Send only: receiver reports are never read, no BYE is sent.
// The counts and ages of an entry are recorded through the receiver table.
#pragma once

#include <cstdint>

#include "core/wire_bytes.h"

inline constexpr std::uint32_t kRtcpPacketBytes = 52;
inline constexpr char kRtcpCname[] = "vemu_audio";

// Builds the report for the entry and sends it with MSG_DONTWAIT; resets the entry's
// sr_age on success. Returns the send result (negative on failure).
int send_audio_RTCP_SR(std::uint32_t index, std::uint32_t rtp_timestamp);

// After each RTP packet that left: a new receiver gets two reports (counts 0) right after
// its first packet; one whose sr_age grew past 2 gets one; then the packet is counted.
void count_audio_RTP(std::uint32_t index, std::uint32_t octets, std::uint32_t rtp_timestamp);

// The main loop's pass: ages every receiver with an RTCP socket and reports those whose
// sr_age passed 3, all with one reading of the RTP clock at `rate` (the applied sample
// rate) taken at the first report.
void send_RTCP_reports(std::uint32_t rate);

// --- Decisions and the packet, kept free of clocks and sockets -------------------------

// Reports to send before counting a packet: 2 for the first packet, 1 when sr_age > 2, else 0.
constexpr int reports_before_packet(std::uint32_t packet_count, std::uint32_t sr_age) {
    if (packet_count == 0) return 2;
    return sr_age > 2 ? 1 : 0;
}

// The pass reports when the age it just raised exceeds 3.
constexpr bool pass_report_due(std::uint32_t sr_age_after_increment) {
    return sr_age_after_increment > 3;
}

// NTP timestamp of a time of day: seconds since 1900 (mod 2^32) and the fraction
// usec * 2^32 / 10^6 rounded to nearest (computed as usec / 15625 * 2^26 + 0.5).
std::uint32_t ntp_seconds(std::int64_t tv_sec);
std::uint32_t ntp_fraction(std::int64_t tv_usec);

struct SenderReport {
    std::uint32_t ssrc;
    std::int64_t tv_sec;  // time of day of the report
    std::int64_t tv_usec;
    std::uint32_t rtp_timestamp;
    std::uint32_t packet_count;
    std::uint32_t octet_count;
};
// Writes the 52-byte compound packet into the first 52 bytes of out. False when out is
// shorter: the packet is then not whole.
bool build_rtcp_sr(WireBytes out, const SenderReport& r);

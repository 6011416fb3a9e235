#include "rtp/rtcp_reports.h"

#include <sys/socket.h>
#include <sys/time.h>

#include <cstring>

#include "core/debug_log.h"
#include "rtp/client_table.h"
#include "rtp/rtp_clock.h"
#include "rtp/wire_bytes.h"

namespace {

// Seconds from 1900 (NTP era 0) to 1970 (Unix epoch).
constexpr std::uint32_t kNtpUnixOffset = 2208988800u;

}  // namespace

std::uint32_t ntp_seconds(std::int64_t tv_sec) {
    return static_cast<std::uint32_t>(static_cast<std::uint64_t>(tv_sec) + kNtpUnixOffset);
}

std::uint32_t ntp_fraction(std::int64_t tv_usec) {
    // 2^32 / 10^6 = 2^26 / 15625; adding 0.5 before truncation rounds to nearest.
    return static_cast<std::uint32_t>(static_cast<double>(tv_usec) / 15625.0 * 67108864.0 + 0.5);
}

void build_rtcp_sr(std::uint8_t (&out)[kRtcpPacketBytes], const SenderReport& r) {
    // RFC 3550 6.4.1 sender report, no report blocks; length = 28 bytes / 4 - 1.
    out[0] = 0x80;
    out[1] = 200;
    put_be16(out + 2, 6);
    put_be32(out + 4, r.ssrc);
    put_be32(out + 8, ntp_seconds(r.tv_sec));
    put_be32(out + 12, ntp_fraction(r.tv_usec));
    put_be32(out + 16, r.rtp_timestamp);
    put_be32(out + 20, r.packet_count);
    put_be32(out + 24, r.octet_count);
    // RFC 3550 6.5 source description, one chunk with one CNAME item: 4 header + 4 SSRC +
    // 2 item header + 10 text + 1 end = 21, padded to 24 bytes, length 24 / 4 - 1.
    constexpr std::size_t kCnameLen = sizeof kRtcpCname - 1;
    static_assert(kCnameLen == 10);
    out[28] = 0x81;
    out[29] = 202;
    put_be16(out + 30, 5);
    put_be32(out + 32, r.ssrc);
    out[36] = 1;
    out[37] = static_cast<std::uint8_t>(kCnameLen);
    std::memcpy(out + 38, kRtcpCname, kCnameLen);
    out[48] = 0;
    out[49] = 0;
    out[50] = 0;
    out[51] = 0;
}

int send_audio_RTCP_SR(std::uint32_t index, std::uint32_t rtp_timestamp) {
    const AudioRtspClient& c = ARClist[index];
    timeval tv{};
    gettimeofday(&tv, nullptr);
    std::uint8_t packet[kRtcpPacketBytes];
    build_rtcp_sr(packet, SenderReport{c.ssrc, tv.tv_sec, tv.tv_usec, rtp_timestamp, c.packet_count,
                                       c.octet_count});
    const ssize_t sent = send(c.rtcp_sock, packet, sizeof packet, MSG_DONTWAIT);
    if (sent < 0) {
        DBG_TRACE();
        dbg_perror("send");
        return -1;
    }
    record_report_sent(index);
    return static_cast<int>(sent);
}

void count_audio_RTP(std::uint32_t index, std::uint32_t octets, std::uint32_t rtp_timestamp) {
    const AudioRtspClient& c = ARClist[index];
    if (c.rtcp_sock < 0) return;
    const int reports = reports_before_packet(c.packet_count, c.sr_age);
    for (int i = 0; i < reports; ++i) send_audio_RTCP_SR(index, rtp_timestamp);
    count_rtp_packet(index, octets);
}

void send_RTCP_reports(std::uint32_t rate) {
    bool have_time = false;
    std::uint32_t rtp_timestamp = 0;
    for (std::uint32_t i = 0; i < kARClistSize; ++i) {
        if (ARClist[i].rtcp_sock <= 0) continue;
        if (!pass_report_due(age_report(i))) continue;
        if (!have_time) {
            std::uint64_t now = 0;
            get_rtp_time(rate, &now);
            rtp_timestamp = static_cast<std::uint32_t>(now);
            have_time = true;
        }
        send_audio_RTCP_SR(i, rtp_timestamp);
    }
}

#include "rtp/rtcp_reports.h"

#include <sys/socket.h>
#include <sys/time.h>

#include "core/debug_log.h"
#include "rtp/client_table.h"
#include "rtp/rtp_clock.h"

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

bool build_rtcp_sr(WireBytes out, const SenderReport& r) {
    WireWriter w(out);
    // RFC 3550 6.4.1 sender report, no report blocks; length = 28 bytes / 4 - 1.
    w.u8(0x80).u8(200).be16(6).be32(r.ssrc);
    w.be32(ntp_seconds(r.tv_sec)).be32(ntp_fraction(r.tv_usec));
    w.be32(r.rtp_timestamp).be32(r.packet_count).be32(r.octet_count);
    // RFC 3550 6.5 source description, one chunk with one CNAME item: 4 header + 4 SSRC +
    // 2 item header + 10 text + 1 end = 21, padded to 24 bytes, length 24 / 4 - 1.
    constexpr std::size_t kCnameLen = sizeof kRtcpCname - 1;
    static_assert(kCnameLen == 10);
    w.u8(0x81).u8(202).be16(5).be32(r.ssrc);
    w.u8(1).u8(static_cast<std::uint8_t>(kCnameLen)).bytes(kRtcpCname, kCnameLen);
    w.fill(0, 4);  // end of the item list, then padding
    return w.ok() && w.pos() == kRtcpPacketBytes;
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

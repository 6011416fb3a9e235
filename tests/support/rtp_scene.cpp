#include "support/rtp_scene.h"

#include <fstream>
#include <iterator>

#include "support/rtp_receivers.h"

std::string start_rtp_scene(Process& service, const std::vector<std::string>& assignments,
                            const std::string& sdp_line) {
    if (std::string e = set_up_block(assignments); !e.empty()) return e;
    if (!start_service(service, "audio_rtsp_to_screen")) return "service did not start";
    // The first poll runs in the first iteration; two forced ones confirm and apply.
    for (int i = 0; i < 2; ++i)
        if (std::string e = serve_command(4); !e.empty()) return "command 4: " + e;
    if (!wait_until([&] { return file_text("/tmp/audio_auxSDPLine") == sdp_line + "\n"; }, 15s))
        return "SDP line is \"" + file_text("/tmp/audio_auxSDPLine") + "\", wanted \"" + sdp_line +
               "\"; service said:\n" + service.output();
    return "";
}

std::string add_receiver(std::uint16_t rtp_port, std::uint16_t rtcp_port, const std::string& tag,
                         const std::string& ip) {
    return serve_command(1, ip, rtp_port, rtcp_port, tag);
}

std::string del_receiver(std::uint16_t rtp_port, const std::string& ip) {
    return serve_command(2, ip, rtp_port);
}

std::string del_rtsp_receivers() { return serve_command(3); }

std::optional<RtpPacket> parse_rtp(const std::vector<std::uint8_t>& d) {
    if (d.size() < 12) return std::nullopt;
    return RtpPacket{d[0],          d[1],
                     be16_at(d, 2), be32_at(d, 4),
                     be32_at(d, 8), std::vector<std::uint8_t>(d.begin() + 12, d.end())};
}

std::optional<RtcpReport> parse_sender_report(const std::vector<std::uint8_t>& d) {
    // Sender report (V=2, RC=0, PT=200, length 6) then a description (V=2, SC=1, PT=202,
    // length 5) with one CNAME item, an end item and padding.
    if (d.size() != 52 || d[0] != 0x80 || d[1] != 200 || be16_at(d, 2) != 6) return std::nullopt;
    if (d[28] != 0x81 || d[29] != 202 || be16_at(d, 30) != 5 || be32_at(d, 32) != be32_at(d, 4))
        return std::nullopt;
    if (d[36] != 1 || d[37] != 10 || d[48] != 0 || d[49] != 0 || d[50] != 0 || d[51] != 0)
        return std::nullopt;
    return RtcpReport{be32_at(d, 4),
                      be32_at(d, 8),
                      be32_at(d, 12),
                      be32_at(d, 16),
                      be32_at(d, 20),
                      be32_at(d, 24),
                      std::string(d.begin() + 38, d.begin() + 48)};
}

std::vector<std::uint8_t> file_bytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<std::uint8_t>(std::istreambuf_iterator<char>(in),
                                     std::istreambuf_iterator<char>());
}

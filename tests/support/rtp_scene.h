// RTP output scenes for the end-to-end and interoperability tests: inside the test case's
// sandbox, the block and the FPGA input are set up, the real service runs, the audio
// format is applied, and receivers come and go through the real command handshake.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "support/appliance.h"

// Creates the block with `assignments` on top of the defaults (RTP mode, mtu 1500, SSRC
// seeds 12 34 56), sets the FPGA input to ADC, starts audio_rtsp_to_screen, forces two
// detections and waits until /tmp/audio_auxSDPLine holds `sdp_line` (the format is then
// applied: the RTP clock runs at its rate). "" on success, else what went wrong.
std::string start_rtp_scene(Process& service, const std::vector<std::string>& assignments,
                            const std::string& sdp_line);

// Commands 1, 2 and 3 through the block's mailbox, waiting until served. "" or the error.
std::string add_receiver(std::uint16_t rtp_port, std::uint16_t rtcp_port, const std::string& tag,
                         const std::string& ip = "127.0.0.1");
std::string del_receiver(std::uint16_t rtp_port, const std::string& ip = "127.0.0.1");
std::string del_rtsp_receivers();

struct RtpPacket {
    std::uint8_t b0, b1;  // version/flags and marker/payload type
    std::uint16_t seq;
    std::uint32_t timestamp;
    std::uint32_t ssrc;
    std::vector<std::uint8_t> payload;
};
std::optional<RtpPacket> parse_rtp(const std::vector<std::uint8_t>& d);

struct RtcpReport {
    std::uint32_t ssrc, ntp_sec, ntp_frac, rtp_timestamp, packets, octets;
    std::string cname;
};
// A 52-byte sender report with one CNAME, checked field by field; nothing when malformed.
std::optional<RtcpReport> parse_sender_report(const std::vector<std::uint8_t>& d);

// Whole file as bytes (empty when it cannot be read).
std::vector<std::uint8_t> file_bytes(const std::string& path);

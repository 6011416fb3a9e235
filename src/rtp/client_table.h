// The receiver table: up to 32 RTP receivers that the RTSP server process hands to the
// service through the command mailbox (add, remove, remove all RTSP receivers). The main
// loop changes it on commands; the RTP packetiser and the sender reports read it per packet
// through a read-only view and record what they sent through the table's own functions:
// only this module writes an entry.
#pragma once

#include <cstdint>

#include "core/block_view.h"

// One receiver. A free entry has an empty ip; a used one holds either two connected send
// sockets or, when added receive-only, -1 in both.
struct AudioRtspClient {
    char ip[16];  // exact dotted quad, NUL-terminated; (ip, rtp_port) is the key
    std::uint16_t rtp_port;
    std::uint16_t rtcp_port;
    std::int32_t rtp_sock;       // -1 when none
    std::int32_t rtcp_sock;      // -1 when none
    std::uint32_t kind;          // kClientOther, kClientRtsp or kClientTs
    std::uint32_t send_failed;   // 1 after the last RTP send failed
    std::uint32_t fail_count;    // packets offered while send_failed was 1; never reset
    std::uint32_t packet_count;  // RTP packets sent, for the sender report
    std::uint32_t octet_count;   // RTP payload octets sent, for the sender report
    std::uint32_t ssrc;          // ssrc_base | index
    std::uint16_t seq;           // sequence number of the next RTP packet
    std::uint32_t sr_age;        // report passes since the last sender report that left
};

inline constexpr int kARClistSize = 32;

inline constexpr std::uint32_t kClientOther = 0;  // any other tag, receive-only included
inline constexpr std::uint32_t kClientRtsp = 1;   // tag begins with "RTSP"; command 3 removes these
inline constexpr std::uint32_t kClientTs = 2;     // tag begins with "TS"

// Read-only views of the table's state.
extern const AudioRtspClient (&ARClist)[kARClistSize];
extern const std::int32_t& ARClist_count;  // used entries; nothing is sent while it is 0
extern const std::uint32_t& ssrc_base;     // fixed by Init_ARClist from the block's three seeds

// Seeds in bits 31..8, 0x80 in bits 7..0: each entry's index fits below bit 7.
constexpr std::uint32_t make_ssrc_base(std::uint8_t hi, std::uint8_t mid, std::uint8_t lo) {
    return static_cast<std::uint32_t>(hi) << 24 | static_cast<std::uint32_t>(mid) << 16 |
           static_cast<std::uint32_t>(lo) << 8 | 0x80u;
}

struct ClientKind {
    std::uint32_t kind;
    bool receive_only;
};
// Kind of a command's client tag, by prefix: "RTSP", then "TS", then "atrx"
// (receive-only); null, empty and anything else are kind 0.
ClientKind classify_client_tag(const char* tag);

// Empties the table and fixes ssrc_base from the block's SSRC seeds. Once, at start-up.
// The table keeps the view: each receiver added later opens its sockets with the block's
// multicast_ttl as it is at that moment.
void Init_ARClist(const BlockView& block);
// Hands the table the view of a block that replaced the one it was given; entries stay.
void Rebind_ARClist(const BlockView& block);
// Makes the entry free: empty ip, ports 0, sockets -1; other fields keep their values.
void Clear_ARCentry(int index);
// Index of the entry with this key, or -1.
int Find_ARClist(const char* ip, std::uint16_t rtp_port);
// Opens the two send sockets (unless receive_only) and fills the lowest free entry.
// Index, or -1 when the key exists, the table is full or a socket cannot be opened, or
// when ip is not exactly a dotted quad (StrAddr2OctetsExact), which is also logged: an
// address has one spelling, so one stream never has two entries.
int Add_ARClist(const char* ip, std::uint16_t rtp_port, std::uint16_t rtcp_port, std::uint32_t kind,
                bool receive_only);
// Closes the entry's sockets and frees it. Index, or -1 when the key is not there.
int Remove_ARClist(const char* ip, std::uint16_t rtp_port);
// The listing: "[Audio RTSP] Start", one line per used entry, "[Audio RTSP] End".
void Print_ARClist();
// Removes every RTSP entry (command 3) and prints the table.
void Remove_RTSP_ARClist();
// Command 1: adds the receiver unless its key is there, logs and prints the table.
void add_decoder(const char* ip, std::uint16_t rtp_port, std::uint16_t rtcp_port, const char* tag);
// Command 2: removes the receiver (if there), logs and prints the table.
void del_decoder(const char* ip, std::uint16_t rtp_port);

// --- What the packetiser and the sender reports record, per entry index (0..31) ---------

// The entry's sequence number for the packet about to be sent; the next one follows
// (16-bit, wrapping).
std::uint16_t take_rtp_seq(std::uint32_t index);
// A packet offered while the last send failed: adds one to fail_count and returns it.
std::uint32_t count_failed_offer(std::uint32_t index);
// The outcome of an RTP send: send_failed becomes 0 when it left, 1 when it failed.
void record_rtp_send(std::uint32_t index, bool sent);
// A data packet counted for the sender report: one more packet, `octets` more octets
// (both wrapping).
void count_rtp_packet(std::uint32_t index, std::uint32_t octets);
// A sender report left: sr_age starts again at 0.
void record_report_sent(std::uint32_t index);
// A report pass: adds one to sr_age and returns it.
std::uint32_t age_report(std::uint32_t index);

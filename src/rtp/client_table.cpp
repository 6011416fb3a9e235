#include "rtp/client_table.h"

#include <netinet/in.h>
#include <unistd.h>

#include <cstring>

#include "core/debug_log.h"
#include "net/udp_socket.h"
#include "util/text_utils.h"

namespace {

struct ClientTable {
    AudioRtspClient list[kARClistSize];
    std::int32_t count = 0;
    std::uint32_t ssrc_base = 0;
    BlockView block;  // read at each add, for multicast_ttl
};
ClientTable g_table;

bool is_free(const AudioRtspClient& c) { return c.ip[0] == '\0'; }

// Both send sockets, or -1 with nothing left open.
int open_pair(const char* ip, std::uint16_t rtp_port, std::uint16_t rtcp_port, int& rtp_sock,
              int& rtcp_sock) {
    const int ttl = g_table.block.multicast_ttl();
    sockaddr_in remote{};  // connected sockets: the record is not kept
    if (sockTxOpen(nullptr, 0, nullptr, ip, rtp_port, &rtp_sock, &remote, ttl) < 0) {
        DBG_TRACE_IN("Add_ARClist");
        dbg_perror("sockTxOpen()");
        return -1;
    }
    if (sockTxOpen(nullptr, 0, nullptr, ip, rtcp_port, &rtcp_sock, &remote, ttl) < 0) {
        close(rtp_sock);
        DBG_TRACE_IN("Add_ARClist");
        dbg_perror("sockTxOpen()");
        return -1;
    }
    return 0;
}

}  // namespace

const AudioRtspClient (&ARClist)[kARClistSize] = g_table.list;
const std::int32_t& ARClist_count = g_table.count;
const std::uint32_t& ssrc_base = g_table.ssrc_base;

ClientKind classify_client_tag(const char* tag) {
    if (!tag || tag[0] == '\0') return {kClientOther, false};
    if (std::strncmp(tag, "RTSP", 4) == 0) return {kClientRtsp, false};
    if (std::strncmp(tag, "TS", 2) == 0) return {kClientTs, false};
    if (std::strncmp(tag, "atrx", 4) == 0) return {kClientOther, true};
    return {kClientOther, false};
}

void Init_ARClist(const BlockView& block) {
    g_table.count = 0;
    std::memset(g_table.list, 0, sizeof g_table.list);
    for (int i = 0; i < kARClistSize; ++i) Clear_ARCentry(i);
    g_table.block = block;
    const SsrcSeeds seeds = block.ssrc_seeds();
    g_table.ssrc_base = make_ssrc_base(seeds.hi, seeds.mid, seeds.lo);
}

void Rebind_ARClist(const BlockView& block) { g_table.block = block; }

void Clear_ARCentry(int index) {
    AudioRtspClient& c = g_table.list[index];
    std::memset(c.ip, 0, sizeof c.ip);
    c.rtp_port = 0;
    c.rtcp_port = 0;
    c.rtp_sock = -1;
    c.rtcp_sock = -1;
}

// A free entry has no key: an empty address never finds one, so removing it cannot
// drive the count below zero.
int Find_ARClist(const char* ip, std::uint16_t rtp_port) {
    if (!ip) return -1;
    for (int i = 0; i < kARClistSize; ++i)
        if (!is_free(ARClist[i]) && std::strcmp(ARClist[i].ip, ip) == 0 &&
            ARClist[i].rtp_port == rtp_port)
            return i;
    return -1;
}

int Add_ARClist(const char* ip, std::uint16_t rtp_port, std::uint16_t rtcp_port, std::uint32_t kind,
                bool receive_only) {
    // The key is the address itself: each address has one exact spelling, so a stream
    // never gets a second entry under another ("127.0.0.1 " opens the same one).
    std::uint8_t octets[4];
    if (!StrAddr2OctetsExact(ip, octets)) {
        dbg_printf("[Audio RTSP] refused address \"%s\": not a dotted quad\n", ip ? ip : "");
        return -1;
    }
    if (Find_ARClist(ip, rtp_port) >= 0) return -1;
    int index = -1;
    for (int i = 0; i < kARClistSize && index < 0; ++i)
        if (is_free(ARClist[i])) index = i;
    if (index < 0) return -1;

    int rtp_sock = -1;
    int rtcp_sock = -1;
    if (!receive_only && open_pair(ip, rtp_port, rtcp_port, rtp_sock, rtcp_sock) < 0) return -1;

    AudioRtspClient& c = g_table.list[index];
    strCopyN(c.ip, ip, sizeof c.ip);
    c.rtp_port = rtp_port;
    c.rtcp_port = rtcp_port;
    c.rtp_sock = rtp_sock;
    c.rtcp_sock = rtcp_sock;
    c.kind = kind;
    c.send_failed = 0;
    c.fail_count = 0;
    c.ssrc = g_table.ssrc_base | static_cast<std::uint32_t>(index);
    c.packet_count = 0;
    c.octet_count = 0;
    c.sr_age = 0;
    c.seq = 0;
    ++g_table.count;
    return index;
}

int Remove_ARClist(const char* ip, std::uint16_t rtp_port) {
    const int index = Find_ARClist(ip, rtp_port);
    if (index < 0) return -1;
    const AudioRtspClient& c = g_table.list[index];
    if (c.rtp_sock > 0) close(c.rtp_sock);
    if (c.rtcp_sock > 0) close(c.rtcp_sock);
    Clear_ARCentry(index);
    --g_table.count;
    return index;
}

void Print_ARClist() {
    dbg_printf("[Audio RTSP] Start\n");
    for (int i = 0; i < kARClistSize; ++i) {
        const AudioRtspClient& c = ARClist[i];
        if (is_free(c)) continue;
        if (c.rtp_sock == -1)
            dbg_printf("[Audio RTSP] %d : %s:%d-%d %08x RX\n", i, c.ip, c.rtp_port, c.rtcp_port,
                       c.ssrc);
        else
            dbg_printf("[Audio RTSP] %d : %s:%d-%d RTSP sock:%d-%d %08x\n", i, c.ip, c.rtp_port,
                       c.rtcp_port, c.rtp_sock, c.rtcp_sock, c.ssrc);
    }
    dbg_printf("[Audio RTSP] End\n");
}

void Remove_RTSP_ARClist() {
    for (int i = 0; i < kARClistSize; ++i) {
        const AudioRtspClient& c = ARClist[i];
        if (is_free(c) || c.kind != kClientRtsp) continue;
        if (Remove_ARClist(c.ip, c.rtp_port) < 0) dbg_printf("fail to Remove_ARClist\n");
    }
    Print_ARClist();
}

void add_decoder(const char* ip, std::uint16_t rtp_port, std::uint16_t rtcp_port, const char* tag) {
    const ClientKind k = classify_client_tag(tag);
    int index = Find_ARClist(ip, rtp_port);
    if (index < 0) {
        index = Add_ARClist(ip, rtp_port, rtcp_port, k.kind, k.receive_only);
        if (index < 0) {
            dbg_printf("fail to Add_ARClist\n");
            return;
        }
    }
    dbg_printf("[Audio RTSP] add_decoder(i-%d, n-%d) %s:%d\n", index, ARClist_count, ip, rtp_port);
    Print_ARClist();
}

void del_decoder(const char* ip, std::uint16_t rtp_port) {
    Remove_ARClist(ip, rtp_port);
    dbg_printf("[Audio RTSP] del_decoder(n-%d) %s:%d\n", ARClist_count, ip, rtp_port);
    Print_ARClist();
}

std::uint16_t take_rtp_seq(std::uint32_t index) {
    AudioRtspClient& c = g_table.list[index];
    const std::uint16_t seq = c.seq;
    c.seq = static_cast<std::uint16_t>(seq + 1);
    return seq;
}

std::uint32_t count_failed_offer(std::uint32_t index) { return ++g_table.list[index].fail_count; }

void record_rtp_send(std::uint32_t index, bool sent) {
    g_table.list[index].send_failed = sent ? 0 : 1;
}

void count_rtp_packet(std::uint32_t index, std::uint32_t octets) {
    AudioRtspClient& c = g_table.list[index];
    ++c.packet_count;
    c.octet_count += octets;
}

void record_report_sent(std::uint32_t index) { g_table.list[index].sr_age = 0; }

std::uint32_t age_report(std::uint32_t index) { return ++g_table.list[index].sr_age; }

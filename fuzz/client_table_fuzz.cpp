// libFuzzer target for the receiver table under random sequences of commands. Each step is a
// byte b (b % 3: 0 add with the tag b / 3 % 4 picks, 1 remove, 2 remove every RTSP
// receiver), a port byte (8 ports, so that keys meet) and an address: a length byte (at most
// 15) and that many bytes. After each step: every entry holds two descriptors or none, the
// count is the number of used entries, no address has two entries for one port, and the
// process holds exactly the descriptors it held before the input and those of the entries.
// scripts/fuzz.sh runs it in an appliance-sandbox: only loopback.
#include <arpa/inet.h>
#include <fcntl.h>

#include <algorithm>
#include <cstring>

#include "rtp/client_table.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const auto open_descriptors = [] {  // below 128: the fuzzer's own few and the table's 64
        int n = 0;
        for (int fd = 0; fd < 128; ++fd) n += fcntl(fd, F_GETFD) != -1;
        return n;
    };
    for (const AudioRtspClient& c : ARClist)
        if (c.ip[0] != '\0') Remove_ARClist(c.ip, c.rtp_port);
    Init_ARClist(BlockView());
    const int before = open_descriptors();
    static const char* const kTags[] = {"RTSP", "TS", "atrx", "x"};
    for (std::size_t at = 0; at + 3 <= size;) {
        const std::uint8_t op = data[at], port = data[at + 1] % 8;
        const std::size_t n = std::min<std::size_t>(data[at + 2] % 16, size - at - 3);
        char ip[16] = {};
        std::memcpy(ip, data + at + 3, n);
        at += 3 + n;
        if (op % 3 == 0) add_decoder(ip, port, 100, kTags[op / 3 % 4]);
        if (op % 3 == 1) del_decoder(ip, port);
        if (op % 3 == 2) Remove_RTSP_ARClist();

        int used = 0, socks = 0;
        for (int i = 0; i < kARClistSize; ++i) {
            const AudioRtspClient& c = ARClist[i];
            if (c.ip[0] == '\0') continue;
            ++used, socks += (c.rtp_sock >= 0) + (c.rtcp_sock >= 0);
            if ((c.rtp_sock < 0) != (c.rtcp_sock < 0) ||
                (c.rtp_sock >= 0 && c.rtp_sock == c.rtcp_sock))
                __builtin_trap();
            for (int j = 0; j < i; ++j)
                if (ARClist[j].ip[0] != '\0' && ARClist[j].rtp_port == c.rtp_port &&
                    inet_addr(ARClist[j].ip) == inet_addr(c.ip))
                    __builtin_trap();
        }
        // Descriptors shared between entries or left open show in the process's count.
        if (ARClist_count != used || open_descriptors() != before + socks) __builtin_trap();
    }
    return 0;
}

// sim_ts_dump: stands in for a receiver of the transport stream. Receives the UDP
// datagrams sent to an address and port (127.0.0.1:1234 by default), writes them back to
// back into a .ts file that ffmpeg, ffprobe or tshark can read, and sums up what came:
// datagrams, packets per PID, continuity errors.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "ts_tally.h"

namespace {

void usage(FILE* out) {
    std::fputs(
        "usage: sim_ts_dump --out FILE [options]\n"
        "Receives a transport stream over UDP and writes every datagram to FILE.\n"
        "\n"
        "  --ip A          address to receive on (127.0.0.1; a multicast group is not joined)\n"
        "  --port P        UDP port (1234)\n"
        "  --seconds S     receive for S seconds (10), then stop\n"
        "  --quiet         no summary line\n"
        "  --help          this text\n"
        "\n"
        "At the end one line gives the datagrams, the 188-byte packets by PID (PAT 0x0000,\n"
        "PMT 0x0042, PCR 0x0022, audio 0x0164, other) and the continuity errors: packets\n"
        "whose counter is not the previous one of their PID plus one.\n",
        out);
}

[[noreturn]] void fail(const char* what, const char* arg) {
    std::fprintf(stderr, "sim_ts_dump: %s%s\n", what, arg);
    std::exit(2);
}

double now_seconds() {
    timeval tv{};
    gettimeofday(&tv, nullptr);
    return static_cast<double>(tv.tv_sec) + static_cast<double>(tv.tv_usec) / 1e6;
}

}  // namespace

int main(int argc, char** argv) {
    std::string out_path, ip = "127.0.0.1";
    unsigned long port = 1234;
    double seconds = 10;
    bool quiet = false;
    for (int i = 1; i < argc; ++i) {
        const std::string opt = argv[i];
        auto value = [&]() -> const char* {
            if (i + 1 >= argc) fail("needs a value: ", argv[i]);
            return argv[++i];
        };
        if (opt == "--help" || opt == "-h") {
            usage(stdout);
            return 0;
        } else if (opt == "--out") {
            out_path = value();
        } else if (opt == "--ip") {
            ip = value();
        } else if (opt == "--port") {
            char* end = nullptr;
            port = std::strtoul(value(), &end, 10);
            if (*end != '\0' || port == 0 || port > 65535) fail("bad port: ", argv[i]);
        } else if (opt == "--seconds") {
            char* end = nullptr;
            seconds = std::strtod(value(), &end);
            if (*end != '\0' || !(seconds > 0) || seconds > 86400) fail("bad seconds: ", argv[i]);
        } else if (opt == "--quiet") {
            quiet = true;
        } else {
            fail("unknown option (see --help): ", argv[i]);
        }
    }
    if (out_path.empty()) fail("--out FILE is needed", "");

    const int fd = socket(AF_INET, SOCK_DGRAM, 0);
    if (fd < 0) fail("socket: ", std::strerror(errno));
    const int big = 4 << 20;
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &big, sizeof big);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<std::uint16_t>(port));
    if (inet_pton(AF_INET, ip.c_str(), &a.sin_addr) != 1) fail("not an IPv4 address: ", ip.c_str());
    if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0)
        fail("bind: ", std::strerror(errno));
    FILE* out = std::fopen(out_path.c_str(), "wb");
    if (!out) fail("cannot write ", out_path.c_str());

    TsTally sum;
    static std::uint8_t buf[65536];
    const double end = now_seconds() + seconds;
    for (double left = seconds; left > 0; left = end - now_seconds()) {
        pollfd p{fd, POLLIN, 0};
        const int ready = poll(&p, 1, static_cast<int>(left * 1000) + 1);
        if (ready < 0 && errno != EINTR) fail("poll: ", std::strerror(errno));
        if (ready <= 0) continue;
        const ssize_t n = recv(fd, buf, sizeof buf, 0);
        if (n <= 0) continue;
        std::fwrite(buf, 1, static_cast<std::size_t>(n), out);
        sum.add(buf, static_cast<std::size_t>(n));
    }
    close(fd);
    if (std::fclose(out) != 0) fail("cannot write ", out_path.c_str());
    if (!quiet)
        std::printf(
            "%lu datagrams, %lu packets (PAT %lu, PMT %lu, PCR %lu, audio %lu, other %lu), "
            "%lu continuity errors%s\n",
            sum.datagrams, sum.packets(), sum.pat, sum.pmt, sum.pcr, sum.audio, sum.other,
            sum.continuity_errors, sum.not_packets ? ", some datagrams not whole packets" : "");
    return 0;
}

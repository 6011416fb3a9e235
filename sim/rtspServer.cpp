// Stand-in for the appliance's RTSP server process, built twice: as "rtspServer" and as
// "rtspServerM", so that the service can find and terminate each by its own name. It
// shows the SDP line the service left for it, then waits until it is killed or its
// lifetime ends.
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/debug_log.h"
#include "input/format_poll.h"

namespace {

constexpr long kDefaultLifetimeSec = 600;

const char* base_name(const char* path) {
    const char* slash = std::strrchr(path, '/');
    return slash ? slash + 1 : path;
}

void usage(const char* name) {
    std::printf(
        "usage: %s [--lifetime SECONDS]\n"
        "Stands in for the appliance's RTSP server process. Prints the SDP line found in\n"
        "%s (or that there is none), then waits until it is killed or\n"
        "SECONDS have passed (default %ld), and exits with status 0.\n",
        name, kSdpLinePath, kDefaultLifetimeSec);
}

}  // namespace

int main(int argc, char** argv) {
    const char* name = base_name(argc > 0 && argv[0] ? argv[0] : "rtspServer");
    long lifetime = kDefaultLifetimeSec;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            usage(name);
            return 0;
        }
        if (std::strcmp(argv[i], "--lifetime") == 0 && i + 1 < argc) {
            char* end = nullptr;
            lifetime = std::strtol(argv[++i], &end, 10);
            if (*end == '\0' && lifetime >= 0) continue;
        }
        std::fprintf(stderr, "%s: bad argument '%s'\n", name, argv[i]);
        usage(name);
        return 2;
    }

    char line[256] = {};
    if (FILE* fp = std::fopen(kSdpLinePath, "r")) {
        if (!std::fgets(line, sizeof line, fp)) line[0] = '\0';
        std::fclose(fp);
    }
    trim_line_end(line);
    if (line[0])
        std::printf("%s: SDP line: %s\n", name, line);
    else
        std::printf("%s: no SDP line in %s\n", name, kSdpLinePath);
    std::fflush(stdout);

    // Waits on the monotonic clock so that the lifetime holds across signals that
    // interrupt the sleep.
    timespec start{};
    clock_gettime(CLOCK_MONOTONIC, &start);
    for (;;) {
        timespec now{};
        clock_gettime(CLOCK_MONOTONIC, &now);
        const long left = lifetime - (now.tv_sec - start.tv_sec);
        if (left <= 0) break;
        sleep(static_cast<unsigned>(left < 1 ? 1 : left));
    }
    return 0;
}

// Stand-in for the appliance's RTSP server process, built twice: as "rtspServer" and as
// "rtspServerM", so that the service can find and terminate each by its own name. It
// shows the SDP line the service left for it, then waits until it is killed or its
// lifetime ends. Where GStreamer's RTSP library is found (host builds) it serves RTSP
// meanwhile: players that open rtsp://HOST:PORT/audio are added as receivers.
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/debug_log.h"
#include "input/format_poll.h"
#ifdef AUDIO_RTSP_SIGNALLING
#include "rtsp/rtsp_signalling.h"
#endif

namespace {

constexpr long kDefaultLifetimeSec = 600;
// rtspServerM listens beside rtspServer, so that both can run at once.
constexpr int kDefaultPort = 8554, kDefaultPortM = 8555;

const char* base_name(const char* path) {
    const char* slash = std::strrchr(path, '/');
    return slash ? slash + 1 : path;
}

void usage(const char* name) {
    std::printf(
        "usage: %s [--lifetime SECONDS] [--port PORT]\n"
        "Stands in for the appliance's RTSP server process. Prints the SDP line found in\n"
        "%s (or that there is none), then waits until it is killed or\n"
        "SECONDS have passed (default %ld), and exits with status 0.\n",
        name, kSdpLinePath, kDefaultLifetimeSec);
#ifdef AUDIO_RTSP_SIGNALLING
    std::printf(
        "Meanwhile it serves RTSP/1.0 on TCP PORT (default %d, %d as rtspServerM): one\n"
        "stream, rtsp://HOST:PORT/audio, over unicast UDP. At start it removes the RTSP\n"
        "receivers of the block (command 3); SETUP adds the player (command 1), TEARDOWN or\n"
        "60 s without a request removes it (command 2).\n",
        kDefaultPort, kDefaultPortM);
#endif
}

}  // namespace

int main(int argc, char** argv) {
    const char* name = base_name(argc > 0 && argv[0] ? argv[0] : "rtspServer");
    long lifetime = kDefaultLifetimeSec;
    long port = std::strcmp(name, "rtspServerM") == 0 ? kDefaultPortM : kDefaultPort;
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
        if (std::strcmp(argv[i], "--port") == 0 && i + 1 < argc) {
            char* end = nullptr;
            port = std::strtol(argv[++i], &end, 10);
            if (*end == '\0' && port > 0 && port < 65536) continue;
        }
        std::fprintf(stderr, "%s: bad argument '%s'\n", name, argv[i]);
        usage(name);
        return 2;
    }

#ifdef AUDIO_RTSP_SIGNALLING
    rtsp_signalling::remove_earlier_receivers(name);
#endif
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

#ifdef AUDIO_RTSP_SIGNALLING
    return rtsp_signalling::serve({name, static_cast<int>(port), lifetime});
#else
    (void)port;
#endif
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

// sim_supervise: keeps a command running, as the appliance's init does for its RTSP
// servers. The service terminates them by name whenever it applies a new audio format;
// each comes back here, reads the new SDP line, and players reconnect. The restart rate
// is bounded, so that a command that cannot start does not spin.
#include <signal.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr long kDefaultIntervalMs = 1000;

volatile sig_atomic_t g_stop = 0;

void on_stop(int sig) { g_stop = sig; }

long now_ms() {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec * 1000 + t.tv_nsec / 1000000;
}

void usage() {
    std::printf(
        "usage: sim_supervise [--min-interval-ms N] [--] COMMAND [ARG...]\n"
        "Runs COMMAND and starts it again whenever it ends, but never sooner than N ms\n"
        "(default %ld) after its previous start. COMMAND keeps its own name (argv[0]), so\n"
        "that it is found by that name. SIGTERM or SIGINT is passed on to COMMAND; then\n"
        "sim_supervise exits with status 0 once COMMAND has ended.\n",
        kDefaultIntervalMs);
}

}  // namespace

int main(int argc, char** argv) {
    long interval_ms = kDefaultIntervalMs;
    int first = 1;
    for (; first < argc && argv[first][0] == '-'; ++first) {
        if (std::strcmp(argv[first], "--") == 0) {
            ++first;
            break;
        }
        if (std::strcmp(argv[first], "--help") == 0 || std::strcmp(argv[first], "-h") == 0) {
            usage();
            return 0;
        }
        char* end = nullptr;
        if (std::strcmp(argv[first], "--min-interval-ms") == 0 && first + 1 < argc &&
            (interval_ms = std::strtol(argv[++first], &end, 10)) > 0 && *end == '\0')
            continue;
        std::fprintf(stderr, "sim_supervise: bad argument '%s'\n", argv[first]);
        usage();
        return 2;
    }
    if (first >= argc) {
        usage();
        return 2;
    }
    struct sigaction sa {};
    sa.sa_handler = on_stop;
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);

    for (unsigned starts = 1; !g_stop; ++starts) {
        const long started = now_ms();
        const pid_t child = fork();
        if (child == 0) {
            execvp(argv[first], argv + first);
            std::fprintf(stderr, "sim_supervise: %s: %s\n", argv[first], std::strerror(errno));
            _exit(127);
        }
        if (child < 0) {
            std::perror("sim_supervise: fork");
        } else {
            std::printf("sim_supervise: %s started (pid %d, start %u)\n", argv[first],
                        static_cast<int>(child), starts);
            std::fflush(stdout);
            int status = 0;
            bool passed_on = false;
            while (waitpid(child, &status, 0) < 0 && errno == EINTR)
                if (g_stop && !passed_on) passed_on = kill(child, g_stop) == 0;
            if (WIFSIGNALED(status))
                std::printf("sim_supervise: %s (pid %d) killed by signal %d\n", argv[first],
                            static_cast<int>(child), WTERMSIG(status));
            else
                std::printf("sim_supervise: %s (pid %d) exited with status %d\n", argv[first],
                            static_cast<int>(child), WEXITSTATUS(status));
            std::fflush(stdout);
        }
        for (long left = started + interval_ms - now_ms(); left > 0 && !g_stop;
             left = started + interval_ms - now_ms()) {
            const timespec pause{left / 1000, (left % 1000) * 1000000};
            nanosleep(&pause, nullptr);
        }
    }
    return 0;
}

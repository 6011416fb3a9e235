#include "input/process_control.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/debug_log.h"

namespace {

// Room of the ps line in find_pid_by_ps.
constexpr int kLineRoom = 128;
constexpr int kMaxWords = 50;  // including the terminating null entry
constexpr std::size_t kCommandRoom = 1024;
constexpr int kFindTries = 5;
constexpr useconds_t kFindRetryUsec = 1000;
constexpr int kMaxWaitPasses = 4096;
// The first word of a command line is looked for in this much of it.
constexpr std::size_t kCmdlineRoom = 4096;
// Ids per log line of a kill: 256 of up to 10 digits stay well inside a 4094-character message.
constexpr int kIdsPerLine = 256;
constexpr int kMaxKillLines = 1024;

// Whether the process `pid` runs the program `name`.
bool runs_program(std::int32_t pid, const char* name) {
    static char cmdline[kCmdlineRoom];
    char path[32];
    std::snprintf(path, sizeof path, "/proc/%d/cmdline", static_cast<int>(pid));
    const int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    std::size_t len = 0;
    ssize_t n = 0;
    while (len < sizeof cmdline && (n = read(fd, cmdline + len, sizeof cmdline - len)) > 0)
        len += static_cast<std::size_t>(n);
    close(fd);
    return cmdline_names_program(cmdline, len, name) == 1;
}

// Calls visit(pid) for each process named `name`, in the order of /proc: rising ids.
template <typename Visit>
void for_each_named(const char* name, Visit visit) {
    DIR* proc = opendir("/proc");
    if (!proc) return;
    while (const dirent* entry = readdir(proc)) {
        const std::int32_t pid = pid_from_text(entry->d_name);
        if (pid > 0 && runs_program(pid, name)) visit(pid);
    }
    closedir(proc);
}

}  // namespace

std::int32_t pid_from_text(const char* text) {
    if (*text == '0') return 0;
    std::int32_t value = 0;
    for (const char* p = text; *p; ++p) {
        if (*p < '0' || *p > '9' || value > (0x7FFFFFFF - (*p - '0')) / 10) return 0;
        value = value * 10 + (*p - '0');
    }
    return value;
}

int cmdline_names_program(const char* cmdline, std::size_t len, const char* name) {
    if (len == 0) return 0;
    const auto* end = static_cast<const char*>(std::memchr(cmdline, '\0', len));
    if (!end || end == cmdline) return 0;
    const char* base = cmdline;
    for (const char* p = cmdline; p < end; ++p)
        if (*p == '/') base = p + 1;
    return std::strcmp(base, name) == 0 ? 1 : 0;
}

std::int32_t find_pid_by_name(const char* name) {
    std::int32_t highest = 0;
    for_each_named(name, [&highest](std::int32_t pid) {
        if (pid > highest) highest = pid;
    });
    return highest;
}

std::int32_t kill_all_by_name(const char* name) {
    std::int32_t found = 0;
    for (int attempt = 0; attempt < kFindTries && found == 0; ++attempt) {
        found = find_pid_by_name(name);
        if (found == 0) usleep(kFindRetryUsec);
    }
    if (found == 0) return 0;

    // Highest ids first, as pidof lists them: each pass takes the highest kIdsPerLine below the
    // lowest id of the pass before (kept in a ring, since /proc lists ids rising).
    static std::int32_t ring[kIdsPerLine];
    static char id_list[kIdsPerLine * 11 + 1];
    std::int32_t below = 0x7FFFFFFF, last = 0;
    for (int line = 0; line < kMaxKillLines; ++line) {
        int seen = 0;
        for_each_named(name, [&seen, below](std::int32_t pid) {
            if (pid < below) ring[seen++ % kIdsPerLine] = pid;
        });
        if (seen == 0) break;
        std::size_t used = 0;
        for (int i = 0; i < seen && i < kIdsPerLine; ++i) {
            last = ring[(seen - 1 - i) % kIdsPerLine];
            kill(last, SIGKILL);
            used += static_cast<std::size_t>(std::snprintf(
                id_list + used, sizeof id_list - used, i ? " %d" : "%d", static_cast<int>(last)));
        }
        dbg_printf("%s task [%s] killed\n", name, id_list);
        below = last;
        if (seen <= kIdsPerLine) break;
    }
    return last;
}

std::int32_t run_command_argv(const char* cmd, const int* fds, int stdin_only) {
    if (!cmd) return 1;
    const pid_t pid = fork();
    if (pid < 0) return -1;
    if (pid > 0) return pid;

    // Child: everything below ends in execv or _exit, never back in the caller.
    static char work[kCommandRoom];
    if (std::strlen(cmd) >= sizeof work) _exit(1);
    std::strcpy(work, cmd);
    char* argv[kMaxWords];
    int words = 0;
    argv[words++] = work;
    for (char* p = work; *p; ++p) {
        if (*p != ' ') continue;
        *p = '\0';
        if (p[1] == '\0') break;  // a trailing space adds no word
        if (words == kMaxWords - 1) _exit(1);
        argv[words++] = p + 1;
    }
    argv[words] = nullptr;
    if (fds) {
        dup2(fds[0], STDIN_FILENO);
        if (!stdin_only) dup2(fds[1], STDOUT_FILENO);
    }
    execv(argv[0], argv);
    _exit(1);
}

std::int32_t run_shell_command(const char* cmd) {
    if (!cmd) return 1;
    const pid_t pid = fork();
    if (pid < 0) return -1;
    if (pid > 0) return pid;
    char sh[] = "sh";
    char dash_c[] = "-c";
    char* argv[] = {sh, dash_c, const_cast<char*>(cmd), nullptr};
    execv("/bin/sh", argv);
    _exit(1);
}

std::int32_t find_pid_by_ps(const char* name) {
    char line[kLineRoom];
    const int n = std::snprintf(line, sizeof line, "ps | grep %s", name);
    if (n <= 0 || n >= kLineRoom) return 0;
    FILE* ps = popen(line, "r");
    if (!ps) return 0;
    std::int32_t pid = 0;
    while (std::fgets(line, sizeof line, ps)) {
        if (std::strstr(line, "grep") || std::strstr(line, "gvim") ||
            std::strstr(line, "ps_test") || std::strstr(line, "sh -c"))
            continue;
        char* save = nullptr;
        const char* first = strtok_r(line, " ", &save);
        pid = first ? std::atoi(first) : 0;
        break;
    }
    pclose(ps);
    return pid;
}

std::int32_t check_child_running(std::int32_t pid) {
    // Each pass returns, or reaps one child (finitely many), or was interrupted by a
    // signal; the bound only guards against a storm of signals, when the child counts
    // as still running and the caller asks again later.
    for (int pass = 0; pass < kMaxWaitPasses; ++pass) {
        const pid_t r = waitpid(pid, nullptr, WNOHANG);
        if (r == 0) return 1;
        if (r > 0) continue;
        if (errno == EINTR) continue;
        // ECHILD, and any other error: there is no child of that id to wait for.
        return 0;
    }
    return 1;
}

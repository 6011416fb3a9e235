#include "input/process_control.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/debug_log.h"

namespace {

// The command line and then the first line of its output share this room.
constexpr int kLineRoom = 128;
constexpr int kMaxWords = 50;  // including the terminating null entry
constexpr std::size_t kCommandRoom = 1024;
constexpr int kFindTries = 5;
constexpr useconds_t kFindRetryUsec = 1000;
constexpr int kMaxWaitPasses = 4096;

// Formats "pidof <name> > <file>" into line; false when the name does not fit.
bool format_pidof(char (&line)[kLineRoom], const char* name, const char* file) {
    const int n = std::snprintf(line, sizeof line, "pidof %s > %s", name, file);
    return n > 0 && n < kLineRoom;
}

// The shell's status is not looked at: an empty or missing output file says "none".
void run_ignoring_status(const char* command) {
    const int status = std::system(command);
    (void)status;
}

// First line of file into line (cleared first); false when it cannot be opened or read.
bool read_first_line(char (&line)[kLineRoom], const char* file) {
    FILE* fp = std::fopen(file, "r");
    if (!fp) return false;
    std::memset(line, 0, sizeof line);
    const bool got = std::fgets(line, sizeof line, fp) != nullptr;
    std::fclose(fp);
    return got;
}

}  // namespace

std::int32_t find_pid_by_name(const char* name) {
    char line[kLineRoom];
    if (!format_pidof(line, name, "/tmp/.pidof")) return 0;
    run_ignoring_status(line);
    if (!read_first_line(line, "/tmp/.pidof")) return 0;
    for (const char* p = line; *p; ++p) {
        const int value = std::atoi(p);
        if (value > 0) return value;
    }
    return 0;
}

std::int32_t kill_all_by_name(const char* name) {
    std::int32_t found = 0;
    for (int attempt = 0; attempt < kFindTries && found == 0; ++attempt) {
        found = find_pid_by_name(name);
        if (found == 0) usleep(kFindRetryUsec);
    }
    if (found == 0) return 0;

    char line[kLineRoom];
    if (!format_pidof(line, name, "/tmp/.killall")) return 0;
    run_ignoring_status(line);
    if (!read_first_line(line, "/tmp/.killall")) return 0;
    trim_line_end(line);
    char id_list[kLineRoom];
    std::memcpy(id_list, line, sizeof id_list);

    std::int32_t last = 0;
    char* save = nullptr;
    for (char* token = strtok_r(line, " ", &save); token; token = strtok_r(nullptr, " ", &save)) {
        last = std::atoi(token);
        // pidof prints only positive ids; anything else (kill(-1) would reach every
        // process) is never signalled.
        if (last > 0) kill(last, SIGKILL);
    }
    if (last == 0) return 0;
    dbg_printf("%s task [%s] killed\n", name, id_list);
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

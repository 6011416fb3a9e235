#include "support/named_process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

pid_t start_named_process(const std::string& dir, const std::string& name, int seconds) {
    const std::string path = dir + "/" + name;
    if (symlink("/bin/sleep", path.c_str()) != 0 && errno != EEXIST) return -1;
    const std::string duration = std::to_string(seconds);
    int ready[2];
    if (pipe2(ready, O_CLOEXEC) != 0) return -1;
    const pid_t pid = fork();
    if (pid < 0) return -1;
    if (pid == 0) {
        execl(path.c_str(), name.c_str(), duration.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    close(ready[1]);
    // The write end closes when exec succeeds (or the child dies): end of file then.
    char byte;
    for (int tries = 0; tries < 100 && read(ready[0], &byte, 1) < 0 && errno == EINTR; ++tries) {
    }
    close(ready[0]);
    return pid;
}

int wait_for_exit(pid_t pid, int timeout_ms) {
    for (int waited = 0; waited <= timeout_ms; waited += 10) {
        int status = 0;
        const pid_t r = waitpid(pid, &status, WNOHANG);
        if (r == pid) return status;
        if (r < 0) return -1;
        usleep(10000);
    }
    return -1;
}

bool killed_by_sigkill(int status) {
    return status != -1 && WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL;
}

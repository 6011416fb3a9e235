#include "support/isolation.h"

#include <fcntl.h>
#include <net/if.h>
#include <sched.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

bool write_text(const char* path, const std::string& text) {
    const int fd = open(path, O_WRONLY);
    if (fd < 0) return false;
    const bool ok = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    close(fd);
    return ok;
}

bool enter(int flags) {
    if (geteuid() != 0) {
        const uid_t uid = geteuid();
        const gid_t gid = getegid();
        if (unshare(CLONE_NEWUSER | flags) != 0) {
            std::fprintf(stderr, "unshare(user): %s\n", std::strerror(errno));
            return false;
        }
        write_text("/proc/self/setgroups", "deny");
        write_text("/proc/self/uid_map", "0 " + std::to_string(uid) + " 1");
        write_text("/proc/self/gid_map", "0 " + std::to_string(gid) + " 1");
        return true;
    }
    if (unshare(flags) != 0) {
        std::fprintf(stderr, "unshare: %s\n", std::strerror(errno));
        return false;
    }
    return true;
}

bool loopback_up() {
    const int fd = socket(AF_INET, SOCK_DGRAM, 0);
    if (fd < 0) return false;
    ifreq req{};
    std::strcpy(req.ifr_name, "lo");
    bool ok = ioctl(fd, SIOCGIFFLAGS, &req) == 0;
    req.ifr_flags = static_cast<short>(req.ifr_flags | IFF_UP);
    ok = ok && ioctl(fd, SIOCSIFFLAGS, &req) == 0;
    close(fd);
    if (!ok) std::fprintf(stderr, "loopback up: %s\n", std::strerror(errno));
    return ok;
}

bool mount_private_tree() {
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
        std::fprintf(stderr, "make / private: %s\n", std::strerror(errno));
        return false;
    }
    return true;
}

bool mount_tmpfs_on_tmp() {
    if (mount("tmpfs", "/tmp", "tmpfs", 0, "mode=1777") != 0) {
        std::fprintf(stderr, "tmpfs on /tmp: %s\n", std::strerror(errno));
        return false;
    }
    return true;
}

}  // namespace

bool enter_private_ipc() { return enter(CLONE_NEWIPC); }
bool enter_private_net() { return enter(CLONE_NEWNET) && loopback_up(); }
bool enter_private_ipc_and_net() { return enter(CLONE_NEWIPC | CLONE_NEWNET) && loopback_up(); }

bool enter_private_tmp() {
    return enter(CLONE_NEWNS) && mount_private_tree() && mount_tmpfs_on_tmp();
}

bool enter_private_pids() {
    if (!enter(CLONE_NEWNS | CLONE_NEWPID) || !mount_private_tree()) return false;
    std::fflush(nullptr);  // nothing buffered may be written twice
    const pid_t child = fork();
    if (child < 0) {
        std::fprintf(stderr, "fork: %s\n", std::strerror(errno));
        return false;
    }
    if (child > 0) {
        int status = 0;
        for (int tries = 0; tries < 1000 && waitpid(child, &status, 0) < 0 && errno == EINTR;
             ++tries) {
        }
        _exit(WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status));
    }
    // The namespace ends with the waiting process, for instance when a time-out kills it.
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (mount("proc", "/proc", "proc", MS_NOSUID | MS_NODEV | MS_NOEXEC, nullptr) != 0) {
        std::fprintf(stderr, "mount /proc: %s\n", std::strerror(errno));
        return false;
    }
    return mount_tmpfs_on_tmp();
}

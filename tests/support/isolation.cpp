#include "support/isolation.h"

#include <fcntl.h>
#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
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

}  // namespace

bool enter_private_ipc() { return enter(CLONE_NEWIPC); }
bool enter_private_net() { return enter(CLONE_NEWNET) && loopback_up(); }
bool enter_private_ipc_and_net() { return enter(CLONE_NEWIPC | CLONE_NEWNET) && loopback_up(); }

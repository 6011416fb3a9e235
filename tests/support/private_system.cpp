#include "support/private_system.h"

#include <sched.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "support/isolation.h"

namespace {

bool enter(int flags, const char* what) {
    // Not root: the network helper takes a user namespace in which we are, so later
    // unshares are allowed there.
    if (geteuid() != 0 && !enter_private_net()) return false;
    if (unshare(flags) != 0) {
        std::fprintf(stderr, "unshare(%s): %s\n", what, std::strerror(errno));
        return false;
    }
    return true;
}

}  // namespace

bool enter_private_uts() { return enter(CLONE_NEWUTS, "uts"); }

bool enter_private_mounts() {
    if (!enter(CLONE_NEWNS, "mount")) return false;
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
        std::fprintf(stderr, "make / private: %s\n", std::strerror(errno));
        return false;
    }
    return true;
}

bool mount_tmpfs(const char* path) {
    if (mount("tmpfs", path, "tmpfs", 0, "mode=0755") != 0) {
        std::fprintf(stderr, "tmpfs on %s: %s\n", path, std::strerror(errno));
        return false;
    }
    return true;
}

bool bind_mount(const std::string& source, const std::string& target) {
    if (mount(source.c_str(), target.c_str(), nullptr, MS_BIND, nullptr) != 0) {
        std::fprintf(stderr, "bind %s on %s: %s\n", source.c_str(), target.c_str(),
                     std::strerror(errno));
        return false;
    }
    return true;
}

bool run_shell(const std::string& command) {
    const int rc = std::system(command.c_str());
    return rc != -1 && WIFEXITED(rc) && WEXITSTATUS(rc) == 0;
}

std::string shell_output(const std::string& command) {
    std::string out;
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) return out;
    char buf[512];
    for (std::size_t n; (n = std::fread(buf, 1, sizeof buf, pipe)) > 0;) out.append(buf, n);
    pclose(pipe);
    return out;
}

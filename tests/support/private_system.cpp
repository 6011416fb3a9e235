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

bool enter_private_uts() {
    // Not root: the network helper takes a user namespace in which we are, so the
    // unshare is allowed there.
    if (geteuid() != 0 && !enter_private_net()) return false;
    if (unshare(CLONE_NEWUTS) == 0) return true;
    std::fprintf(stderr, "unshare(uts): %s\n", std::strerror(errno));
    return false;
}

bool mount_tmpfs(const char* path) {
    if (mount("tmpfs", path, "tmpfs", 0, "mode=0755") == 0) return true;
    std::fprintf(stderr, "tmpfs on %s: %s\n", path, std::strerror(errno));
    return false;
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

// More private copies of machine-wide state for one unit test process, beside
// isolation.h: its own host name (UTS namespace) and its own mount table, so that a test
// may mount over /etc, /proc, /sbin or /tmp without the machine, or any other test, seeing
// it. Each test case runs in its own process, so the namespaces end with it.
#pragma once

#include <string>

// True when the tests run under a user-mode emulator (the appliance build, qemu-ppc): the
// kernel underneath is the host's, with the host's byte order in /proc.
inline constexpr bool kUnderEmulator = sizeof(AUDIO_EMULATOR) > 1;

// A fresh UTS namespace: sethostname no longer reaches the machine.
bool enter_private_uts();

// A fresh mount namespace whose mounts neither propagate to nor receive from the
// machine's (the whole tree is made private first).
bool enter_private_mounts();

// Inside the private mount namespace: a fresh tmpfs at `path`; a bind mount of `source`
// over `target` (files or directories).
bool mount_tmpfs(const char* path);
bool bind_mount(const std::string& source, const std::string& target);

// Runs a shell command; true when it exits with status 0. Its output is not captured.
bool run_shell(const std::string& command);

// Everything the command prints on standard output ("" when it cannot run).
std::string shell_output(const std::string& command);

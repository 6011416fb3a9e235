// More private copies of machine-wide state for one unit test process, beside
// isolation.h (whose enter_private_tmp gives the private mount table): its own host name,
// and the shell commands that set up and inspect what the test then owns.
#pragma once

#include <string>

// True when the tests run under a user-mode emulator (the appliance build, qemu-ppc): the
// kernel underneath is the host's, with the host's byte order in /proc.
inline constexpr bool kUnderEmulator = sizeof(AUDIO_EMULATOR) > 1;

// A fresh UTS namespace: sethostname no longer reaches the machine.
bool enter_private_uts();

// Inside a private mount namespace: a fresh tmpfs at `path`.
bool mount_tmpfs(const char* path);

// Runs a shell command; true when it exits with status 0. Its output is not captured.
bool run_shell(const std::string& command);

// Everything the command prints on standard output ("" when it cannot run).
std::string shell_output(const std::string& command);

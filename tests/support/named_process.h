// Real processes with a chosen program name, for tests that find and terminate processes
// by name: a symbolic link of that name to /bin/sleep, started and waited for.
#pragma once

#include <sys/types.h>

#include <string>

// Starts `name` (a link to /bin/sleep in dir, which must exist) sleeping for `seconds`;
// returns once the program has replaced the child (so that pidof sees the name), or -1.
pid_t start_named_process(const std::string& dir, const std::string& name, int seconds = 60);

// Waits up to timeout_ms for the child to end; its wait status, or -1 if it still runs.
int wait_for_exit(pid_t pid, int timeout_ms = 5000);

// True when the wait status says the process was ended by SIGKILL.
bool killed_by_sigkill(int status);

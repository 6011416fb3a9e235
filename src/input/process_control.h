// Finding and terminating other processes of the appliance by program name, through the
// shell's `pidof` and the fixed scratch files "/tmp/.pidof" and "/tmp/.killall"; with the
// companions of the appliance's process toolkit (start a command with or without a shell,
// find a process through `ps`, poll a child). The format poll calls find_pid_by_name and
// kill_all_by_name. Every call blocks until its shell commands are done; none allocates.
#pragma once

#include <cstdint>

// The first process id that `pidof <name>` prints, or 0. The name may have at most 107
// characters (the command is formatted into a 128-byte line); a longer one gives 0
// without running anything.
std::int32_t find_pid_by_name(const char* name);

// Up to 5 tries of find_pid_by_name, 1 ms apart; when one succeeds, runs `pidof` again
// into "/tmp/.killall", sends SIGKILL to every id on its line and logs
// "<name> task [<ids>] killed\n". Returns the last id of the line, or 0 when nothing was
// found (then nothing is logged). Does not wait for the processes to end. At most 105
// characters of name.
std::int32_t kill_all_by_name(const char* name);

// Starts `cmd` (split at each single space; the first word is the program's path, no PATH
// search) in a child process. With fds: fds[0] becomes its standard input and, unless
// stdin_only is non-zero, fds[1] its standard output. Returns 1 for a null cmd, -1 when
// fork fails, else the child's id at once. A child that cannot run the program (or is
// given more than 49 words, or more than 1023 characters) exits with status 1.
std::int32_t run_command_argv(const char* cmd, const int* fds, int stdin_only);

// Starts "/bin/sh -c <cmd>" in a child; results as run_command_argv.
std::int32_t run_shell_command(const char* cmd);

// The id in the first line of `ps | grep <name>` that is not a line of grep, gvim, ps_test
// or a "sh -c" shell; 0 when there is none.
std::int32_t find_pid_by_ps(const char* name);

// 1 while the child `pid` runs; 0 once there is no such child (reaping it if it ended).
std::int32_t check_child_running(std::int32_t pid);

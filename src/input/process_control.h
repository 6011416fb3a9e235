// Finding and terminating other processes of the appliance by program name, the way `pidof`
// matches it (the last path element of a process's first command-line word, whole), by
// reading /proc: no shell, no scratch file. With the companions of the appliance's process
// toolkit (start a command with or without a shell, find a process through `ps`, poll a
// child). The format poll calls find_pid_by_name and kill_all_by_name. Every call blocks
// until it is done; the /proc scans open a directory stream (one allocation each).
#pragma once

#include <cstddef>
#include <cstdint>

// The process id a /proc entry name spells: only decimal digits, no leading zero, 1 to
// 2^31 - 1; else 0, so that no id is ever taken from part of a name.
std::int32_t pid_from_text(const char* text);

// 1 when `cmdline` (len bytes of /proc/<pid>/cmdline: words each ended by a NUL) names the
// program `name`: the part of its first word after the last '/' is `name`, whole. A first
// word not ended within len bytes (cut short), or an empty one, names nothing; a process
// that has ended but is not yet reaped has an empty command line.
int cmdline_names_program(const char* cmdline, std::size_t len, const char* name);

// The id `pidof <name>` would print first (the highest of the processes named `name`), or 0.
// A program name of 4096 or more characters (with its path) is never matched.
std::int32_t find_pid_by_name(const char* name);

// Up to 5 tries of find_pid_by_name, 1 ms apart; when one succeeds, sends SIGKILL to every
// process named `name`, highest id first, and logs "<name> task [<ids>] killed\n" with the
// ids separated by single spaces (a line for every 256 of them). Returns the last id
// signalled, or 0 when nothing was found (then nothing is logged). Does not wait for the
// processes to end.
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

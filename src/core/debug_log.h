// Debug and log output: every diagnostic line of the service goes through dbg_printf.
// Start-up picks the destination once (screen, or the rotating log file); every module
// writes through here. There are no levels. Not reentrant: one thread only.
#pragma once

#include <cstdint>

// Writes one message. On screen: the formatted text as it is. To the file: opened,
// appended to and closed per call; a time prefix "[asctime] " at each line start; the
// file is renamed to its ".bak" (replacing it) and started anew once it exceeds 8192 bytes.
// The file is written only when its name holds a regular file of this user with one link
// (or nothing: it is created); a link or anything else there skips the message. errno is
// left as it was, so a trace may come between a failed call and dbg_perror.
void dbg_printf(const char* format, ...) __attribute__((format(printf, 1, 2)));

// "<text> ::: <strerror(errno)>\n" through dbg_printf.
void dbg_perror(const char* text);

void dbg_to_screen();
void dbg_to_file();

// Sets the log file and its backup (name + ".bak"). The name must be shorter than 252.
void dbg_set_logfile(const char* name);
const char* dbg_logfile_name();
const char* dbg_backup_name();

// Size of a file from stat(), or -1 when stat() fails.
std::int32_t get_file_size(const char* name);

// Replaces trailing '\n', '\r' and ' ' with NUL, in place.
void trim_line_end(char* text);

// Every trace of where something happened goes through DBG_TRACE_AT: "[DBG] name:line " on
// the current line, usually followed by dbg_perror with the failed call's name (or by
// "\n" alone, DBG_TRACE_LINE).
#define DBG_TRACE_AT(name, line) dbg_printf("[DBG] %s:%d ", name, line)
// This function and line.
#define DBG_TRACE() DBG_TRACE_AT(__func__, __LINE__)
// A helper traced under the name of the public function it serves.
#define DBG_TRACE_IN(name) DBG_TRACE_AT(name, __LINE__)
// A whole trace line, with nothing after it.
#define DBG_TRACE_LINE() dbg_printf("[DBG] %s:%d\n", __func__, __LINE__)
// Line numbers of the deployed build that three log lines carry, which the appliance's
// log readers match on: they stay these numbers whatever line of this source writes them.
inline constexpr int kLineMainWaitError = 1197;  // "main:1197 Error <errno>:<text>"
inline constexpr int kLineMainRecv = 1312;       // "[DBG] main:1312 " before a failed recv
inline constexpr int kLineRemakeTsSock = 1066;   // "[DBG] remake_ts_sock:1066 peer_ip-..."

// Log size beyond which the next message rotates the file into its backup.
inline constexpr std::int32_t kLogRotateBytes = 8192;

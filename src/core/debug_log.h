// Debug and log output: every diagnostic line of the service goes through dbg_printf.
// Start-up picks the destination once (screen, or the rotating log file); every module
// writes through here. There are no levels. Not reentrant: one thread only.
#pragma once

#include <cstdint>

// Writes one message. On screen: the formatted text as it is. To the file: opened,
// appended to and closed per call; a time prefix "[asctime] " at each line start; the
// file is copied into its ".bak" and emptied once it exceeds 8192 bytes.
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

// Trace of where something happened: "[DBG] function:line " on the current line,
// usually followed by dbg_perror with the failed call's name.
#define DBG_TRACE() dbg_printf("[DBG] %s:%d ", __func__, __LINE__)

// Log size beyond which the next message rotates the file into its backup.
inline constexpr std::int32_t kLogRotateBytes = 8192;

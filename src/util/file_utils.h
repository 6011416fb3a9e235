// File and shell helpers of the appliance's utility library: advisory locks, one-line
// reads and writes, dropping the head of a file, grep-style probes and hex dumps into the
// debug log. Tools of the appliance call them; the streaming service itself does not.
// Results are 1 on success and 0 on failure unless said otherwise.
//
// Shell commands are formatted into a 256-byte buffer; a command that does not fit is not
// run at all (a cut command could do something else than asked): write_by_shell then
// returns -1 and the probes answer 0.
#pragma once

#include <cstddef>
#include <cstdint>

inline constexpr std::size_t kShellCommandRoom = 256;
// read_first_line and file_has_text read at most this many characters of a line.
inline constexpr std::size_t kFirstLineRoom = 128;

// Write lock over the whole file (F_SETLK, does not wait). fcntl locks belong to the
// process: a second descriptor of the same process never conflicts.
int lock_file(int fd);
// Releases the whole-file lock; returns what fcntl returns (0, or -1).
int unlock_file(int fd);

// Runs "echo <text> > <path>"; returns the result of system().
int write_by_shell(const char* path, const char* text);
// 1 when "grep <pattern> <path>" prints a first line that contains the pattern.
int file_has_text(const char* path, const char* pattern);
// 1 when "lspci | grep <pattern>" prints at least one line.
int has_pci_device(const char* pattern);

// n / 4 32-bit words, then n % 4 bytes, front to back; the areas must not overlap.
void copy_words(void* dst, const void* src, std::size_t n);

// First line (newline kept, at most kFirstLineRoom - 1 characters) into `out`, which
// has kFirstLineRoom bytes. 0 when the file cannot be opened or is empty.
int read_first_line(const char* path, char* out);
// Create or truncate the file and write "<text>\n" / "<n>\n"; silent when it cannot be
// opened.
void write_text_line(const char* path, const char* text);
void write_int_line(const char* path, int n);

// Removes the first n bytes of the file in place, moving the rest forward in chunks of
// n bytes (at most kDropChunkMax), then truncates. n at or beyond the size leaves an empty
// file. 0 for n = 0, a file that cannot be opened read-write, or one without seeking.
int drop_file_head(const char* path, std::uint64_t n);
inline constexpr std::uint64_t kDropChunkMax = 4096;

// "%08x : " at each 16th byte, "%02x " per byte, "\n" at the end, through dbg_printf.
void hexdump_to_log(const std::uint8_t* data, std::size_t len);
// Every line of the file (lines of up to 2999 characters) through dbg_printf.
void print_file_to_log(const char* path);

#include "util/file_utils.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/debug_log.h"

namespace {

// snprintf's result: the whole command fitted into kShellCommandRoom.
bool fits(int n) { return n >= 0 && static_cast<std::size_t>(n) < kShellCommandRoom; }

int whole_file_lock(int fd, short type) {
    struct flock fl {};
    fl.l_type = type;
    fl.l_whence = SEEK_SET;
    fl.l_start = 0;
    fl.l_len = 0;
    return fcntl(fd, F_SETLK, &fl);
}

// First line of a command's output; false when it cannot run or prints nothing.
bool first_output_line(const char* cmd, char (&line)[kFirstLineRoom]) {
    FILE* pipe = popen(cmd, "r");
    if (pipe == nullptr) return false;
    const bool got = std::fgets(line, sizeof line, pipe) != nullptr;
    pclose(pipe);
    return got;
}

}  // namespace

int lock_file(int fd) { return whole_file_lock(fd, F_WRLCK) == 0 ? 1 : 0; }

int unlock_file(int fd) { return whole_file_lock(fd, F_UNLCK); }

int write_by_shell(const char* path, const char* text) {
    char cmd[kShellCommandRoom];
    if (!fits(std::snprintf(cmd, sizeof cmd, "echo %s > %s", text, path))) return -1;
    return std::system(cmd);
}

int file_has_text(const char* path, const char* pattern) {
    char cmd[kShellCommandRoom];
    if (!fits(std::snprintf(cmd, sizeof cmd, "grep %s %s 2> /dev/null", pattern, path))) return 0;
    char line[kFirstLineRoom];
    return first_output_line(cmd, line) && std::strstr(line, pattern) != nullptr ? 1 : 0;
}

int has_pci_device(const char* pattern) {
    char cmd[kShellCommandRoom];
    if (!fits(std::snprintf(cmd, sizeof cmd, "lspci | grep %s 2> /dev/null", pattern))) return 0;
    char line[kFirstLineRoom];
    return first_output_line(cmd, line) ? 1 : 0;
}

void copy_words(void* dst, const void* src, std::size_t n) {
    auto* d = static_cast<unsigned char*>(dst);
    const auto* s = static_cast<const unsigned char*>(src);
    for (std::size_t w = 0; w < n / 4; ++w, d += 4, s += 4) {
        std::uint32_t word;  // memcpy: the areas need not be 4-byte aligned
        std::memcpy(&word, s, 4);
        std::memcpy(d, &word, 4);
    }
    for (std::size_t b = 0; b < n % 4; ++b) d[b] = s[b];
}

int read_first_line(const char* path, char* out) {
    FILE* fp = std::fopen(path, "r");
    if (fp == nullptr) return 0;
    char line[kFirstLineRoom];
    const bool got = std::fgets(line, sizeof line, fp) != nullptr;
    std::fclose(fp);
    if (!got) return 0;
    std::memcpy(out, line, std::strlen(line) + 1);
    return 1;
}

void write_text_line(const char* path, const char* text) {
    if (FILE* fp = std::fopen(path, "w")) {
        std::fprintf(fp, "%s\n", text);
        std::fclose(fp);
    }
}

void write_int_line(const char* path, int n) {
    if (FILE* fp = std::fopen(path, "w")) {
        std::fprintf(fp, "%d\n", n);
        std::fclose(fp);
    }
}

int drop_file_head(const char* path, std::uint64_t n) {
    if (n == 0) {
        dbg_printf("invalid reduce size !\n");
        return 0;
    }
    const auto chunk = static_cast<std::size_t>(n < kDropChunkMax ? n : kDropChunkMax);
    dbg_printf("debug: buffer_size=%lu\n", static_cast<unsigned long>(chunk));

    const int fd = open(path, O_RDWR);
    if (fd < 0) {
        dbg_printf("can not open file ! (filename=\"%s\")\n", path);
        return 0;
    }
    const off_t end = lseek(fd, 0, SEEK_END);
    if (end < 0) {
        dbg_printf("seek not supported\n");
        close(fd);
        return 0;
    }
    auto* buf = static_cast<unsigned char*>(std::malloc(chunk));
    if (buf == nullptr) {
        dbg_printf("not enough memory\n");
        close(fd);
        return 0;
    }

    const auto size = static_cast<std::uint64_t>(end);
    std::uint64_t rpos = n;
    std::uint64_t wpos = 0;
    // What the file held at the start takes size / chunk + 1 passes; bytes that another
    // writer appends meanwhile are not chased.
    for (std::uint64_t pass = 0; pass <= size / chunk; ++pass) {
        if (lseek(fd, static_cast<off_t>(rpos), SEEK_SET) < 0) break;
        const ssize_t got = read(fd, buf, chunk);
        if (got <= 0) break;
        rpos += static_cast<std::uint64_t>(got);
        if (lseek(fd, static_cast<off_t>(wpos), SEEK_SET) < 0) break;
        const ssize_t put = write(fd, buf, static_cast<std::size_t>(got));
        if (put <= 0) break;
        wpos += static_cast<std::uint64_t>(put);
    }
    std::free(buf);

    dbg_printf("truncate %llu -> %llu bytes\n", static_cast<unsigned long long>(size),
               static_cast<unsigned long long>(wpos));
    const int cut = ftruncate(fd, static_cast<off_t>(wpos));
    if (cut != 0) dbg_perror("ftruncate");
    close(fd);
    return cut == 0 ? 1 : 0;
}

void hexdump_to_log(const std::uint8_t* data, std::size_t len) {
    for (std::size_t i = 0; i < len; ++i) {
        if (i % 16 == 0) {
            if (i != 0) dbg_printf("\n");
            dbg_printf("%08x : ", static_cast<unsigned>(i));
        }
        dbg_printf("%02x ", data[i]);
    }
    dbg_printf("\n");
}

void print_file_to_log(const char* path) {
    FILE* fp = std::fopen(path, "r");
    if (fp == nullptr) return;
    char line[3000];
    while (std::fgets(line, sizeof line, fp) != nullptr) dbg_printf("%s", line);
    std::fclose(fp);
}

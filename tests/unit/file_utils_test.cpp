// The file and shell helpers of the utility library on real temporary files, real child
// processes and real shell commands.
#include "util/file_utils.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "support/temp_dir.h"

namespace {

std::string pattern_bytes(std::size_t n) {
    std::string s(n, '\0');
    for (std::size_t i = 0; i < n; ++i) s[i] = static_cast<char>((i * 7 + i / 251) % 256);
    return s;
}

// Runs `child` in a forked process and returns its exit status (or -1).
template <typename F>
int in_child(F child) {
    const pid_t pid = fork();
    if (pid == 0) _exit(child());
    int status = 0;
    if (pid < 0 || waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return -1;
    return WEXITSTATUS(status);
}

TEST(FileUtils, WriteLockIsExclusiveBetweenProcesses) {
    TempDir dir;
    const std::string path = dir.file("locked");
    write_file(path, "data");
    const int fd = open(path.c_str(), O_RDWR);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(lock_file(fd), 1);

    auto try_lock = [&] {
        const int other = open(path.c_str(), O_RDWR);
        return other >= 0 ? lock_file(other) : 9;
    };
    EXPECT_EQ(in_child(try_lock), 0) << "a second process got the lock that is held";
    // fcntl locks belong to the process: another descriptor of ours does not conflict.
    const int again = open(path.c_str(), O_RDWR);
    EXPECT_EQ(lock_file(again), 1);
    close(again);  // and closing any of our descriptors drops our lock

    ASSERT_EQ(lock_file(fd), 1);
    EXPECT_EQ(unlock_file(fd), 0);
    EXPECT_EQ(in_child(try_lock), 1) << "the lock was not released";

    const int read_only = open(path.c_str(), O_RDONLY);
    EXPECT_EQ(lock_file(read_only), 0) << "a write lock needs a descriptor open for writing";
    EXPECT_EQ(unlock_file(-1), -1);
    close(read_only);
    close(fd);
}

TEST(FileUtils, DropFileHeadAtItsBoundaries) {
    const struct {
        std::size_t size;
        std::uint64_t n;
        unsigned long chunk;
    } cases[] = {
        {10000, 10, 10},     {10000, 1, 1},       {10000, 4095, 4095},  {10000, 4096, 4096},
        {10000, 4097, 4096}, {10000, 9999, 4096}, {10000, 10000, 4096}, {10000, 10001, 4096},
        {100, 5000, 4096},   {0, 3, 3},
    };
    for (const auto& c : cases) {
        TempDir dir;
        const std::string path = dir.file("log");
        const std::string original = pattern_bytes(c.size);
        write_file(path, original);

        testing::internal::CaptureStdout();
        const int result = drop_file_head(path.c_str(), c.n);
        const std::string log = testing::internal::GetCapturedStdout();

        const std::size_t kept = c.n >= c.size ? 0 : c.size - static_cast<std::size_t>(c.n);
        EXPECT_EQ(result, 1) << c.size << " " << c.n;
        EXPECT_EQ(read_file(path), original.substr(c.size - kept)) << c.size << " " << c.n;
        EXPECT_EQ(log, "debug: buffer_size=" + std::to_string(c.chunk) + "\ntruncate " +
                           std::to_string(c.size) + " -> " + std::to_string(kept) + " bytes\n");
    }
}

TEST(FileUtils, DropFileHeadRefusals) {
    TempDir dir;
    const std::string path = dir.file("log");
    write_file(path, "0123456789");
    const std::string missing = dir.file("missing");
    const std::string fifo = dir.file("fifo");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);

    const struct {
        std::string path;
        std::uint64_t n;
        std::string log;
    } cases[] = {
        {path, 0, "invalid reduce size !\n"},
        {missing, 4, "debug: buffer_size=4\ncan not open file ! (filename=\"" + missing + "\")\n"},
        {fifo, 4, "debug: buffer_size=4\nseek not supported\n"},
    };
    for (const auto& c : cases) {
        testing::internal::CaptureStdout();
        EXPECT_EQ(drop_file_head(c.path.c_str(), c.n), 0) << c.path;
        EXPECT_EQ(testing::internal::GetCapturedStdout(), c.log);
    }
    EXPECT_EQ(read_file(path), "0123456789");
}

TEST(FileUtils, HexdumpLinesOf16Bytes) {
    std::uint8_t bytes[33];
    for (std::uint8_t i = 0; i < sizeof bytes; ++i) bytes[i] = static_cast<std::uint8_t>(i * 0x11);
    const struct {
        std::size_t len;
        std::string text;
    } cases[] = {
        {0, "\n"},
        {1, "00000000 : 00 \n"},
        {16, "00000000 : 00 11 22 33 44 55 66 77 88 99 aa bb cc dd ee ff \n"},
        {17,
         "00000000 : 00 11 22 33 44 55 66 77 88 99 aa bb cc dd ee ff \n"
         "00000010 : 10 \n"},
        {33,
         "00000000 : 00 11 22 33 44 55 66 77 88 99 aa bb cc dd ee ff \n"
         "00000010 : 10 21 32 43 54 65 76 87 98 a9 ba cb dc ed fe 0f \n"
         "00000020 : 20 \n"},
    };
    for (const auto& c : cases) {
        testing::internal::CaptureStdout();
        hexdump_to_log(bytes, c.len);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), c.text) << c.len;
    }
}

TEST(FileUtils, CopyWordsCopiesExactlyNBytes) {
    const std::string src = pattern_bytes(16) + "tail";
    for (std::size_t n = 0; n <= 12; ++n) {
        for (std::size_t misalign : {0u, 1u, 3u}) {
            unsigned char dst[24];
            std::memset(dst, 0xEE, sizeof dst);
            copy_words(dst + misalign, src.data() + 1, n);
            for (std::size_t i = 0; i < sizeof dst; ++i) {
                const bool inside = i >= misalign && i < misalign + n;
                const unsigned char want =
                    inside ? static_cast<unsigned char>(src[1 + i - misalign]) : 0xEE;
                EXPECT_EQ(dst[i], want) << "n " << n << " offset " << misalign << " byte " << i;
            }
        }
    }
}

TEST(FileUtils, OneLineReadsAndWrites) {
    TempDir dir;
    const std::string path = dir.file("line");
    char out[kFirstLineRoom];

    const struct {
        std::string content;
        int ok;
        std::string line;
    } cases[] = {
        {"first\nsecond\n", 1, "first\n"},
        {"no newline", 1, "no newline"},
        {std::string(200, 'a') + "\n", 1, std::string(127, 'a')},
        {"\nafter blank", 1, "\n"},
        {"", 0, ""},
    };
    for (const auto& c : cases) {
        write_file(path, c.content);
        std::strcpy(out, "untouched");
        EXPECT_EQ(read_first_line(path.c_str(), out), c.ok) << c.content;
        EXPECT_STREQ(out, c.ok ? c.line.c_str() : "untouched");
    }
    EXPECT_EQ(read_first_line(dir.file("missing").c_str(), out), 0);

    write_file(path, "a much longer previous content\n");
    write_text_line(path.c_str(), "eth0 up");
    EXPECT_EQ(read_file(path), "eth0 up\n");
    write_int_line(path.c_str(), -42);
    EXPECT_EQ(read_file(path), "-42\n");
    write_int_line(path.c_str(), 2147483647);
    EXPECT_EQ(read_file(path), "2147483647\n");

    const std::string nowhere = dir.file("no/such/dir");
    write_text_line(nowhere.c_str(), "x");
    write_int_line(nowhere.c_str(), 1);
    EXPECT_EQ(access(nowhere.c_str(), F_OK), -1);
}

TEST(FileUtils, ShellHelpers) {
    TempDir dir;
    const std::string path = dir.file("out");

    EXPECT_EQ(write_by_shell(path.c_str(), "hello  world"), 0);
    EXPECT_EQ(read_file(path), "hello world\n");  // echo through the shell: words re-joined
    EXPECT_NE(write_by_shell(dir.file("no/dir").c_str(), "x"), 0);
    const std::string long_text(kShellCommandRoom, 'z');
    const std::string skipped = dir.file("skipped");
    EXPECT_EQ(write_by_shell(skipped.c_str(), long_text.c_str()), -1);
    EXPECT_EQ(access(skipped.c_str(), F_OK), -1) << "a command cut to fit was run";

    const std::string text = dir.file("text");
    write_file(text, "alpha\nbeta gamma\n");
    const struct {
        std::string path;
        const char* pattern;
        int found;
    } cases[] = {
        {text, "beta", 1},
        {text, "gamma", 1},
        {text, "delta", 0},
        {text, ".eta", 0},  // grep's regular expression matches, the text itself is absent
        {dir.file("missing"), "alpha", 0},
    };
    for (const auto& c : cases)
        EXPECT_EQ(file_has_text(c.path.c_str(), c.pattern), c.found) << c.pattern;
}

TEST(FileUtils, HasPciDeviceAsksLspci) {
    // A stand-in lspci first in PATH lists two devices.
    TempDir dir;
    write_file(dir.file("lspci"),
               "#!/bin/sh\n"
               "echo '00:00.0 Host bridge: Acme Corp Frobnicator'\n"
               "echo '00:1f.2 SATA controller: Acme Corp AHCI'\n");
    ASSERT_EQ(chmod(dir.file("lspci").c_str(), 0755), 0);
    const std::string path = dir.path() + ":" + (std::getenv("PATH") ? std::getenv("PATH") : "");
    ASSERT_EQ(setenv("PATH", path.c_str(), 1), 0);

    EXPECT_EQ(has_pci_device("SATA"), 1);
    EXPECT_EQ(has_pci_device("Frobnicator"), 1);
    EXPECT_EQ(has_pci_device("USB"), 0);
}

TEST(FileUtils, PrintFileToLog) {
    TempDir dir;
    const std::string path = dir.file("conf");
    const std::string long_line(5000, 'L');
    write_file(path, "one\ntwo 50%\n" + long_line + "\nlast");
    testing::internal::CaptureStdout();
    print_file_to_log(path.c_str());
    print_file_to_log(dir.file("missing").c_str());
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "one\ntwo 50%\n" + long_line + "\nlast");
}

}  // namespace

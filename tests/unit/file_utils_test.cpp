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
#include <tuple>

#include "support/private_system.h"
#include "support/stdout_capture.h"
#include "support/temp_dir.h"

namespace {

std::string pattern_bytes(std::size_t n) {
    std::string s(n, '\0');
    for (std::size_t i = 0; i < n; ++i) s[i] = static_cast<char>((i * 7 + i / 251) % 256);
    return s;
}

TEST(FileUtils, WriteLockIsExclusiveBetweenProcesses) {
    TempDir dir;
    const std::string path = dir.file("locked");
    write_file(path, "data");
    auto child_locks = [&] {  // lock_file in another process, on its own descriptor
        const pid_t pid = fork();
        if (pid == 0) _exit(lock_file(open(path.c_str(), O_RDWR)));
        int status = 0;
        return waitpid(pid, &status, 0) == pid && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    };
    const int fd = open(path.c_str(), O_RDWR), again = open(path.c_str(), O_RDWR);
    ASSERT_EQ(lock_file(fd), 1);
    EXPECT_EQ(child_locks(), 0) << "a second process got the lock that is held";
    EXPECT_EQ(lock_file(again), 1) << "an fcntl lock never conflicts within its process";
    EXPECT_EQ(unlock_file(fd), 0);
    EXPECT_EQ(child_locks(), 1) << "the lock was not released";
    const int read_only = open(path.c_str(), O_RDONLY);
    EXPECT_EQ(lock_file(read_only), 0) << "a write lock needs a descriptor open for writing";
    EXPECT_EQ(unlock_file(-1), -1);
    close(read_only);
    close(again);
    close(fd);
}

TEST(FileUtils, DropFileHeadAtItsBoundaries) {
    // clang-format off
    const std::tuple<std::size_t, std::uint64_t, unsigned long> cases[] = {  // size, n, chunk
        {10000, 1, 1}, {10000, 4095, 4095}, {10000, 4096, 4096}, {10000, 4097, 4096},
        {10000, 9999, 4096}, {10000, 10000, 4096}, {10000, 10001, 4096}, {0, 3, 3}};
    // clang-format on
    TempDir dir;
    const std::string path = dir.file("log"), missing = dir.file("missing"),
                      fifo = dir.file("fifo");
    for (const auto& [size, n, chunk] : cases) {
        SCOPED_TRACE(std::to_string(size) + " " + std::to_string(n));
        const std::string original = pattern_bytes(size);
        write_file(path, original);
        int result = -1;
        const std::string log = stdout_of([&] { result = drop_file_head(path.c_str(), n); });
        const std::size_t kept = n >= size ? 0 : size - static_cast<std::size_t>(n);
        EXPECT_EQ(result, 1);
        EXPECT_EQ(read_file(path), original.substr(size - kept));
        EXPECT_EQ(log, "debug: buffer_size=" + std::to_string(chunk) + "\ntruncate " +
                           std::to_string(size) + " -> " + std::to_string(kept) + " bytes\n");
    }
    write_file(path, "0123456789");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const std::tuple<std::string, std::uint64_t, std::string> refusals[] = {
        {path, 0, "invalid reduce size !\n"},
        {missing, 4, "debug: buffer_size=4\ncan not open file ! (filename=\"" + missing + "\")\n"},
        {fifo, 4, "debug: buffer_size=4\nseek not supported\n"}};
    for (const auto& [file, n, want] : refusals)
        EXPECT_EQ(stdout_of([&] { EXPECT_EQ(drop_file_head(file.c_str(), n), 0) << file; }), want);
    EXPECT_EQ(read_file(path), "0123456789");
}

TEST(FileUtils, HexdumpLinesOf16BytesAndCopyWords) {
    std::uint8_t bytes[17];
    for (std::uint8_t i = 0; i < sizeof bytes; ++i) bytes[i] = static_cast<std::uint8_t>(i * 0x11);
    const std::string line0 = "00000000 : 00 11 22 33 44 55 66 77 88 99 aa bb cc dd ee ff \n";
    const std::pair<std::size_t, std::string> dumps[] = {
        {0, "\n"}, {16, line0}, {17, line0 + "00000010 : 10 \n"}};
    for (const auto& [len, text] : dumps)
        EXPECT_EQ(stdout_of([&] { hexdump_to_log(bytes, len); }), text) << len;

    // Exactly n bytes, from and to any alignment.
    const std::string src = pattern_bytes(16) + "tail";
    for (std::size_t n = 0; n <= 12; ++n) {
        for (std::size_t misalign : {0u, 1u, 3u}) {
            std::string dst(24, '\xEE'), want(24, '\xEE');
            copy_words(dst.data() + misalign, src.data() + 1, n);
            EXPECT_EQ(dst, want.replace(misalign, n, src.substr(1, n))) << n << " " << misalign;
        }
    }
}

TEST(FileUtils, OneLineReadsAndWrites) {
    TempDir dir;
    const std::string path = dir.file("line"), nowhere = dir.file("no/such/dir");
    char out[kFirstLineRoom];
    // clang-format off
    const std::tuple<std::string, int, std::string> cases[] = {
        {"first\nsecond\n", 1, "first\n"}, {"no newline", 1, "no newline"}, {"\nafter", 1, "\n"},
        {std::string(200, 'a') + "\n", 1, std::string(127, 'a')}, {"", 0, "untouched"}};
    // clang-format on
    for (const auto& [content, ok, line] : cases) {
        write_file(path, content);
        std::strcpy(out, "untouched");
        EXPECT_EQ(read_first_line(path.c_str(), out), ok) << content;
        EXPECT_EQ(std::string(out), line);
    }
    EXPECT_EQ(read_first_line(dir.file("missing").c_str(), out), 0);

    write_file(path, "a much longer previous content\n");
    write_text_line(path.c_str(), "eth0 up");
    EXPECT_EQ(read_file(path), "eth0 up\n");
    write_int_line(path.c_str(), -42);
    EXPECT_EQ(read_file(path), "-42\n");
    write_text_line(nowhere.c_str(), "x");
    write_int_line(nowhere.c_str(), 1);
    EXPECT_EQ(access(nowhere.c_str(), F_OK), -1);
}

TEST(FileUtils, ShellProbesAndFilePrinting) {
    TempDir dir;
    const std::string out = dir.file("out"), skipped = dir.file("skipped"), text = dir.file("text");
    EXPECT_EQ(write_by_shell(out.c_str(), "hello  world"), 0);
    EXPECT_EQ(read_file(out), "hello world\n");  // echo through the shell: words re-joined
    EXPECT_NE(write_by_shell(dir.file("no/dir").c_str(), "x"), 0);
    EXPECT_EQ(write_by_shell(skipped.c_str(), std::string(kShellCommandRoom, 'z').c_str()), -1);
    EXPECT_EQ(access(skipped.c_str(), F_OK), -1) << "a command cut to fit was run";

    // grep's regular expression ".eta" matches, but the text itself is absent.
    write_file(text, "alpha\nbeta gamma\n");
    const std::tuple<std::string, const char*, int> cases[] = {
        {text, "beta", 1}, {text, "delta", 0}, {text, ".eta", 0}, {dir.file("none"), "alpha", 0}};
    for (const auto& [file, pattern, found] : cases)
        EXPECT_EQ(file_has_text(file.c_str(), pattern), found) << pattern;

    // A stand-in lspci first in PATH lists two devices.
    write_file(dir.file("lspci"),
               "#!/bin/sh\necho '00:00.0 Host bridge: Acme Frobnicator'\n"
               "echo '00:1f.2 SATA controller: Acme AHCI'\n");
    ASSERT_EQ(chmod(dir.file("lspci").c_str(), 0755), 0);
    const char* old_path = std::getenv("PATH");
    ASSERT_EQ(setenv("PATH", (dir.path() + ":" + (old_path ? old_path : "")).c_str(), 1), 0);
    EXPECT_EQ(has_pci_device("SATA"), 1);
    EXPECT_EQ(has_pci_device("USB"), 0);

    const std::string conf = "one\ntwo 50%\n" + std::string(5000, 'L') + "\nlast";
    write_file(dir.file("conf"), conf);
    EXPECT_EQ(stdout_of([&] {
                  print_file_to_log(dir.file("conf").c_str());
                  print_file_to_log(dir.file("missing").c_str());
              }),
              conf);
}

}  // namespace

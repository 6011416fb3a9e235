// The debug writer: screen or file, the time prefix at line start, rotation into ".bak".
#include "core/debug_log.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <regex>
#include <string>

#include "support/temp_dir.h"

namespace {

const std::regex kStamped(R"(^\[(Mon|Tue|Wed|Thu|Fri|Sat|Sun) [A-Z][a-z]{2} [ 0-9]\d \d\d:\d\d:\d\d \d{4}\] )");

TEST(DebugLog, FileModeStampsEachLineStartOnly) {
    TempDir dir;
    const std::string log = dir.file("log");
    dbg_to_file();
    dbg_set_logfile(log.c_str());
    EXPECT_EQ(std::string(dbg_backup_name()), log + ".bak");

    dbg_printf("[DBG] %s:%d ", "main", 1312);
    errno = ECONNREFUSED;
    dbg_perror("recv");
    dbg_printf("second %d%%\n\r", 100);
    dbg_printf("%s", "");  // an empty format leaves the line state alone
    dbg_printf("third: %s\n", "50% off");

    const std::string text = read_file(log);
    const std::string want_first = std::string("[DBG] main:1312 recv ::: ") + std::strerror(ECONNREFUSED) + "\n";
    std::smatch m;
    ASSERT_TRUE(std::regex_search(text, m, kStamped)) << text;
    const std::string rest = m.suffix();
    ASSERT_EQ(rest.substr(0, want_first.size()), want_first);
    const std::string after_first = rest.substr(want_first.size());
    ASSERT_TRUE(std::regex_search(after_first, m, kStamped)) << after_first;
    EXPECT_EQ(m.suffix().str().substr(0, 13), "second 100%\n\r");
    const std::string after_second = m.suffix().str().substr(13);
    ASSERT_TRUE(std::regex_search(after_second, m, kStamped)) << after_second;
    EXPECT_EQ(m.suffix().str(), "third: 50% off\n");
}

TEST(DebugLog, RotatesOnlyBeyond8192Bytes) {
    TempDir dir;
    const std::string log = dir.file("log");
    dbg_to_file();
    dbg_set_logfile(log.c_str());

    const std::string exact(8191, 'x');
    write_file(log, exact + "\n");  // exactly 8192 bytes: appended to
    dbg_printf("a\n");
    EXPECT_EQ(get_file_size(dbg_backup_name()), -1);
    const std::int32_t grown = get_file_size(log.c_str());
    EXPECT_GT(grown, 8192);

    dbg_printf("b\n");  // beyond 8192: the log goes to the backup, the message starts afresh
    EXPECT_EQ(get_file_size(dbg_backup_name()), grown);
    EXPECT_EQ(read_file(dbg_backup_name()).substr(0, 8192), exact + "\n");
    const std::string fresh = read_file(log);
    EXPECT_TRUE(std::regex_search(fresh, kStamped));
    EXPECT_EQ(fresh.back(), '\n');
    EXPECT_EQ(fresh.substr(fresh.size() - 2), "b\n");
    EXPECT_LT(fresh.size(), 40u);
}

TEST(DebugLog, LongMessagesAreCutAt4094) {
    TempDir dir;
    const std::string log = dir.file("log");
    dbg_to_file();
    dbg_set_logfile(log.c_str());
    const std::string huge(6000, 'y');
    dbg_printf("%s", huge.c_str());
    std::string text = read_file(log);
    std::smatch m;
    ASSERT_TRUE(std::regex_search(text, m, kStamped));
    EXPECT_EQ(m.suffix().str(), std::string(4094, 'y'));
}

TEST(DebugLog, ScreenModeWritesStdoutAndNoFile) {
    TempDir dir;
    const std::string log = dir.file("log");
    dbg_to_screen();
    dbg_set_logfile(log.c_str());
    testing::internal::CaptureStdout();
    dbg_printf("hello %s\n", "screen");
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "hello screen\n");
    EXPECT_EQ(get_file_size(log.c_str()), -1);
}

TEST(DebugLog, TrimLineEndAndFileSize) {
    char a[] = "abc \r\n";
    trim_line_end(a);
    EXPECT_STREQ(a, "abc");
    char b[] = "";
    trim_line_end(b);
    EXPECT_STREQ(b, "");
    char c[] = " \n\r ";
    trim_line_end(c);
    EXPECT_STREQ(c, "");
    char d[] = "a b\tc\n";
    trim_line_end(d);
    EXPECT_STREQ(d, "a b\tc");

    TempDir dir;
    EXPECT_EQ(get_file_size(dir.file("missing").c_str()), -1);
    write_file(dir.file("five"), "12345");
    EXPECT_EQ(get_file_size(dir.file("five").c_str()), 5);
}

}  // namespace

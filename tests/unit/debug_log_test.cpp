// The debug writer in file mode: the time prefix at line starts only, the 4094-byte cut,
// rotation into ".bak" only beyond 8192 bytes, and trim_line_end.
#include "core/debug_log.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <regex>
#include <string>

#include "support/temp_dir.h"

namespace {

const std::string kStamp =
    R"(\[(Mon|Tue|Wed|Thu|Fri|Sat|Sun) [A-Z][a-z]{2} [ 0-9]\d \d\d:\d\d:\d\d \d{4}\] )";

bool matches(const std::string& text, const std::string& regex) {
    return std::regex_match(text, std::regex(regex));
}

TEST(DebugLog, StampsLineStartsOnlyCutsAt4094AndRotatesOnlyBeyond8192Bytes) {
    TempDir dir;
    const std::string path = dir.file("log");
    dbg_to_file();
    dbg_set_logfile(path.c_str());
    EXPECT_EQ(std::string(dbg_backup_name()), path + ".bak");
    dbg_printf("[DBG] %s:%d ", "main", 1312);
    errno = ECONNREFUSED;
    dbg_perror("recv");
    dbg_printf("second %d%%\n\r", 100);
    dbg_printf("%s", "");  // a line start is stamped even when nothing follows
    dbg_printf("third: %s\n", "50% off");
    dbg_printf("%s", std::string(6000, 'y').c_str());
    const std::string text = read_file(path);
    ASSERT_GT(text.size(), 4094u);
    const std::string head = text.substr(0, text.size() - 4094);
    EXPECT_EQ(text.substr(head.size()), std::string(4094, 'y'));
    EXPECT_TRUE(matches(head, kStamp + R"(\[DBG\] main:1312 recv ::: )" +
                                  std::strerror(ECONNREFUSED) + "\n" + kStamp + "second 100%\n\r" +
                                  kStamp + "third: 50% off\n" + kStamp))
        << head;

    dbg_printf("\n");  // the next message starts a line
    const std::string full = std::string(8191, 'x') + "\n";
    write_file(path, full);  // exactly 8192 bytes: appended to
    dbg_printf("a\n");
    EXPECT_EQ(get_file_size(dbg_backup_name()), -1);
    const std::string grown = read_file(path);
    EXPECT_TRUE(grown.substr(0, 8192) == full && matches(grown.substr(8192), kStamp + "a\n"))
        << grown.substr(8192);
    dbg_printf("b\n");  // beyond 8192: the log goes to the backup, the message starts afresh
    EXPECT_EQ(read_file(dbg_backup_name()), grown);
    EXPECT_TRUE(matches(read_file(path), kStamp + "b\n")) << read_file(path);
}

TEST(DebugLog, TrimLineEnd) {
    const std::pair<std::string, std::string> cases[] = {
        {"abc \r\n", "abc"}, {"", ""}, {" \n\r ", ""}, {"a b\tc\n", "a b\tc"}};
    for (auto [in, out] : cases) {
        trim_line_end(in.data());
        EXPECT_EQ(std::string(in.c_str()), out);
    }
}

}  // namespace

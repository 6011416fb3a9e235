// Finding and terminating processes by name, and the process toolkit's companions, with real
// processes; each test is process 1 of its own PID namespace with its own /proc and /tmp.
// Where pidof's exact line matters, a `pidof` first on PATH prints a line the test chose.
#include "input/process_control.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "core/debug_log.h"
#include "support/isolation.h"
#include "support/named_process.h"
#include "support/temp_dir.h"

namespace {

const std::string kBin = "/tmp/bin";

struct ProcessControl : testing::Test {
    void SetUp() override {
        ASSERT_TRUE(enter_private_pids());
        ASSERT_EQ(mkdir(kBin.c_str(), 0755), 0);
        dbg_to_screen();
    }
    // From now on `pidof` prints `killall_line` when its output goes to "/tmp/.killall",
    // else `pidof_line`; each call adds its arguments to /tmp/fake/calls (emptied here).
    static void fake_pidof(const std::string& pidof_line, const std::string& killall_line) {
        mkdir("/tmp/fake", 0755);
        write_file("/tmp/fake/pidof_line", pidof_line);
        write_file("/tmp/fake/killall_line", killall_line);
        write_file("/tmp/fake/calls", "");
        write_file("/tmp/fake/pidof", R"sh(#!/bin/sh
echo "$*" >> /tmp/fake/calls
case "$(readlink /proc/$$/fd/1)" in
  */.killall) cat /tmp/fake/killall_line ;;
  *) cat /tmp/fake/pidof_line ;;
esac
)sh");
        ASSERT_EQ(chmod("/tmp/fake/pidof", 0755), 0);
        ASSERT_EQ(setenv("PATH", ("/tmp/fake:" + std::string(std::getenv("PATH"))).c_str(), 1), 0);
    }
    // kill_all_by_name and what it logged.
    static std::pair<std::int32_t, std::string> kill_all(const char* name) {
        testing::internal::CaptureStdout();
        const std::int32_t last = kill_all_by_name(name);
        return {last, testing::internal::GetCapturedStdout()};
    }
};

TEST_F(ProcessControl, RealPidofFindsAndKillsEveryProcessOfTheNameOnly) {
    // No such process: nothing found or logged, and the second pidof never runs.
    EXPECT_EQ(find_pid_by_name("noSuchTask"), 0);
    EXPECT_EQ(read_file("/tmp/.pidof"), "");  // pidof ran and printed nothing
    EXPECT_EQ(kill_all("noSuchTask"), std::pair(0, std::string()));
    EXPECT_NE(access("/tmp/.killall", F_OK), 0);

    const pid_t a = start_named_process(kBin, "pcTask"), b = start_named_process(kBin, "pcTask");
    const pid_t longer = start_named_process(kBin, "pcTaskM");
    const pid_t shorter = start_named_process(kBin, "pcTas");
    ASSERT_TRUE(a > 0 && b > 0 && longer > 0 && shorter > 0);
    const std::int32_t first = find_pid_by_name("pcTask");
    ASSERT_TRUE(first == a || first == b) << first;
    const std::int32_t other = first == a ? b : a;
    // pidof prints the same line twice: the first id was found, the last one returned.
    EXPECT_EQ(kill_all("pcTask"), std::pair(other, "pcTask task [" + std::to_string(first) + " " +
                                                       std::to_string(other) + "] killed\n"));
    EXPECT_TRUE(killed_by_sigkill(wait_for_exit(a)));
    EXPECT_TRUE(killed_by_sigkill(wait_for_exit(b)));
    // Names are matched whole.
    EXPECT_EQ(std::pair(wait_for_exit(longer, 0), wait_for_exit(shorter, 0)), std::pair(-1, -1));
    EXPECT_EQ(find_pid_by_name("pcTaskM"), longer);
}

TEST_F(ProcessControl, PidofLinesFoundAndKilled) {
    // The first positive number of the line; the scan moves one character at a time.
    const std::pair<const char*, std::int32_t> found[] = {
        {"812 640\n", 812}, {"640\n", 640}, {"", 0},        {"\n", 0},     {"     \n", 0},
        {"0 0 9\n", 9},     {"x 77\n", 77}, {" -5 7\n", 5}, {"  31\n", 31}};
    for (const auto& [line, want] : found) {
        fake_pidof(line, "");
        EXPECT_EQ(find_pid_by_name("anyName"), want) << line;
    }
    // A name too long for the 128-byte command line runs nothing.
    fake_pidof("42\n", "");
    EXPECT_EQ(find_pid_by_name(std::string(107, 'n').c_str()), 42);
    EXPECT_EQ(find_pid_by_name(std::string(108, 'n').c_str()), 0);
    EXPECT_EQ(read_file("/tmp/fake/calls"), std::string(107, 'n') + "\n");

    const pid_t a = start_named_process(kBin, "one"), b = start_named_process(kBin, "two");
    const pid_t c = start_named_process(kBin, "three");
    ASSERT_TRUE(a > 0 && b > 0 && c > 0);
    const std::string A = std::to_string(a), B = std::to_string(b), C = std::to_string(c);
    // pidof's two lines, the result, the log, pidof calls, who is killed. A line of spaces or
    // nothing kills nothing; nothing found in five tries runs no second pidof; a last id 0
    // logs nothing.
    const std::tuple<std::string, std::string, std::int32_t, std::string, int, std::vector<pid_t>>
        rows[] = {{A + "\n", "    \n", 0, "", 2, {}},
                  {A + "\n", "", 0, "", 2, {}},
                  {"\n", "1\n", 0, "", 5, {}},
                  {B + "\n",
                   B + " " + A + " \r\n",
                   a,
                   "rtspServer task [" + B + " " + A + "] killed\n",
                   2,
                   {a, b}},
                  {C + "\n", C + " 0\n", 0, "", 2, {c}}};
    std::set<pid_t> alive{a, b, c};
    for (const auto& [pidof_line, killall_line, last, log, calls, killed] : rows) {
        SCOPED_TRACE(killall_line);
        fake_pidof(pidof_line, killall_line);
        EXPECT_EQ(kill_all("rtspServer"), std::pair(last, log));
        std::string want_calls;
        for (int i = 0; i < calls; ++i) want_calls += "rtspServer\n";
        EXPECT_EQ(read_file("/tmp/fake/calls"), want_calls);
        for (const pid_t pid : killed) {
            EXPECT_TRUE(killed_by_sigkill(wait_for_exit(pid))) << pid;
            alive.erase(pid);
        }
        for (const pid_t pid : alive) EXPECT_EQ(wait_for_exit(pid, 50), -1) << pid;
    }
}

// Runs cmd with `input` on its standard input and its standard output on a pipe (with
// stdin_only, on this process's own, captured); what came through the pipe, what came out
// here, and the exit status.
std::tuple<std::string, std::string, int> run_and_collect(const std::string& cmd,
                                                          const std::string& input,
                                                          int stdin_only) {
    int in[2], out[2];
    if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0) return {"pipe failed", "", -1};
    const int fds[2] = {in[0], out[1]};
    testing::internal::CaptureStdout();
    const std::int32_t pid = run_command_argv(cmd.c_str(), fds, stdin_only);
    close(in[0]);
    close(out[1]);
    if (!input.empty() && write(in[1], input.data(), input.size()) < 0) std::perror("write");
    close(in[1]);
    std::string piped;
    char buf[512];
    for (ssize_t n; piped.size() < 100000 && (n = read(out[0], buf, sizeof buf)) > 0;)
        piped.append(buf, static_cast<std::size_t>(n));
    close(out[0]);
    const int status = wait_for_exit(pid);
    return {piped, testing::internal::GetCapturedStdout(),
            WIFEXITED(status) ? WEXITSTATUS(status) : -1};
}

TEST_F(ProcessControl, CommandsRunSplitAtEverySpaceOrThroughTheShell) {
    std::string words49 = "/usr/bin/printf %s|", printed49;
    for (int i = 3; i <= 49; ++i) {
        words49 += " w";
        printed49 += "w|";
    }
    // Command, input, stdin_only; through the pipe, here, status. Two spaces give an empty
    // word; a trailing space adds none; there is no search of PATH.
    const std::tuple<std::string, std::string, int, std::string, std::string, int> rows[] = {
        {"/usr/bin/printf %s| a b", "", 0, "a|b|", "", 0},
        {"/usr/bin/printf %s| a  b", "", 0, "a||b|", "", 0},
        {"/usr/bin/printf %s| a ", "", 0, "a|", "", 0},
        {"/usr/bin/printf %s|", "", 0, "|", "", 0},
        {words49, "", 0, printed49, "", 0},
        {words49 + " w", "", 0, "", "", 1},
        {"printf %s| a", "", 0, "", "", 1},
        {"/no/such/program", "", 0, "", "", 1},
        {"/usr/bin/tee /tmp/copy", "xyz", 0, "xyz", "", 0},
        {"/usr/bin/tee /tmp/copy", "abc", 1, "", "abc", 0}};
    for (const auto& [cmd, input, stdin_only, piped, own, status] : rows)
        EXPECT_EQ(run_and_collect(cmd, input, stdin_only), std::tuple(piped, own, status)) << cmd;
    EXPECT_EQ(read_file("/tmp/copy"), "abc");
    EXPECT_EQ(run_command_argv(nullptr, nullptr, 0), 1);

    const int status = wait_for_exit(run_shell_command("echo $((6 * 7)) > /tmp/answer; exit 3"));
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 3);
    EXPECT_EQ(read_file("/tmp/answer"), "42\n");
    EXPECT_EQ(run_shell_command(nullptr), 1);
}

TEST_F(ProcessControl, PsSearchSkipsGrepAndEditorLinesAndChildrenAreReaped) {
    const pid_t decoy1 = start_named_process(kBin, "gvim_psTarget");
    const pid_t decoy2 = start_named_process(kBin, "ps_test_psTarg");
    const pid_t target = start_named_process(kBin, "psTarget");
    ASSERT_TRUE(decoy1 > 0 && decoy2 > 0 && target > 0);
    ASSERT_LT(decoy2, target);  // listed first by ps, so skipping them matters
    EXPECT_EQ(find_pid_by_ps("psTarg"), target);
    EXPECT_EQ(find_pid_by_ps("noSuchTask"), 0);  // only grep's own line would match

    int gate[2];
    ASSERT_EQ(pipe2(gate, O_CLOEXEC), 0);
    const std::int32_t pid = run_command_argv("/bin/cat", gate, 1);
    ASSERT_GT(pid, 1);
    close(gate[0]);
    EXPECT_EQ(check_child_running(pid), 1);
    close(gate[1]);  // end of input: cat exits
    siginfo_t info{};
    ASSERT_EQ(waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOWAIT), 0);  // not reaped
    EXPECT_EQ(check_child_running(pid), 0);  // reaps it and finds no child left
    EXPECT_TRUE(waitpid(pid, nullptr, WNOHANG) == -1 && errno == ECHILD);
    EXPECT_EQ(check_child_running(getpid()), 0);  // not a child
}

}  // namespace

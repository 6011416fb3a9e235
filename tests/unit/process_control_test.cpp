// Finding and terminating processes by name, and the process toolkit's companions, with
// real processes. Every test runs as process 1 of its own PID namespace with its own /proc
// and /tmp: pidof and ps see only what the test started, and "/tmp/.pidof" is its own.
// Where the exact text of pidof's line matters, a stand-in `pidof` placed first on PATH
// prints a line the test chose (through the same shell the service uses).
#include "input/process_control.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>
#include <vector>

#include "core/debug_log.h"
#include "support/isolation.h"
#include "support/named_process.h"
#include "support/temp_dir.h"

namespace {

const std::string kBin = "/tmp/bin";
const std::string kFake = "/tmp/fake";

struct ProcessControl : testing::Test {
    void SetUp() override {
        ASSERT_TRUE(enter_private_pids());
        ASSERT_EQ(mkdir(kBin.c_str(), 0755), 0);
        dbg_to_screen();
    }

    // From now on `pidof` prints the content of <fake>/killall_line when its output goes
    // to "/tmp/.killall", else that of <fake>/pidof_line; every call is counted.
    void fake_pidof(const std::string& pidof_line, const std::string& killall_line) {
        mkdir(kFake.c_str(), 0755);
        write_file(kFake + "/pidof_line", pidof_line);
        write_file(kFake + "/killall_line", killall_line);
        const std::string script = kFake + "/pidof";
        write_file(script,
                   "#!/bin/sh\n"
                   "echo \"$*\" >> " +
                       kFake +
                       "/calls\n"
                       "case \"$(readlink /proc/$$/fd/1)\" in\n"
                       "  */.killall) cat " +
                       kFake +
                       "/killall_line ;;\n"
                       "  *) cat " +
                       kFake +
                       "/pidof_line ;;\n"
                       "esac\n");
        ASSERT_EQ(chmod(script.c_str(), 0755), 0);
        const std::string path = kFake + ":" + std::getenv("PATH");
        ASSERT_EQ(setenv("PATH", path.c_str(), 1), 0);
    }
    static int fake_calls() {
        const std::string calls = read_file(kFake + "/calls");
        int n = 0;
        for (char c : calls) n += c == '\n';
        return n;
    }
};

TEST_F(ProcessControl, RealPidofFindsAndKillsEveryProcessOfTheNameOnly) {
    const pid_t a = start_named_process(kBin, "pcTask");
    const pid_t b = start_named_process(kBin, "pcTask");
    const pid_t longer = start_named_process(kBin, "pcTaskM");
    const pid_t shorter = start_named_process(kBin, "pcTas");
    ASSERT_GT(a, 0);
    ASSERT_GT(b, 0);
    ASSERT_GT(longer, 0);
    ASSERT_GT(shorter, 0);

    const std::int32_t first = find_pid_by_name("pcTask");
    ASSERT_TRUE(first == a || first == b) << first;
    const std::int32_t other = first == a ? b : a;

    testing::internal::CaptureStdout();
    const std::int32_t last = kill_all_by_name("pcTask");
    const std::string log = testing::internal::GetCapturedStdout();
    // pidof prints the same line twice: the first id was found, the last one returned.
    EXPECT_EQ(last, other);
    EXPECT_EQ(log,
              "pcTask task [" + std::to_string(first) + " " + std::to_string(other) + "] killed\n");
    EXPECT_TRUE(killed_by_sigkill(wait_for_exit(a)));
    EXPECT_TRUE(killed_by_sigkill(wait_for_exit(b)));
    // Names are matched whole.
    EXPECT_EQ(wait_for_exit(longer, 0), -1);
    EXPECT_EQ(wait_for_exit(shorter, 0), -1);
    EXPECT_EQ(find_pid_by_name("pcTaskM"), longer);
    EXPECT_EQ(read_file("/tmp/.killall").substr(0, std::to_string(first).size()),
              std::to_string(first));
}

TEST_F(ProcessControl, NameWithoutProcessFindsNothingAndLogsNothing) {
    EXPECT_EQ(find_pid_by_name("noSuchTask"), 0);
    EXPECT_EQ(read_file("/tmp/.pidof"), "");  // pidof ran and printed nothing
    testing::internal::CaptureStdout();
    EXPECT_EQ(kill_all_by_name("noSuchTask"), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    // The second pidof runs only after a process was found.
    EXPECT_NE(access("/tmp/.killall", F_OK), 0);
}

TEST_F(ProcessControl, FirstPositiveNumberOfPidofLineIsTheResult) {
    struct Row {
        const char* line;
        std::int32_t want;
    } rows[] = {
        {"812 640\n", 812}, {"640\n", 640}, {"", 0},        {"\n", 0}, {"     \n", 0},
        {"0 0 9\n", 9},     {"x 77\n", 77}, {" -5 7\n", 5},  // the scan moves on one character at a
                                                             // time
        {"  31\n", 31},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.line);
        fake_pidof(r.line, "");
        EXPECT_EQ(find_pid_by_name("anyName"), r.want);
    }
}

TEST_F(ProcessControl, KillAllSignalsEachIdOfTheLineAndReturnsTheLast) {
    const pid_t a = start_named_process(kBin, "one");
    const pid_t b = start_named_process(kBin, "two");
    ASSERT_GT(a, 0);
    ASSERT_GT(b, 0);
    const std::string ids = std::to_string(b) + " " + std::to_string(a);
    fake_pidof(std::to_string(b) + "\n", ids + " \r\n");
    testing::internal::CaptureStdout();
    EXPECT_EQ(kill_all_by_name("rtspServer"), a);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "rtspServer task [" + ids + "] killed\n");
    EXPECT_TRUE(killed_by_sigkill(wait_for_exit(a)));
    EXPECT_TRUE(killed_by_sigkill(wait_for_exit(b)));
    EXPECT_EQ(read_file(kFake + "/calls"), "rtspServer\nrtspServer\n");
}

TEST_F(ProcessControl, KillAllWithoutAUsableLastIdLogsNothing) {
    const pid_t a = start_named_process(kBin, "keep");
    ASSERT_GT(a, 0);
    const std::string id = std::to_string(a);
    struct Row {
        const char* what;
        std::string killall_line;
        bool killed;
    } rows[] = {
        {"a line of spaces", "    \n", false},
        {"an empty file", "", false},
        {"last id 0", id + " 0\n", true},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.what);
        fake_pidof(id + "\n", r.killall_line);
        testing::internal::CaptureStdout();
        EXPECT_EQ(kill_all_by_name("keep"), 0);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
        EXPECT_EQ(killed_by_sigkill(wait_for_exit(a, r.killed ? 5000 : 0)), r.killed);
    }
}

TEST_F(ProcessControl, KillAllTriesFiveTimesThenGivesUp) {
    fake_pidof("\n", "1\n");
    EXPECT_EQ(kill_all_by_name("gone"), 0);
    EXPECT_EQ(fake_calls(), 5);
    EXPECT_NE(access("/tmp/.killall", F_OK), 0);
}

TEST_F(ProcessControl, NamesTooLongForTheCommandLineRunNothing) {
    fake_pidof("42\n", "");
    EXPECT_EQ(find_pid_by_name(std::string(107, 'n').c_str()), 42);
    EXPECT_EQ(fake_calls(), 1);
    EXPECT_EQ(find_pid_by_name(std::string(108, 'n').c_str()), 0);
    EXPECT_EQ(fake_calls(), 1);
}

// Runs cmd with stdout into a pipe; returns what it printed and its exit status.
std::pair<std::string, int> run_and_collect(const char* cmd) {
    int in[2], out[2];
    if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0) return {"pipe failed", -1};
    const int fds[2] = {in[0], out[1]};
    const std::int32_t pid = run_command_argv(cmd, fds, 0);
    close(in[0]);
    close(in[1]);
    close(out[1]);
    std::string text;
    char buf[512];
    for (int i = 0; i < 100; ++i) {
        const ssize_t n = read(out[0], buf, sizeof buf);
        if (n <= 0) break;
        text.append(buf, static_cast<std::size_t>(n));
    }
    close(out[0]);
    const int status = wait_for_exit(pid);
    return {text, WIFEXITED(status) ? WEXITSTATUS(status) : -1};
}

TEST_F(ProcessControl, CommandLineIsSplitAtEverySingleSpace) {
    std::string words49 = "/usr/bin/printf %s|";
    for (int i = 3; i <= 49; ++i) words49 += " w";
    const std::string words50 = words49 + " w";
    std::string printed49;
    for (int i = 3; i <= 49; ++i) printed49 += "w|";
    struct Row {
        std::string cmd;
        std::string out;
        int status;
    } rows[] = {
        {"/usr/bin/printf %s| a b", "a|b|", 0},
        {"/usr/bin/printf %s| a  b", "a||b|", 0},  // two spaces: an empty word between
        {"/usr/bin/printf %s| a ", "a|", 0},       // a trailing space adds no word
        {"/usr/bin/printf %s|", "|", 0},
        {words49, printed49, 0},
        {words50, "", 1},
        {"printf %s| a", "", 1},  // no search of PATH
        {"/no/such/program", "", 1},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.cmd);
        const auto [out, status] = run_and_collect(r.cmd.c_str());
        EXPECT_EQ(out, r.out);
        EXPECT_EQ(status, r.status);
    }
    EXPECT_EQ(run_command_argv(nullptr, nullptr, 0), 1);
}

TEST_F(ProcessControl, CommandStandardInputAndOutputRedirection) {
    int in[2], out[2];
    ASSERT_EQ(pipe2(in, O_CLOEXEC), 0);
    ASSERT_EQ(pipe2(out, O_CLOEXEC), 0);
    const int fds[2] = {in[0], out[1]};
    // Descriptors are close-on-exec so that the child holds no extra end of a pipe.
    // stdin_only: the child reads the pipe but writes to the test's own standard output.
    testing::internal::CaptureStdout();
    const std::int32_t pid = run_command_argv("/usr/bin/tee /tmp/copy", fds, 1);
    ASSERT_GT(pid, 1);
    close(in[0]);
    close(out[1]);
    ASSERT_EQ(write(in[1], "xyz", 3), 3);
    close(in[1]);
    const int status = wait_for_exit(pid);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "xyz");
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    char c;
    EXPECT_EQ(read(out[0], &c, 1), 0);  // nothing came through the given output
    EXPECT_EQ(read_file("/tmp/copy"), "xyz");
}

TEST_F(ProcessControl, ShellCommandRunsThroughBinSh) {
    const std::int32_t pid = run_shell_command("echo $((6 * 7)) > /tmp/answer; exit 3");
    ASSERT_GT(pid, 1);
    const int status = wait_for_exit(pid);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 3);
    EXPECT_EQ(read_file("/tmp/answer"), "42\n");
    EXPECT_EQ(run_shell_command(nullptr), 1);
}

TEST_F(ProcessControl, PsSearchSkipsGrepAndEditorLines) {
    const pid_t decoy1 = start_named_process(kBin, "gvim_psTarget");
    const pid_t decoy2 = start_named_process(kBin, "ps_test_psTarg");
    const pid_t target = start_named_process(kBin, "psTarget");
    ASSERT_GT(decoy1, 0);
    ASSERT_GT(decoy2, 0);
    ASSERT_GT(target, 0);
    ASSERT_LT(decoy2, target);  // listed first by ps, so skipping them matters
    EXPECT_EQ(find_pid_by_ps("psTarg"), target);
    EXPECT_EQ(find_pid_by_ps("noSuchTask"), 0);  // only grep's own line would match
}

TEST_F(ProcessControl, ChildRunsUntilItEndsAndIsReaped) {
    int gate[2];
    ASSERT_EQ(pipe2(gate, O_CLOEXEC), 0);
    const std::int32_t pid = run_command_argv("/bin/cat", gate, 1);
    ASSERT_GT(pid, 1);
    close(gate[0]);
    EXPECT_EQ(check_child_running(pid), 1);
    EXPECT_EQ(check_child_running(pid), 1);
    close(gate[1]);  // end of input: cat exits
    siginfo_t info{};
    ASSERT_EQ(waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOWAIT), 0);  // not reaped
    EXPECT_EQ(check_child_running(pid), 0);  // reaps it and finds no child left
    EXPECT_EQ(waitpid(pid, nullptr, WNOHANG), -1);
    EXPECT_EQ(errno, ECHILD);
    EXPECT_EQ(check_child_running(getpid()), 0);  // not a child
}

}  // namespace

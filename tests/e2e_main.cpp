// main of every end-to-end test program. Listing the tests (and gtest's help) runs here;
// running them does not: each selected test case is run by a fresh copy of this program
// inside its own appliance-sandbox (through the build's emulator), so that every case
// has its own namespaces, /tmp, /dev/mem, key 1005 and ports. The copy inside sees
// AUDIO_E2E_INSIDE_SANDBOX set and runs its one case here.
#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

namespace {

constexpr const char* kInsideVar = "AUDIO_E2E_INSIDE_SANDBOX";

bool starts_with(std::string_view s, std::string_view prefix) {
    return s.substr(0, prefix.size()) == prefix;
}

// Flags that only print or list: they run in this process, outside any sandbox.
bool runs_in_place(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        const std::string_view a = argv[i];
        if (starts_with(a, "--gtest_list_tests") || a == "--help" || a == "-h" || a == "-?" ||
            starts_with(a, "--gtest_help"))
            return true;
    }
    return false;
}

int run_here(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}

// The full names of the test cases the arguments select, from gtest's own listing made
// in a forked copy of this process (so the filter means exactly what gtest says).
bool selected_tests(int argc, char** argv, std::vector<std::string>& names) {
    int fds[2];
    if (pipe(fds) != 0) return false;
    std::fflush(nullptr);
    const pid_t pid = fork();
    if (pid < 0) return false;
    if (pid == 0) {
        dup2(fds[1], 1);
        close(fds[0]);
        close(fds[1]);
        std::vector<char*> args(argv, argv + argc);
        char list_flag[] = "--gtest_list_tests";
        args.push_back(list_flag);
        args.push_back(nullptr);
        int n = argc + 1;
        testing::InitGoogleTest(&n, args.data());
        std::fflush(stdout);
        _exit(RUN_ALL_TESTS());
    }
    close(fds[1]);
    std::string listing;
    char buf[4096];
    for (ssize_t n; (n = read(fds[0], buf, sizeof buf)) != 0;) {
        if (n < 0) {
            if (errno == EINTR) continue;
            break;
        }
        listing.append(buf, static_cast<std::size_t>(n));
    }
    close(fds[0]);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return false;

    // "Suite.\n  Case\n", with optional "  # ..." comments after either.
    std::istringstream in(listing);
    std::string suite;
    for (std::string line; std::getline(in, line);) {
        if (line.empty()) continue;
        const std::string word = line.substr(0, line.find("  #"));
        if (line[0] != ' ') {
            suite = word;
        } else {
            names.push_back(suite + word.substr(word.find_first_not_of(' ')));
        }
    }
    return true;
}

std::string self_path() {
    char path[4096];
    const ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    if (n <= 0) return {};
    path[n] = '\0';
    return path;
}

std::vector<std::string> split_words(const std::string& text) {
    std::vector<std::string> words;
    std::istringstream in(text);
    for (std::string w; in >> w;) words.push_back(w);
    return words;
}

// Runs one test case in a fresh sandbox; returns its exit status.
int run_in_sandbox(const std::string& self, const std::string& test, int argc, char** argv) {
    std::vector<std::string> cmd = {std::string(AUDIO_SIM_DIR) + "/appliance-sandbox",
                                    "--keep",
                                    AUDIO_BIN_DIR,
                                    "--keep",
                                    AUDIO_SOURCE_DIR,
                                    "--"};
    for (const std::string& w : split_words(AUDIO_EMULATOR)) cmd.push_back(w);
    cmd.push_back(self);
    for (int i = 1; i < argc; ++i)
        if (!starts_with(argv[i], "--gtest_filter")) cmd.push_back(argv[i]);
    cmd.push_back("--gtest_filter=" + test);

    std::vector<char*> cargv;
    for (std::string& c : cmd) cargv.push_back(c.data());
    cargv.push_back(nullptr);
    std::fflush(nullptr);
    const pid_t parent = getpid();
    const pid_t pid = fork();
    if (pid < 0) return 125;
    if (pid == 0) {
        // If this process is killed (a test time-out), the sandbox goes with it: unshare
        // keeps this signal across exec and hands SIGKILL on to everything inside.
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (getppid() != parent) _exit(125);
        setenv(kInsideVar, "1", 1);
        execv(cargv[0], cargv.data());
        std::fprintf(stderr, "cannot run %s: %s\n", cargv[0], std::strerror(errno));
        _exit(125);
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    return 128 + (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
}

}  // namespace

int main(int argc, char** argv) {
    if (std::getenv(kInsideVar) || runs_in_place(argc, argv)) return run_here(argc, argv);

    std::vector<std::string> tests;
    if (!selected_tests(argc, argv, tests)) {
        std::fprintf(stderr, "e2e: cannot list the test cases\n");
        return 1;
    }
    const std::string self = self_path();
    if (self.empty()) {
        std::fprintf(stderr, "e2e: cannot find this program's path\n");
        return 1;
    }
    std::vector<std::string> failed;
    for (const std::string& t : tests)
        if (run_in_sandbox(self, t, argc, argv) != 0) failed.push_back(t);
    if (tests.size() > 1) {
        std::printf("e2e: %zu test cases, each in its own sandbox; %zu failed\n", tests.size(),
                    failed.size());
        for (const std::string& t : failed) std::printf("e2e: FAILED %s\n", t.c_str());
    }
    return failed.empty() ? 0 : 1;
}

// Host name, serial line speed and password change of the utility library, each on real
// system state that only this test process sees: its own UTS namespace, a pseudo-terminal
// pair, and a mount namespace with a private copy of /etc holding a throw-away user.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include "support/private_system.h"
#include "support/temp_dir.h"
#include "util/net_config.h"

namespace {

std::string current_hostname() {
    char name[256] = {};
    gethostname(name, sizeof name - 1);
    return name;
}

TEST(Hostname, SetsUpTo25CharactersInAPrivateUtsNamespace) {
    ASSERT_TRUE(enter_private_uts());
    const std::string name25(25, 'h');
    EXPECT_EQ(set_hostname(name25.c_str()), 1);
    EXPECT_EQ(current_hostname(), name25);

    EXPECT_EQ(set_hostname(std::string(26, 'x').c_str()), 0);
    EXPECT_EQ(set_hostname(""), 0);
    EXPECT_EQ(current_hostname(), name25) << "a refused name was set";

    EXPECT_EQ(set_hostname("encoder-7"), 1);
    EXPECT_EQ(shell_output("uname -n"), "encoder-7\n");  // another process sees it
}

TEST(Hostname, RefusalByTheKernelIsReported) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to drop to another user";
    ASSERT_TRUE(enter_private_uts());
    TempDir dir;
    const std::string log_path = dir.file("log");
    const int log = open(log_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ASSERT_GE(log, 0);

    const pid_t pid = fork();
    if (pid == 0) {
        // Without privileges in this namespace, sethostname is refused.
        dup2(log, STDOUT_FILENO);
        if (setresgid(65534, 65534, 65534) != 0 || setresuid(65534, 65534, 65534) != 0) _exit(3);
        _exit(set_hostname("other") == 0 ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    close(log);
    EXPECT_EQ(read_file(log_path),
              std::string("sethostname :  ::: ") + std::strerror(EPERM) + "\n");
}

// A pseudo-terminal pair; the slave end is the line whose speed is set.
struct Pty {
    int master = -1;
    int slave = -1;
    std::string name;
    Pty() {
        master = posix_openpt(O_RDWR | O_NOCTTY);
        if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) return;
        name = ptsname(master);
        slave = open(name.c_str(), O_RDWR | O_NOCTTY);
    }
    ~Pty() {
        if (slave >= 0) close(slave);
        if (master >= 0) close(master);
    }
    // The speed as another process (stty) reads it from the kernel.
    std::string stty_speed() const { return shell_output("stty -F " + name + " speed"); }
};

TEST(SerialLine, SetsTheOutputSpeedOfAPseudoTerminal) {
    Pty pty;
    ASSERT_GE(pty.slave, 0);
    termios before{};
    ASSERT_EQ(tcgetattr(pty.slave, &before), 0);

    const struct {
        std::uint32_t baud;
        speed_t speed;
    } rates[] = {
        {1200, B1200},   {2400, B2400},   {4800, B4800},   {9600, B9600},
        {19200, B19200}, {38400, B38400}, {57600, B57600}, {115200, B115200},
    };
    for (const auto& r : rates) {
        ASSERT_EQ(set_serial_speed(pty.slave, r.baud), 1) << r.baud;
        termios now{};
        ASSERT_EQ(tcgetattr(pty.slave, &now), 0);
        EXPECT_EQ(cfgetospeed(&now), r.speed) << r.baud;
        EXPECT_EQ(pty.stty_speed(), std::to_string(r.baud) + "\n");
        // Only the speed changes.
        EXPECT_EQ(now.c_iflag, before.c_iflag);
        EXPECT_EQ(now.c_oflag, before.c_oflag);
        EXPECT_EQ(now.c_lflag, before.c_lflag);
        EXPECT_EQ(now.c_cflag & ~static_cast<tcflag_t>(CBAUD | CBAUDEX),
                  before.c_cflag & ~static_cast<tcflag_t>(CBAUD | CBAUDEX));
        EXPECT_EQ(std::memcmp(now.c_cc, before.c_cc, sizeof now.c_cc), 0);
    }

    for (std::uint32_t unsupported : {0u, 300u, 600u, 230400u, 115201u}) {
        EXPECT_EQ(set_serial_speed(pty.slave, unsupported), 0) << unsupported;
        EXPECT_EQ(pty.stty_speed(), "115200\n") << unsupported << " changed the line";
    }

    TempDir dir;
    write_file(dir.file("plain"), "not a terminal");
    const int plain = open(dir.file("plain").c_str(), O_RDWR);
    testing::internal::CaptureStdout();
    EXPECT_EQ(set_serial_speed(plain, 9600), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              std::string("tcgetattr ::: ") + std::strerror(ENOTTY) + "\n");
    close(plain);
}

TEST(SerialLine, ConsoleSpeedIsStandardInputAndAlwaysSucceeds) {
    Pty pty;
    ASSERT_GE(pty.slave, 0);
    const int saved_stdin = dup(STDIN_FILENO);
    ASSERT_GE(saved_stdin, 0);

    ASSERT_EQ(dup2(pty.slave, STDIN_FILENO), STDIN_FILENO);
    EXPECT_EQ(set_console_speed(57600), 1);
    EXPECT_EQ(pty.stty_speed(), "57600\n");
    EXPECT_EQ(set_console_speed(300), 1) << "an unsupported rate still answers 1";
    EXPECT_EQ(pty.stty_speed(), "57600\n");

    const int null = open("/dev/null", O_RDONLY);
    ASSERT_EQ(dup2(null, STDIN_FILENO), STDIN_FILENO);
    testing::internal::CaptureStdout();
    EXPECT_EQ(set_console_speed(9600), 1) << "not a terminal still answers 1";
    testing::internal::GetCapturedStdout();

    dup2(saved_stdin, STDIN_FILENO);
    close(saved_stdin);
    close(null);
}

// The shadow entry of `user` in the (private) /etc/shadow, "" when absent.
std::string shadow_entry(const std::string& user) {
    const std::string shadow = read_file("/etc/shadow");
    const std::size_t at = shadow.find("\n" + user + ":");
    if (at == std::string::npos) return "";
    return shadow.substr(at + 1, shadow.find('\n', at + 1) - at - 1);
}

std::string password_field(const std::string& entry) {
    const std::size_t a = entry.find(':');
    return entry.substr(a + 1, entry.find(':', a + 1) - a - 1);
}

TEST(Password, ChangesTheShadowOfAThrowAwayUser) {
    if (geteuid() != 0) GTEST_SKIP() << "passwd needs root";
    if (access("/usr/bin/passwd", X_OK) != 0 || access("/usr/sbin/useradd", X_OK) != 0)
        GTEST_SKIP() << "passwd and useradd (package passwd) are needed";
    // Everything below happens in this process's mount namespace: a private /tmp, and a
    // copy of /etc mounted over the real one (a whole directory, because passwd replaces
    // /etc/shadow by renaming a new file over it).
    ASSERT_TRUE(enter_private_mounts());
    ASSERT_TRUE(mount_tmpfs("/tmp"));
    ASSERT_TRUE(run_shell("cp -a /etc /tmp/etc"));
    ASSERT_TRUE(bind_mount("/tmp/etc", "/etc"));
    ASSERT_TRUE(run_shell("useradd -M -s /usr/sbin/nologin utiltest"));
    const std::string locked = shadow_entry("utiltest");
    ASSERT_NE(locked, "");
    ASSERT_EQ(password_field(locked).substr(0, 1), "!");

    EXPECT_EQ(change_password("utiltest", "Zq7-pass"), 1);
    const std::string changed = shadow_entry("utiltest");
    EXPECT_NE(changed, locked);
    EXPECT_EQ(password_field(changed).substr(0, 1), "$") << changed;

    // The script stays and tells passwd's verdict on its output.
    EXPECT_EQ(access("/tmp/passwd.sh", R_OK), 0);
    EXPECT_EQ(shell_output("sh /tmp/passwd.sh utiltest Other-9 2>/dev/null | tail -n 1"), "OK\n");
    EXPECT_NE(shadow_entry("utiltest"), changed);
    EXPECT_EQ(shell_output("sh /tmp/passwd.sh nosuchuser x 2>/dev/null | tail -n 1"), "Fail\n");

    // The result says the script ran, not that passwd agreed.
    const std::string before = read_file("/etc/shadow");
    EXPECT_EQ(change_password("nosuchuser", "whatever"), 1);
    EXPECT_EQ(read_file("/etc/shadow"), before);

    // Without its script file (a read-only /tmp), the command fails and nothing changes.
    const std::string now = read_file("/etc/shadow");
    ASSERT_EQ(mount("tmpfs", "/tmp", "tmpfs", MS_RDONLY, nullptr), 0);
    EXPECT_EQ(change_password("utiltest", "Zq7-pass"), 0);
    EXPECT_EQ(read_file("/etc/shadow"), now);
}

}  // namespace

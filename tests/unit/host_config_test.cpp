// Host name, serial line speed and password change of the utility library, each on real
// system state that only this test process sees: its own UTS namespace, a pseudo-terminal
// pair, and a mount namespace with a private copy of /etc holding a throw-away user.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include "support/isolation.h"
#include "support/private_system.h"
#include "support/stdout_capture.h"
#include "support/temp_dir.h"
#include "util/net_config.h"

namespace {

TEST(Hostname, SetsUpTo25CharactersInAPrivateUtsNamespace) {
    ASSERT_TRUE(enter_private_uts());
    const std::string name25(25, 'h');
    EXPECT_EQ(set_hostname(name25.c_str()), 1);
    EXPECT_EQ(set_hostname(std::string(26, 'x').c_str()), 0);
    EXPECT_EQ(set_hostname(""), 0);
    EXPECT_EQ(shell_output("uname -n"), name25 + "\n") << "a refused name was set";

    if (geteuid() != 0) GTEST_SKIP() << "dropping to another user needs root";
    // Without privileges in this namespace, sethostname is refused and reported.
    const std::string eperm = std::string("sethostname :  ::: ") + std::strerror(EPERM) + "\n";
    const pid_t pid = fork();
    if (pid == 0) {
        if (setresgid(65534, 65534, 65534) != 0 || setresuid(65534, 65534, 65534) != 0) _exit(3);
        int result = -1;
        _exit(stdout_of([&] { result = set_hostname("other"); }) == eperm && result == 0 ? 0 : 1);
    }
    int status = -1;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_EQ(shell_output("uname -n"), name25 + "\n");
}

TEST(SerialLine, SetsTheOutputSpeedOfAPseudoTerminal) {
    const int master = posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_TRUE(master >= 0 && grantpt(master) == 0 && unlockpt(master) == 0);
    const std::string name = ptsname(master);
    const int line = open(name.c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(line, 0);
    // The speed as another process reads it from the kernel.
    const auto stty_speed = [&] { return shell_output("stty -F " + name + " speed"); };
    termios before{}, now{};
    ASSERT_EQ(tcgetattr(line, &before), 0);
    const std::pair<std::uint32_t, speed_t> rates[] = {
        {1200, B1200},   {2400, B2400},   {4800, B4800},     {9600, B9600},
        {19200, B19200}, {38400, B38400}, {115200, B115200}, {57600, B57600}};
    for (const auto& [baud, speed] : rates) {
        ASSERT_EQ(set_serial_speed(line, baud), 1) << baud;
        ASSERT_EQ(tcgetattr(line, &now), 0);
        EXPECT_EQ(cfgetospeed(&now), speed) << baud;
    }
    EXPECT_EQ(stty_speed(), "57600\n");
    // Only the speed changed.
    const auto speed_bits = static_cast<tcflag_t>(CBAUD | CBAUDEX);
    EXPECT_EQ(now.c_cflag & ~speed_bits, before.c_cflag & ~speed_bits);
    EXPECT_TRUE(now.c_iflag == before.c_iflag && now.c_oflag == before.c_oflag &&
                now.c_lflag == before.c_lflag);
    EXPECT_EQ(std::memcmp(now.c_cc, before.c_cc, sizeof now.c_cc), 0);
    for (std::uint32_t unsupported : {0u, 300u, 230400u, 57601u})
        EXPECT_EQ(set_serial_speed(line, unsupported), 0) << unsupported;
    EXPECT_EQ(stty_speed(), "57600\n") << "an unsupported rate changed the line";

    const int plain = open("/dev/null", O_RDWR);
    EXPECT_EQ(stdout_of([&] { EXPECT_EQ(set_serial_speed(plain, 9600), 0); }),
              std::string("tcgetattr ::: ") + std::strerror(ENOTTY) + "\n");
    // The console is standard input, and the answer is always 1.
    ASSERT_EQ(dup2(line, STDIN_FILENO), STDIN_FILENO);
    EXPECT_EQ(set_console_speed(9600), 1);
    EXPECT_EQ(stty_speed(), "9600\n");
    EXPECT_EQ(set_console_speed(300), 1) << "an unsupported rate still answers 1";
    dup2(plain, STDIN_FILENO);
}

// The password field of `user` in the (private) /etc/shadow, "" when absent.
std::string password_of(const std::string& user) {
    const std::string shadow = read_file("/etc/shadow");
    const std::size_t at = shadow.find("\n" + user + ":");
    if (at == std::string::npos) return "";
    const std::size_t from = at + user.size() + 2;
    return shadow.substr(from, shadow.find(':', from) - from);
}

TEST(Password, ChangesTheShadowOfAThrowAwayUser) {
    if (geteuid() != 0) GTEST_SKIP() << "passwd needs root";
    if (access("/usr/bin/passwd", X_OK) != 0 || access("/usr/sbin/useradd", X_OK) != 0)
        GTEST_SKIP() << "passwd and useradd (package passwd) are needed";
    // A private /tmp, and a copy of /etc mounted over the real one (the whole directory:
    // passwd renames a new /etc/shadow over the old).
    ASSERT_TRUE(enter_private_tmp());
    ASSERT_TRUE(run_shell("cp -a /etc /tmp/etc"));
    ASSERT_EQ(mount("/tmp/etc", "/etc", nullptr, MS_BIND, nullptr), 0) << std::strerror(errno);
    ASSERT_TRUE(run_shell("useradd -M -s /usr/sbin/nologin utiltest"));
    ASSERT_EQ(password_of("utiltest").substr(0, 1), "!");
    EXPECT_EQ(change_password("utiltest", "Zq7-pass"), 1);
    EXPECT_EQ(password_of("utiltest").substr(0, 1), "$") << password_of("utiltest");

    // The result says the script ran, not that passwd agreed.
    const std::string before = read_file("/etc/shadow");
    EXPECT_EQ(change_password("nosuchuser", "whatever"), 1);
    EXPECT_EQ(read_file("/etc/shadow"), before);
    // Without its script file (a read-only /tmp), the command fails and nothing changes.
    ASSERT_EQ(mount("tmpfs", "/tmp", "tmpfs", MS_RDONLY, nullptr), 0);
    EXPECT_EQ(change_password("utiltest", "Zq7-pass"), 0);
    EXPECT_EQ(read_file("/etc/shadow"), before);
}

}  // namespace

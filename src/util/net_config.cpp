#include "util/net_config.h"

#include <arpa/inet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/debug_log.h"
#include "util/text_utils.h"

namespace {

constexpr char kEth0[] = "eth0";
constexpr char kBr0[] = "br0";

// Opens the request socket and names the interface; -1 (unreported) when the socket fails,
// since each operation words that report its own way.
int open_request(ifreq& req, const char* name) {
    std::memset(&req, 0, sizeof req);
    strCopyN(req.ifr_name, name, sizeof req.ifr_name);
    return socket(AF_INET, SOCK_DGRAM, 0);
}

int request(int fd, unsigned long code, ifreq& req) {
    const int rc = ioctl(fd, code, &req);
    const int err = errno;
    close(fd);
    errno = err;
    return rc;
}

// The socket address of an IPv4 request, through network byte order.
void put_ipv4(sockaddr& field, const std::uint8_t bytes[4]) {
    const std::uint32_t v =
        static_cast<std::uint32_t>(bytes[0]) << 24 | static_cast<std::uint32_t>(bytes[1]) << 16 |
        static_cast<std::uint32_t>(bytes[2]) << 8 | static_cast<std::uint32_t>(bytes[3]);
    sockaddr_in sin{};
    sin.sin_family = AF_INET;
    sin.sin_port = 0;
    sin.sin_addr.s_addr = htonl(v);
    std::memcpy(&field, &sin, sizeof sin);
}

void get_ipv4(const sockaddr& field, std::uint8_t bytes[4]) {
    sockaddr_in sin{};
    std::memcpy(&sin, &field, sizeof sin);
    const std::uint32_t v = ntohl(sin.sin_addr.s_addr);
    bytes[0] = static_cast<std::uint8_t>(v >> 24);
    bytes[1] = static_cast<std::uint8_t>(v >> 16);
    bytes[2] = static_cast<std::uint8_t>(v >> 8);
    bytes[3] = static_cast<std::uint8_t>(v);
}

// Exit status of a shell command as system() reports it (bits 8 to 15).
int exit_status(int rc) { return (rc >> 8) & 0xFF; }

void report_command_failure(const char* function, int line) {
    const int err = errno;
    dbg_printf("%s:%d ", function, line);
    dbg_printf("%s:%d Error %d:%s\n\r", function, line, err, std::strerror(err));
}

// First line of a pipeline's output into `line`; false when it cannot start or is silent.
bool pipeline_line(const char* cmd, char (&line)[128]) {
    FILE* pipe = popen(cmd, "r");
    if (pipe == nullptr) return false;
    const bool got = std::fgets(line, sizeof line, pipe) != nullptr;
    pclose(pipe);
    return got;
}

// /proc/net/route's columns are tab-separated; the pipelines turn every blank into one
// space so that awk can pick a column of the "eth0 00000000" (default route) line.
constexpr char kRouteFlagsCmd[] =
    "more /proc/net/route | sed s/\"[[:space:]]\"/\" \"/g | grep \"eth0 00000000\" | "
    "awk -F'[ ]' '{print $4}'";
constexpr char kRouteGatewayCmd[] =
    "more /proc/net/route | sed s/\"[[:space:]]\"/\" \"/g | grep \"eth0 00000000\" | "
    "awk -F'[ ]' '{print $3}'";
constexpr std::uint32_t kRouteUp = 0x0001;

speed_t speed_constant(std::uint32_t baud) {
    switch (baud) {
        case 1200:
            return B1200;
        case 2400:
            return B2400;
        case 4800:
            return B4800;
        case 9600:
            return B9600;
        case 19200:
            return B19200;
        case 38400:
            return B38400;
        case 57600:
            return B57600;
        case 115200:
            return B115200;
        default:
            return B0;
    }
}

// The script that change_password writes: passwd asks for the new password twice, so
// `answer` says it twice. Its status is that of the last echo, whatever passwd did.
constexpr char kPasswordScriptCmd[] =
    "echo '#!/bin/sh\n"
    "answer() {\n"
    "  echo \"$1\"\n"
    "  echo \"$1\"\n"
    "}\n"
    "answer \"$2\" | passwd \"$1\"\n"
    "if [ $? -ne 0 ]; then\n"
    "  echo Fail\n"
    "else\n"
    "  echo OK\n"
    "fi' > /tmp/passwd.sh";

}  // namespace

int get_if_addr(const char* name, std::uint8_t addr[4]) {
    ifreq req;
    const int fd = open_request(req, name);
    if (fd < 0) {
        dbg_perror("socket");
        return 0;
    }
    if (request(fd, SIOCGIFADDR, req) < 0) return 0;
    get_ipv4(req.ifr_addr, addr);
    return 1;
}

int set_if_addr(const char* name, const std::uint8_t addr[4]) {
    ifreq req;
    const int fd = open_request(req, name);
    if (fd < 0) {
        dbg_perror("socket");
        return 0;
    }
    put_ipv4(req.ifr_addr, addr);
    if (request(fd, SIOCSIFADDR, req) < 0) {
        dbg_perror("SIOCSIFADDR");
        return 0;
    }
    return 1;
}

int get_if_netmask(const char* name, std::uint8_t mask[4]) {
    ifreq req;
    const int fd = open_request(req, name);
    if (fd < 0) {
        dbg_printf("socket(2) failed\n");
        return 0;
    }
    if (request(fd, SIOCGIFNETMASK, req) < 0) {
        dbg_perror("NETMASK Error");
        return 0;
    }
    get_ipv4(req.ifr_netmask, mask);
    return 1;
}

int set_if_netmask(const char* name, const std::uint8_t mask[4]) {
    ifreq req;
    const int fd = open_request(req, name);
    if (fd < 0) {
        dbg_printf("socket(2) failed\n");
        return 0;
    }
    put_ipv4(req.ifr_netmask, mask);
    if (request(fd, SIOCSIFNETMASK, req) < 0) {
        dbg_perror("SIOCSIFNETMASK");
        return 0;
    }
    return 1;
}

int get_if_hwaddr(const char* name, std::uint8_t hw[6]) {
    ifreq req;
    const int fd = open_request(req, name);
    if (fd < 0) {
        dbg_perror("socket");
        return 0;
    }
    if (request(fd, SIOCGIFHWADDR, req) < 0) return 0;
    std::memcpy(hw, req.ifr_hwaddr.sa_data, 6);
    return 1;
}

int get_if_flags(const char* name, std::uint16_t* flags) {
    ifreq req;
    const int fd = open_request(req, name);
    if (fd < 0) {
        dbg_perror("socket");
        return 0;
    }
    if (request(fd, SIOCGIFFLAGS, req) < 0) return 0;
    *flags = static_cast<std::uint16_t>(req.ifr_flags);
    return 1;
}

int get_if_flags32(const char* name, std::uint32_t* flags) {
    ifreq req;
    const int fd = open_request(req, name);
    if (fd < 0) {
        dbg_perror("socket");
        return 0;
    }
    if (request(fd, SIOCGIFFLAGS, req) < 0) {
        dbg_perror("SIOCGIFFLAGS");
        return 0;
    }
    *flags = static_cast<std::uint16_t>(req.ifr_flags);  // zero-, not sign-extended
    return 1;
}

int set_if_flags(const char* name, std::uint16_t flags) {
    ifreq req;
    const int fd = open_request(req, name);
    if (fd < 0) {
        dbg_perror("socket");
        return 0;
    }
    req.ifr_flags = static_cast<short>(flags);
    return request(fd, SIOCSIFFLAGS, req) < 0 ? 0 : 1;
}

int get_if_mtu(const char* name, std::uint32_t* mtu) {
    ifreq req;
    const int fd = open_request(req, name);
    if (fd < 0) {
        dbg_perror("socket");
        return 0;
    }
    if (request(fd, SIOCGIFMTU, req) < 0) {
        dbg_perror("SIOCGIFMTU");
        return 0;
    }
    *mtu = static_cast<std::uint32_t>(req.ifr_mtu);
    dbg_printf("MTU : %d\n", req.ifr_mtu);
    return 1;
}

int set_if_mtu(const char* name, std::uint32_t mtu) {
    ifreq req;
    const int fd = open_request(req, name);
    if (fd < 0) {
        dbg_perror("socket");
        return 0;
    }
    if (ioctl(fd, SIOCGIFMTU, &req) < 0) {
        dbg_perror("SIOCGIFMTU");
        close(fd);
        return 0;
    }
    req.ifr_mtu = static_cast<int>(mtu);
    if (request(fd, SIOCSIFMTU, req) < 0) {
        dbg_perror("SIOCSIFMTU");
        return 0;
    }
    return 1;
}

int set_if_up(const char* name, int up) {
    std::uint16_t flags = 0;
    if (!get_if_flags(name, &flags)) return 0;
    flags = up == 1 ? static_cast<std::uint16_t>(flags | IFF_UP)
                    : static_cast<std::uint16_t>(flags & ~IFF_UP);
    return set_if_flags(name, flags);
}

int get_eth0_addr(std::uint8_t addr[4]) { return get_if_addr(kEth0, addr); }
int set_eth0_addr(const std::uint8_t addr[4]) { return set_if_addr(kEth0, addr); }
int get_eth0_netmask(std::uint8_t mask[4]) { return get_if_netmask(kEth0, mask); }
int set_eth0_netmask(const std::uint8_t mask[4]) { return set_if_netmask(kEth0, mask); }
int get_eth0_hwaddr(std::uint8_t hw[6]) { return get_if_hwaddr(kEth0, hw); }
int get_br0_addr(std::uint8_t addr[4]) { return get_if_addr(kBr0, addr); }
int set_br0_addr(const std::uint8_t addr[4]) { return set_if_addr(kBr0, addr); }
int get_br0_netmask(std::uint8_t mask[4]) { return get_if_netmask(kBr0, mask); }
int set_br0_netmask(const std::uint8_t mask[4]) { return set_if_netmask(kBr0, mask); }

int set_hostname(const char* name) {
    const std::size_t len = std::strlen(name);
    if (len == 0 || len > kMaxHostname) return 0;
    if (sethostname(name, len) != 0) {
        dbg_perror("sethostname : ");
        return 0;
    }
    return 1;
}

int get_gateway(std::uint8_t gw[4]) {
    char line[128];
    if (!pipeline_line(kRouteFlagsCmd, line)) return 0;
    std::uint32_t flags = 0;
    if (!strToU32(line, &flags, 16) || (flags & kRouteUp) == 0) return 0;

    if (!pipeline_line(kRouteGatewayCmd, line)) return 0;
    if (std::strlen(line) != 9) return 0;  // 8 hexadecimal digits and the newline
    line[8] = '\0';
    std::uint32_t value = 0;
    if (!strToU32(line, &value, 16)) {
        dbg_printf("Invalid IP [%s]\n\r", line);
        return 0;
    }
    // The kernel prints the network-order address as a host-order number.
    value = ntohl(value);
    gw[0] = static_cast<std::uint8_t>(value >> 24);
    gw[1] = static_cast<std::uint8_t>(value >> 16);
    gw[2] = static_cast<std::uint8_t>(value >> 8);
    gw[3] = static_cast<std::uint8_t>(value);
    return 1;
}

int del_gateway() {
    for (int attempt = 0; attempt < kGatewayDeleteTries; ++attempt) {
        std::uint8_t gw[4];
        if (!get_gateway(gw)) return 1;
        if (exit_status(std::system("/sbin/route del default")) != 0) {
            report_command_failure("del_gateway", __LINE__);
            return 0;
        }
    }
    dbg_printf("%s:%d ", "del_gateway", __LINE__);
    dbg_printf("default route of eth0 survives %d deletions\n\r", kGatewayDeleteTries);
    return 0;
}

int set_gateway(const std::uint8_t gw[4]) {
    del_gateway();
    char cmd[128];
    std::snprintf(cmd, sizeof cmd, "/sbin/route add default gw %d.%d.%d.%d", gw[0], gw[1], gw[2],
                  gw[3]);
    if (exit_status(std::system(cmd)) != 0) {
        report_command_failure("set_gateway", __LINE__);
        return 0;
    }
    std::uint8_t back[4];
    return get_gateway(back) && std::memcmp(back, gw, 4) == 0 ? 1 : 0;
}

int set_serial_speed(int fd, std::uint32_t baud) {
    termios tio{};
    if (tcgetattr(fd, &tio) != 0) {
        dbg_perror("tcgetattr");
        return 0;
    }
    const speed_t speed = speed_constant(baud);
    if (speed == B0) return 0;
    cfsetospeed(&tio, speed);
    if (tcsetattr(fd, TCSANOW, &tio) != 0) {
        dbg_perror("tcsetattr");
        return 0;
    }
    return 1;
}

int set_console_speed(std::uint32_t baud) {
    set_serial_speed(STDIN_FILENO, baud);
    return 1;
}

int change_password(const char* user, const char* password) {
    std::system(kPasswordScriptCmd);
    char cmd[256];
    const int n = std::snprintf(
        cmd, sizeof cmd, "sh /tmp/passwd.sh %s %s 1> /dev/null 2> /dev/null", user, password);
    if (n < 0 || static_cast<std::size_t>(n) >= sizeof cmd) return 0;
    return exit_status(std::system(cmd)) != 0 ? 0 : 1;
}

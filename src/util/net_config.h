// Network configuration of the appliance's utility library: IPv4 address, netmask,
// hardware address, flags and MTU of an interface (and wrappers for "eth0" and the bridge
// "br0"), host name, the default gateway of "eth0", serial line speed and password change.
// Tools of the appliance call them; the streaming service itself does not.
//
// Every operation returns 1 on success and 0 on failure unless said otherwise, and reports
// failures through dbg_printf / dbg_perror. Each interface request opens its own IPv4
// datagram socket and closes it before returning. Addresses and netmasks are 4 bytes in
// dotted order (byte 0 is the first number of the dotted form); hardware addresses 6.
#pragma once

#include <cstdint>

// ---- interface requests (the interface name is cut to 15 characters) -------------------

// Reports: socket "socket" (perror); request: none.
int get_if_addr(const char* name, std::uint8_t addr[4]);
// Reports: socket "socket"; request "SIOCSIFADDR" (perror).
int set_if_addr(const char* name, const std::uint8_t addr[4]);
// Reports: socket "socket(2) failed\n" (printf); request "NETMASK Error" (perror).
int get_if_netmask(const char* name, std::uint8_t mask[4]);
// Reports: socket "socket(2) failed\n"; request "SIOCSIFNETMASK" (perror).
int set_if_netmask(const char* name, const std::uint8_t mask[4]);
// Reports: socket "socket"; request: none.
int get_if_hwaddr(const char* name, std::uint8_t hw[6]);
// Reports: socket "socket"; request: none.
int get_if_flags(const char* name, std::uint16_t* flags);
// The 16-bit flags zero-extended. Reports: socket "socket"; request "SIOCGIFFLAGS".
int get_if_flags32(const char* name, std::uint32_t* flags);
// Reports: socket "socket"; request: none.
int set_if_flags(const char* name, std::uint16_t flags);
// Logs "MTU : %d\n" on success. Reports: socket "socket"; request "SIOCGIFMTU".
int get_if_mtu(const char* name, std::uint32_t* mtu);
// Reads the MTU first, then sets it. Reports: socket "socket"; reading "SIOCGIFMTU";
// setting "SIOCSIFMTU" (perror, like the other setters).
int set_if_mtu(const char* name, std::uint32_t mtu);

// IFF_UP set when `up` is 1, cleared for any other value; 1 when read and write succeed.
int set_if_up(const char* name, int up);

int get_eth0_addr(std::uint8_t addr[4]);
int set_eth0_addr(const std::uint8_t addr[4]);
int get_eth0_netmask(std::uint8_t mask[4]);
int set_eth0_netmask(const std::uint8_t mask[4]);
int get_eth0_hwaddr(std::uint8_t hw[6]);
int get_br0_addr(std::uint8_t addr[4]);
int set_br0_addr(const std::uint8_t addr[4]);
int get_br0_netmask(std::uint8_t mask[4]);
int set_br0_netmask(const std::uint8_t mask[4]);

// ---- host name --------------------------------------------------------------------------

// 1 to kMaxHostname characters; longer or empty gives 0 without trying.
int set_hostname(const char* name);
inline constexpr int kMaxHostname = 25;

// ---- default gateway of "eth0", read from /proc/net/route through shell pipelines --------

// 1 and the gateway when "eth0" has a default route that is up. A gateway field that is
// not exactly 8 characters gives 0 silently; 8 that do not parse as hexadecimal log
// "Invalid IP [%s]\n\r".
int get_gateway(std::uint8_t gw[4]);

// Runs "/sbin/route del default" until get_gateway finds no default route: 1 then. A
// failing command gives 0 with the "del_gateway:<line> Error <errno>:<text>" report. The
// loop is bounded: if the route is still there after kGatewayDeleteTries successful
// deletions (the command lies, or something keeps adding it back), the result is 0 and the
// report is "del_gateway:<line> default route of eth0 survives %d deletions\n\r".
int del_gateway();
inline constexpr int kGatewayDeleteTries = 16;

// del_gateway, then "/sbin/route add default gw a.b.c.d"; 1 when get_gateway then reads
// back the same four bytes.
int set_gateway(const std::uint8_t gw[4]);

// ---- serial line ----------------------------------------------------------------------------

// Output speed of a terminal: 1200, 2400, 4800, 9600, 19200, 38400, 57600 or 115200 baud,
// applied at once. Any other rate gives 0 and leaves the line alone. A failing tcgetattr
// or tcsetattr gives 0 after a perror report of the call's name.
int set_serial_speed(int fd, std::uint32_t baud);
// set_serial_speed on standard input; always 1.
int set_console_speed(std::uint32_t baud);

// ---- password ---------------------------------------------------------------------------------

// Writes the script "/tmp/passwd.sh" (left there afterwards) and runs it as
// "sh /tmp/passwd.sh <user> <password>", which feeds the password twice to passwd(1).
// 1 when the script ran (exit status 0), which is not proof that passwd accepted it; 0 when
// it did not, or when the command would not fit into its 256-byte buffer.
int change_password(const char* user, const char* password);

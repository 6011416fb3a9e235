// TCP helpers of the socket family, for the appliance's tools; the service itself uses
// none of them. A listening socket, a bounded wait for its client, a connect by host name,
// and the name lookup behind it. Every failure is logged through the debug log.
#pragma once

#include <netinet/in.h>

#include <cstdint>

// Listening stream socket on all addresses, backlog 1, SO_REUSEADDR. A failing bind is
// retried once a second and given up after the 11th failure. Descriptor or -1.
int make_tcp_server(std::uint16_t port);

// Waits up to 1 s for a connection and accepts it into *out_sock: 0, or -1 on time-out,
// interruption, wait error or failed accept.
int wait_tcp_client(int listen_sock, int* out_sock);

// Connects a stream socket to host:port. Descriptor, or -1 when connect fails. An unknown
// host or a failing socket() ends the process with status 1: the tools that call it have
// nothing to do without the connection.
int tcpConnectHost(const char* host, std::uint16_t port);

// Resolves a host name; copies its first IPv4 address to *out. Returns the address family,
// or 0 (logged) for an unknown host or an address that is not 4 bytes long.
int StrAddr2IntAddr(const char* host, in_addr* out);

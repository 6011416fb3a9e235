// The UDP socket layer: every socket of the service is opened here (the feed's receive
// socket, the two connected send sockets of each RTP receiver, the transport stream's
// sender). The IPv4 text helpers are in util/text_utils.h, the TCP helpers in
// net/tcp_socket.h. No state of its own.
//
// Addresses are dotted-quad texts (inet_addr, no name resolution); null means "none given".
// Ports are host-order u16; 0 means "none given" and switches off the steps that need it.
// Open functions log what they were asked for, return the descriptor (also stored through
// the out-pointer) or -1; on failure they close what they made and leave the out-pointer
// untouched.
#pragma once

#include <netinet/in.h>

#include <cstdint>

// Send and receive buffer size asked of the kernel (which reports twice the granted value,
// the granted value being capped by net.core.wmem_max / rmem_max).
inline constexpr int kSockBufferBytes = 524288;
// Receive time-out of receive sockets, seconds.
inline constexpr int kSockRecvTimeoutSec = 1;
// The 1024-byte intermediate buffer of recv_data and recvFromPeer bounds what they read.
inline constexpr int kSockRecvChunkBytes = 1024;

// Connected UDP sender. Sets SO_SNDBUF and path-MTU discovery off when remote_port != 0;
// for a multicast remote also loopback off, the time-to-live and, when mcast_if_addr is
// non-empty, the outgoing interface. Fills *out_remote (may be null) when remote_addr is
// given. Binds only when local_port != 0; connects whenever remote_addr is given.
int sockTxOpen(const char* local_addr, std::uint16_t local_port, const char* mcast_if_addr,
               const char* remote_addr, std::uint16_t remote_port, int* out_sock,
               sockaddr_in* out_remote, int mcast_ttl);

// Bound UDP receiver. With local_port != 0: SO_RCVBUF, a 1 s receive time-out and a bind.
// if_addr only appears in the log line. A unicast remote_addr is connected; a multicast
// one is neither connected nor joined.
int sockRxOpen(const char* local_addr, std::uint16_t local_port, const char* if_addr,
               const char* remote_addr, std::uint16_t remote_port, int* out_sock);

// Both directions on one socket: receive options when local_port != 0, send options when
// remote_port != 0, then reuse, bind and connect (only to a non-empty remote). No entry log.
int sockTRxOpen(const char* local_addr, std::uint16_t local_port, const char* mcast_if_addr,
                const char* remote_addr, std::uint16_t remote_port, int* out_sock,
                sockaddr_in* out_remote, int mcast_ttl);

// 1 when connected to addr:port (empty or null addr = INADDR_ANY), 0 after logging "connect".
int sockConnect(int sock, const char* addr, std::uint16_t port);

// Leaves the group when group_addr is multicast, then closes. Returns 0 when closed, -1
// when leaving the group failed (the descriptor then stays open).
int sockMcastClose(int sock, const char* group_addr, const char* if_addr);
void sockClose(int sock);

// Zeroed record, AF_INET, inet_addr(addr) or INADDR_ANY for null/empty, port in network order.
int StrAddr2SockAddr(const char* addr, std::uint16_t port, sockaddr_in* out);

// Receive helpers of the same family, for the appliance's tools; not used by the service.

// One recvfrom of up to len bytes (at most kSockRecvChunkBytes) into buf; the sender's
// address goes to *from (may be null). Returns the length, or the recvfrom result <= 0.
int recv_data(int sock, void* buf, int len, sockaddr_in* from);

// Drains the socket until 1 ms in all has passed without a datagram, keeping in buf the
// last datagram from peer_addr_net (network order; others are dropped). 1 when one was
// read, 0 when none, -1 on a failed wait or an empty or failed read.
int recvFromPeer(int sock, void* buf, int len, std::uint32_t peer_addr_net);

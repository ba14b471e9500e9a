/* net.h -- IPv4 UDP sockets and host-name resolution, callable from C and C++. */
#ifndef VOK_NETWORK_NET_H
#define VOK_NETWORK_NET_H

#include <netinet/in.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Address of a dotted quad or host name (null: this host's name), in network
 * byte order; 0 when the name does not resolve. */
int net_get_addr(const char* hostname);

/* As net_get_addr, reporting nothing: for a caller that counts or logs its
 * failures itself. */
int net_host_addr(const char* hostname);

/* The address net_host_addr finds for hostname, in *addr: 0 when it has one,
 * -1 when it has none. 0.0.0.0 is then an answer like any other. */
int net_find_addr(const char* hostname, in_addr_t* addr);

/* UDP socket bound to port on all local addresses, joined to group when the
 * group is a multicast address; negative when no bound socket can be had. */
int net_open(const char* group, int port, char ttl);

/* UDP socket with address reuse bound to host:port (null host: all local
 * addresses); -1 when it cannot be had. */
int net_bind(const char* host, int port);

/* As net_bind, but the port is this user's own: shared only with sockets of
 * the same user that ask for it (SO_REUSEPORT, no SO_REUSEADDR), so that no
 * other user's socket can bind it on any address while fd is open. */
int net_bind_own(const char* host, int port);

/* 1 when a socket that shares port with no one (as net_bind_own's do not)
 * holds it on some address of this host, 0 when none does. */
int net_port_held(int port);

/* Asks for a receive buffer of bytes for fd, beyond the system's limit where
 * the process may; the size granted (which the kernel doubles to cover its
 * bookkeeping), or -1. */
int net_rcvbuf(int fd, int bytes);

/* One datagram of at most length_max bytes; the receive's result. */
int net_read_buf(int fd, char* data_in, int length_max);

/* As net_read_buf, also giving the sender's address in *from. */
int net_read_buf_from(int fd, char* data_in, int length_max, struct sockaddr_in* from);

/* Sends length bytes to group:port; 0, or negative when the name does not
 * resolve or the send fails. */
int net_write(int fd, const char* group, int port, const char* buffer, int length);

/* Index of the interface the routing table sends to dst (network byte order)
 * through; 0 when it cannot be told. */
int net_route_ifindex(in_addr_t dst);

/* Reads one ICMP report queued on fd (which has IP_RECVERR set): 1 when it
 * is a refusal (port or host unreachable), 0 for any other report; -1 when
 * none is queued. *dest, when not null, gets where the refused datagram went. */
int net_read_refusal(int fd, struct sockaddr_in* dest);

/* 1 when addr (network byte order) is one of this host's own addresses. */
int net_is_local_addr(in_addr_t addr);

/* Address of host from a dotted quad, the host database, or else the NIS map
 * "hosts.byname"; 0 for a null host, all ones when nothing resolves. */
struct in_addr host2ip(const char* host);

/* As net_open, joining the group on the loopback interface. */
int net_open_noloopback(const char* group, int port, char ttl);

/* Makes fd non-blocking; ends the process with status 1 when it cannot. */
void nonblock(int fd);

void net_close(int fd);

/* One datagram in a new buffer of length_max bytes, to be released with
 * xfree; null when the receive gave 0 or less, which is then in *length. */
char* net_read(int fd, int* length, int length_max);

/* A receive socket joined to group on the loopback interface and a send socket
 * connected to group:port through it. Both are -1 when the receive socket
 * cannot be bound or joined; other failures end the process with status 1. */
void mcast_net_open(const char* group, int port, char ttl, int* rsock, int* ssock);

#ifdef __cplusplus
}
#endif

#endif

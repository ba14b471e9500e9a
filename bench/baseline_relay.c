/* baseline_relay.c -- the least a relay of this design can do per datagram: one select on
 * both sockets, one recvfrom, then inet_addr and sendto for each of four destinations.
 * Usage: baseline_relay ADDR1 ADDR2 ADDR3 ADDR4 (dotted quads, port 9875). */
#include <arpa/inet.h>
#include <netinet/in.h>
#include <stdio.h>
#include <string.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>

static int open_port(int port) {
  const int on = 1;
  struct sockaddr_in sa;
  const int fd = socket(AF_INET, SOCK_DGRAM, 0);
  memset(&sa, 0, sizeof sa);
  sa.sin_family = AF_INET;
  sa.sin_port = htons((unsigned short)port);
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  if (bind(fd, (struct sockaddr*)&sa, sizeof sa) < 0) {
    perror("bind");
    return -1;
  }
  return fd;
}

int main(int argc, char** argv) {
  /* The same receive buffer as vok_relay asks for, so bursts meet the same room. */
  const int room = 2000 * (2048 + 256);
  struct ip_mreq mreq;
  static char buf[2048];
  const int sd = open_port(9875), rq = open_port(6012);
  int i;
  if (argc != 5 || sd < 0 || rq < 0)
    return 1;
  mreq.imr_multiaddr.s_addr = inet_addr("224.2.127.254");
  mreq.imr_interface.s_addr = htonl(INADDR_ANY);
  setsockopt(sd, IPPROTO_IP, IP_ADD_MEMBERSHIP, &mreq, sizeof mreq);
  if (setsockopt(sd, SOL_SOCKET, SO_RCVBUFFORCE, &room, sizeof room) < 0)
    setsockopt(sd, SOL_SOCKET, SO_RCVBUF, &room, sizeof room);
  for (;;) {
    fd_set ready;
    struct timeval bound = {120, 0};
    FD_ZERO(&ready);
    FD_SET(sd, &ready);
    FD_SET(rq, &ready);
    if (select((sd > rq ? sd : rq) + 1, &ready, NULL, NULL, &bound) <= 0)
      continue;
    if (FD_ISSET(sd, &ready)) {
      const ssize_t n = recvfrom(sd, buf, sizeof buf, 0, NULL, NULL);
      for (i = 1; n > 0 && i <= 4; ++i) {
        struct sockaddr_in to;
        memset(&to, 0, sizeof to);
        to.sin_family = AF_INET;
        to.sin_addr.s_addr = inet_addr(argv[i]);
        to.sin_port = htons(9875);
        sendto(rq, buf, (size_t)n, 0, (struct sockaddr*)&to, sizeof to);
      }
    }
    if (FD_ISSET(rq, &ready))
      recvfrom(rq, buf, sizeof buf, 0, NULL, NULL);
  }
}

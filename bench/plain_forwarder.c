/* plain_forwarder.c -- a static UDP fan-out as the usual tools do it: block in recvfrom,
 * then one sendto for each of four destinations. No control port, no select.
 * Usage: plain_forwarder ADDR1 ADDR2 ADDR3 ADDR4 (dotted quads, port 9875). */
#include <arpa/inet.h>
#include <netinet/in.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

int main(int argc, char** argv) {
  /* The same receive buffer as vok_relay asks for, so bursts meet the same room. */
  const int room = 2000 * (2048 + 256), on = 1;
  static char buf[2048];
  struct sockaddr_in sa, to[4];
  struct ip_mreq mreq;
  const int in = socket(AF_INET, SOCK_DGRAM, 0), out = socket(AF_INET, SOCK_DGRAM, 0);
  int i;
  if (argc != 5 || in < 0 || out < 0)
    return 1;
  memset(&sa, 0, sizeof sa);
  sa.sin_family = AF_INET;
  sa.sin_port = htons(9875);
  setsockopt(in, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  if (bind(in, (struct sockaddr*)&sa, sizeof sa) < 0) {
    perror("bind");
    return 1;
  }
  /* Bound like the relays' request socket, so the benchmark sees it ready. */
  sa.sin_port = htons(6012);
  setsockopt(out, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  bind(out, (struct sockaddr*)&sa, sizeof sa);
  mreq.imr_multiaddr.s_addr = inet_addr("224.2.127.254");
  mreq.imr_interface.s_addr = htonl(INADDR_ANY);
  setsockopt(in, IPPROTO_IP, IP_ADD_MEMBERSHIP, &mreq, sizeof mreq);
  if (setsockopt(in, SOL_SOCKET, SO_RCVBUFFORCE, &room, sizeof room) < 0)
    setsockopt(in, SOL_SOCKET, SO_RCVBUF, &room, sizeof room);
  for (i = 0; i < 4; ++i) {
    memset(&to[i], 0, sizeof to[i]);
    to[i].sin_family = AF_INET;
    to[i].sin_addr.s_addr = inet_addr(argv[i + 1]);
    to[i].sin_port = htons(9875);
  }
  for (;;) {
    const ssize_t n = recvfrom(in, buf, sizeof buf, 0, NULL, NULL);
    for (i = 0; n > 0 && i < 4; ++i)
      sendto(out, buf, (size_t)n, 0, (struct sockaddr*)&to[i], sizeof to[i]);
  }
}

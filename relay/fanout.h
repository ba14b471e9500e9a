// fanout.h -- announcements in by the batch (recvmmsg), kept in order for each listener's
// batch send (sendmmsg on its own socket): the same order and bytes as one at a time, far fewer
// system calls.
#ifndef VOK_RELAY_FANOUT_H
#define VOK_RELAY_FANOUT_H

#include <netinet/in.h>
#include <sys/socket.h>

#include "common/protocol.h"

class Fanout {
 public:
  static const int kBatch = 64;  // datagrams taken per wake-up at most

  Fanout();
  Fanout(const Fanout&) = delete;
  Fanout& operator=(const Fanout&) = delete;

  // Takes what is queued on fd now, at most kBatch datagrams, without
  // waiting: how many (0 when none; -1 on a failure other than none). What
  // was kept of the batch before is forgotten.
  int receive(int fd);
  const char* data(int i) const { return bufs_[i]; }
  int length(int i) const { return static_cast<int>(in_[i].msg_len); }
  bool cut(int i) const { return (in_[i].msg_hdr.msg_flags & MSG_TRUNC) != 0; }
  const sockaddr_in& from(int i) const { return from_[i]; }
  // The interface datagram i came in on (its socket has IP_PKTINFO), or 0.
  unsigned arrived_on(int i) const;
  // True when datagram i was sent to a group, not to an address of this host.
  bool to_group(int i) const;

  // Marks datagram i of the batch to be relayed, after those marked before.
  void keep(int i);
  // The kept datagrams, in order, ready for sendmmsg on a connected socket,
  // and the interface each came in on.
  int kept() const { return kept_; }
  mmsghdr* kept_msgs() { return out_; }
  unsigned kept_arrival(int k) const { return arrived_on(kept_from_[k]); }

 private:
  char bufs_[kBatch][kDatagramMax];
  iovec in_iov_[kBatch];
  sockaddr_in from_[kBatch];
  mmsghdr in_[kBatch];
  alignas(cmsghdr) char control_[kBatch][CMSG_SPACE(sizeof(in_pktinfo))];

  mmsghdr out_[kBatch];
  int kept_from_[kBatch];  // where each kept datagram stands in the batch
  int kept_ = 0;
};

#endif

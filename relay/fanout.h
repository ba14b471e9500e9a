// fanout.h -- announcements in by the batch (recvmmsg) and out to every listener by the
// batch (sendmmsg): the same order and bytes as one at a time, far fewer system calls.
#ifndef VOK_RELAY_FANOUT_H
#define VOK_RELAY_FANOUT_H

#include <netinet/in.h>
#include <sys/socket.h>

class VokListner;

class Fanout {
 public:
  static const int kBatch = 64;          // datagrams taken per wake-up at most
  static const int kDatagramMax = 2048;  // longer ones are cut to this
  static const int kQueueMax = kBatch * 4;

  Fanout();
  Fanout(const Fanout&) = delete;
  Fanout& operator=(const Fanout&) = delete;

  // Takes what is queued on fd now, at most kBatch datagrams, without
  // waiting: how many (0 when none; -1 on a failure other than none).
  int receive(int fd);
  const char* data(int i) const { return bufs_[i]; }
  int length(int i) const { return static_cast<int>(in_[i].msg_len); }
  bool cut(int i) const { return (in_[i].msg_hdr.msg_flags & MSG_TRUNC) != 0; }
  const sockaddr_in& from(int i) const { return from_[i]; }

  // Room left for queued copies.
  int room() const { return kQueueMax - queued_; }
  // Queues datagram i for l; nothing when l has no address yet.
  void queue(int i, VokListner* l);
  // Sends what is queued through fd, in order of queueing, at now (ms); a copy
  // that cannot be sent is counted on its listener and the rest still go.
  void flush(int fd, long long now);
  unsigned long relayed() const { return relayed_; }

  // Reads the error queue of fd (a socket with IP_RECVERR) and keeps the ICMP
  // port and host unreachable reports in it, until cleared.
  void read_errors(int fd);
  // The destinations refused since the last clear_refusals().
  int refusal_count() const { return refused_count_; }
  const sockaddr_in& refusal(int i) const { return refused_[i]; }
  void clear_refusals() { refused_count_ = 0; }

 private:
  char bufs_[kBatch][kDatagramMax];
  iovec in_iov_[kBatch];
  sockaddr_in from_[kBatch];
  mmsghdr in_[kBatch];

  mmsghdr out_[kQueueMax];
  VokListner* owner_[kQueueMax];
  int queued_ = 0;
  unsigned long relayed_ = 0;

  static const int kRefusalsMax = 64;  // more between two looks are dropped
  sockaddr_in refused_[kRefusalsMax];
  int refused_count_ = 0;
};

#endif

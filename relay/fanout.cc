// fanout.cc -- announcements in by the batch (recvmmsg) and out to every listener by the batch.
#include "fanout.h"

#include <errno.h>
#include <linux/errqueue.h>
#include <netinet/ip_icmp.h>
#include <string.h>

#include "VokListner.h"

Fanout::Fanout() {
  // Touched now, so that resident memory does not grow with the first bursts.
  memset(bufs_, 0, sizeof bufs_);
  memset(in_, 0, sizeof in_);
  memset(out_, 0, sizeof out_);
  for (int i = 0; i < kBatch; ++i) {
    in_iov_[i] = {bufs_[i], sizeof bufs_[i]};
    in_[i].msg_hdr.msg_iov = &in_iov_[i];
    in_[i].msg_hdr.msg_iovlen = 1;
    in_[i].msg_hdr.msg_name = &from_[i];
  }
}

int Fanout::receive(int fd) {
  for (int i = 0; i < kBatch; ++i) {
    in_iov_[i].iov_len = sizeof bufs_[i];
    in_[i].msg_hdr.msg_namelen = sizeof from_[i];
  }
  const int n = recvmmsg(fd, in_, kBatch, MSG_DONTWAIT, nullptr);
  if (n < 0)
    return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR ? 0 : -1;
  // From here on each iovec spans its datagram, ready to be sent on as it is.
  for (int i = 0; i < n; ++i)
    in_iov_[i].iov_len = in_[i].msg_len;
  return n;
}

void Fanout::queue(int i, VokListner* l) {
  const sockaddr_in* to = l->destination();
  if (to == nullptr)
    return;
  mmsghdr& m = out_[queued_];
  // The copy shares the received buffer; only the address differs.
  m.msg_hdr.msg_name = const_cast<sockaddr_in*>(to);
  m.msg_hdr.msg_namelen = sizeof *to;
  m.msg_hdr.msg_iov = &in_iov_[i];
  m.msg_hdr.msg_iovlen = 1;
  owner_[queued_++] = l;
}

void Fanout::flush(int fd, long long now) {
  bool retried = false;
  for (int at = 0; at < queued_;) {
    const int n = sendmmsg(fd, out_ + at, static_cast<unsigned>(queued_ - at), 0);
    if (n > 0) {
      for (int k = at; k < at + n; ++k)
        owner_[k]->count_relayed(out_[k].msg_len, now);
      relayed_ += static_cast<unsigned>(n);
      at += n;
      retried = false;
    } else if (errno == EINTR) {
      continue;
    } else if (!retried) {
      // A refusal reported for one listener fails the next send, whoever it
      // is for: take the report, and send that copy again.
      read_errors(fd);
      retried = true;
    } else {
      owner_[at++]->count_send_failure();
      retried = false;
    }
  }
  queued_ = 0;
}

void Fanout::read_errors(int fd) {
  for (;;) {
    sockaddr_in to;
    char byte;
    iovec iov = {&byte, 1};
    alignas(cmsghdr) char control[256];
    msghdr m = {};
    m.msg_name = &to;
    m.msg_namelen = sizeof to;
    m.msg_iov = &iov;
    m.msg_iovlen = 1;
    m.msg_control = control;
    m.msg_controllen = sizeof control;
    if (recvmsg(fd, &m, MSG_ERRQUEUE | MSG_DONTWAIT) < 0)
      return;
    for (cmsghdr* c = CMSG_FIRSTHDR(&m); c != nullptr; c = CMSG_NXTHDR(&m, c)) {
      if (c->cmsg_level != IPPROTO_IP || c->cmsg_type != IP_RECVERR)
        continue;
      sock_extended_err err;
      memcpy(&err, CMSG_DATA(c), sizeof err);
      const bool unreachable =
          err.ee_origin == SO_EE_ORIGIN_ICMP && err.ee_type == ICMP_DEST_UNREACH &&
          (err.ee_code == ICMP_PORT_UNREACH || err.ee_code == ICMP_HOST_UNREACH);
      if (unreachable && refused_count_ < kRefusalsMax)
        refused_[refused_count_++] = to;
    }
  }
}

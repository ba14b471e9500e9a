// fanout.cc -- announcements in by the batch (recvmmsg) and out to every listener by the batch.
#include "fanout.h"

#include <errno.h>
#include <string.h>

#include "VokListner.h"

Fanout::Fanout() {
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

void Fanout::flush(int fd) {
  int at = 0;
  while (at < queued_) {
    const int n = sendmmsg(fd, out_ + at, static_cast<unsigned>(queued_ - at), 0);
    if (n > 0) {
      for (int k = at; k < at + n; ++k)
        owner_[k]->count_relayed(out_[k].msg_len);
      at += n;
    } else if (errno != EINTR) {
      owner_[at++]->count_send_failure();
    }
  }
  queued_ = 0;
}

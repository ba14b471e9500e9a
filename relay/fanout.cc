// fanout.cc -- announcements in by the batch (recvmmsg), kept in order for the listeners.
#include "fanout.h"

#include <arpa/inet.h>
#include <errno.h>
#include <string.h>

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
    out_[i].msg_hdr.msg_iovlen = 1;
  }
}

int Fanout::receive(int fd) {
  kept_ = 0;
  for (int i = 0; i < kBatch; ++i) {
    in_iov_[i].iov_len = sizeof bufs_[i];
    in_[i].msg_hdr.msg_namelen = sizeof from_[i];
    in_[i].msg_hdr.msg_control = control_[i];
    in_[i].msg_hdr.msg_controllen = sizeof control_[i];
  }
  const int n = recvmmsg(fd, in_, kBatch, MSG_DONTWAIT, nullptr);
  if (n < 0)
    return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR ? 0 : -1;
  // From here on each iovec spans its datagram, ready to be sent on as it is.
  for (int i = 0; i < n; ++i)
    in_iov_[i].iov_len = in_[i].msg_len;
  return n;
}

namespace {

// What the header of m said of where it came in and was sent to; false when its control
// data does not tell.
bool packet_info(const msghdr& m, in_pktinfo* info) {
  msghdr* h = const_cast<msghdr*>(&m);  // the macros take no const
  for (cmsghdr* c = CMSG_FIRSTHDR(h); c != nullptr; c = CMSG_NXTHDR(h, c)) {
    if (c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_PKTINFO) {
      memcpy(info, CMSG_DATA(c), sizeof *info);
      return true;
    }
  }
  return false;
}

}  // namespace

unsigned Fanout::arrived_on(int i) const {
  in_pktinfo info;
  return packet_info(in_[i].msg_hdr, &info) ? static_cast<unsigned>(info.ipi_ifindex) : 0;
}

bool Fanout::to_group(int i) const {
  in_pktinfo info;
  return packet_info(in_[i].msg_hdr, &info) && IN_MULTICAST(ntohl(info.ipi_addr.s_addr));
}

void Fanout::keep(int i) {
  // The copy shares the received buffer; the listener's socket is connected.
  kept_from_[kept_] = i;
  out_[kept_++].msg_hdr.msg_iov = &in_iov_[i];
}

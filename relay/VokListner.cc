// VokListner.cc -- a client host and port that relayed datagrams are sent to.
#include "VokListner.h"

#include <errno.h>
#include <limits.h>
#include <stdio.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>

#include "common/protocol.h"
#include "common/signals.h"
#include "network/net.h"

namespace {

// A non-blocking UDP socket bound to port on all addresses, beside the
// request socket, and connected to dest; -1 when it cannot be had.
int connected_socket(int port, const sockaddr_in& dest) {
  const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0)
    return -1;
  const int on = 1;
  sockaddr_in here = {};
  here.sin_family = AF_INET;
  here.sin_port = htons(static_cast<uint16_t>(port));
  if (setsockopt(fd, SOL_SOCKET, SO_REUSEPORT, &on, sizeof on) < 0 ||
      setsockopt(fd, IPPROTO_IP, IP_RECVERR, &on, sizeof on) < 0 ||
      bind(fd, reinterpret_cast<sockaddr*>(&here), sizeof here) < 0 ||
      connect(fd, reinterpret_cast<const sockaddr*>(&dest), sizeof dest) < 0) {
    close(fd);
    return -1;
  }
  return fd;
}

// A send that failed because of an ICMP report read since: worth one more try.
bool refusal_pending(int err) {
  return err == ECONNREFUSED || err == EHOSTUNREACH || err == ENETUNREACH;
}

}  // namespace

VokListner* VokListner::make(const char* name, int port, const Admission& how) {
  if (!printable_word(name, strnlen(name, kMaxId + 1)))
    return nullptr;
  return new VokListner(name, port, how);
}

VokListner::VokListner(const char* name, int port, const Admission& how) : port(port), how_(how) {
  snprintf(id, sizeof id, "%s", name);
  memset(&to, 0, sizeof to);
  to.sin_family = AF_INET;
  to.sin_port = htons(static_cast<uint16_t>(port));
}

VokListner::~VokListner() {
  if (sock >= 0)
    close(sock);
}

void VokListner::set_address(in_addr_t addr) {
  if (sock >= 0 && addr == to.sin_addr.s_addr)
    return;
  to.sin_addr.s_addr = addr;
  // A socket already made is connected anew: it is never left unconnected
  // beside the request socket, where it could take a request.
  if (sock >= 0 && connect(sock, reinterpret_cast<const sockaddr*>(&to), sizeof to) < 0) {
    close(sock);
    sock = -1;
  }
  if (sock < 0)
    sock = connected_socket(kRequestPort, to);
}

void VokListner::count_sent(unsigned bytes, long long now, bool relaying) {
  relayed += relaying;
  relayed_bytes += relaying ? bytes : 0;
  if (sent_unrefused < 0)
    sent_unrefused = now;
}

void VokListner::count_failures(int n) {
  send_failures += static_cast<unsigned>(n);
  if (next_lookup > looked_up + 1000)
    next_lookup = looked_up + 1000;
}

void VokListner::send_msg(int, const char* msg, int len) {
  iovec iov = {const_cast<char*>(msg), static_cast<size_t>(len)};
  mmsghdr m = {};
  m.msg_hdr.msg_iov = &iov;
  m.msg_hdr.msg_iovlen = 1;
  send_batch(&m, 1, now_ms(), false);  // no time is passed in: the refusal counts need one
}

int VokListner::send_batch(mmsghdr* msgs, int n, long long now, bool relaying) {
  if (destination() == nullptr)
    return 0;
  if (sock < 0) {
    count_failures(n);
    return 0;
  }
  bool retried = false;
  int at = 0;
  while (at < n) {
    const int sent = sendmmsg(sock, msgs + at, static_cast<unsigned>(n - at), MSG_DONTWAIT);
    if (sent > 0) {
      for (int k = at; k < at + sent; ++k)
        count_sent(msgs[k].msg_len, now, relaying);
      at += sent;
      retried = false;
    } else if (errno == EINTR) {
      continue;
    } else if (refusal_pending(errno) && !retried) {
      read_errors(now);
      retried = true;
    } else if (errno == EAGAIN || errno == EWOULDBLOCK || errno == ENOBUFS) {
      break;  // the rest would not fit either
    } else {
      count_failures(1);
      ++at;
      retried = false;
    }
  }
  if (at < n)
    count_failures(n - at);
  return at;
}

bool VokListner::read_errors(long long now) {
  char byte;
  while (sock >= 0 && recv(sock, &byte, 1, MSG_DONTWAIT) >= 0) {
  }
  for (int report; sock >= 0 && (report = net_read_refusal(sock, nullptr)) >= 0;) {
    if (report == 1)
      dead = refused(now) || dead;
  }
  return dead;
}

bool VokListner::refused(long long now) {
  ++refusals;
  if (refused_since < 0 || (sent_unrefused >= 0 && now - sent_unrefused >= kAliveMs))
    refused_since = now;
  sent_unrefused = -1;
  const bool shows_alive = invited_self_ >= 0 && now - invited_self_ < kShowsAliveMs;
  return !from_command_line() && !shows_alive && now - refused_since >= kDeadMs;
}

int VokListner::on(Event e, long long now, std::optional<in_addr_t> address) {
  switch (e) {
    case kAdmitted:
      admitted_ = refreshed_ = now;
      stage = how_.origin == Admission::kInvited ? kNew : kServed;
      return kLookUp;
    case kResolved:
      resolving_ = false;
      // A name that did not resolve keeps the old address, so a name server
      // that fails for a while costs nothing.
      if (address)
        set_address(*address);
      if (stage == kNew && address && invited_from(*address))
        invited_self_ = admitted_;
      next_lookup = now + (destination() != nullptr ? kRefreshMs : kRetryMs);
      if (stage != kNew || destination() == nullptr)
        return 0;  // the answer waits for an address
      stage = how_.replays ? kReplaying : kServed;
      replay_due = now;
      return kAnswer | (how_.replays ? kStartReplay : kWelcome);
    case kRefreshed:  // only ever from its own address
      refreshed_ = invited_self_ = now;
      return 0;
    case kTimer: {
      if (how_.expires_ms > 0 && now - refreshed_ >= how_.expires_ms)
        return kExpire;
      int todo = !resolving_ && next_lookup <= now ? kLookUp : 0;
      if (stage == kReplaying && replay_due <= now) {
        replay_due = now + kReplayPauseMs;
        todo |= kReplayStep;
      }
      return todo;
    }
    case kReplayed:
      stage = kServed;
      return kWelcome;
  }
  return 0;
}

void VokListner::looking_up(unsigned tag, long long now) {
  resolving_ = true;
  lookup_ = tag;
  looked_up = now;
}

long long VokListner::due() const {
  long long at = resolving_ ? LLONG_MAX : next_lookup;
  if (how_.expires_ms > 0)
    at = std::min(at, refreshed_ + how_.expires_ms);
  return stage == kReplaying ? std::min(at, replay_due) : at;
}

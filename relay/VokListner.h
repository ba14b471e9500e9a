// VokListner.h -- a client host and port that relayed datagrams are sent to, through a
// socket of its own.
#ifndef VOK_RELAY_VOK_LISTNER_H
#define VOK_RELAY_VOK_LISTNER_H

#include <netinet/in.h>
#include <sys/socket.h>

#include "EventsDismisser.h"
#include "common/protocol.h"

class VokListner : public Listener {
 public:
  // Longest host name a listener can carry, as a request can: longer names are
  // refused, never cut, since a cut name would be some other host.
  static const int kMaxId = Request::kWordMax;

  // A new listener with no address yet, or null when name is not a
  // printable_word (empty, longer than kMaxId, or with other bytes).
  static VokListner* make(const char* name, int port);
  ~VokListner() override;

  void send_msg(int fd, const char* msg, int len) override;
  const char* get_id() const override { return id; }
  // Sends on its socket, connected to its address, so that a slow link fills only its own
  // send buffer. A refusal pending from an earlier send is read and the copy sent again; a
  // full send buffer fails the rest of the batch.
  int send_batch(mmsghdr* msgs, int n) override;
  // Its socket is bound to kRequestPort beside the request socket and connected to addr.
  // Where it cannot be connected (no route), sends fail, counted, until a later address
  // connects it.
  void set_address(const Address& addr) override;
  // Its socket, where ICMP reports about it arrive alone; -1 while it has no address, or
  // none that can be reached.
  int fd() const override { return sock; }
  // Reads the ICMP reports queued on its socket, counting refusals, and drops any datagram
  // that arrived there.
  void read_reports() override;
  const Counts& counts() const override { return counts_; }

 private:
  VokListner(const char* name, int port);
  int send(mmsghdr* msgs, int n, bool relaying);

  char id[kMaxId + 1];
  int sock = -1;
  sockaddr_in to;
  Counts counts_ = {};
};

#endif

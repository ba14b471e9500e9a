// upstreams.h -- the relays this one registers with (-u): it invites itself as a client does,
// until answered and then every minute, stops as it ends, and takes their unicast feed.
#ifndef VOK_RELAY_UPSTREAMS_H
#define VOK_RELAY_UPSTREAMS_H

#include <netinet/in.h>

#include <string>
#include <vector>

class Upstreams {
 public:
  static const long long kRetryMs = 2000;       // invitations until the first answer
  static const long long kKeepMs = 60 * 1000;   // and then, so that -e there keeps it
  static const long long kOtherGraceMs = kRetryMs / 2;  // RELAY's own answer's head start

  // Adds "[NAME@]RELAY" (NAME: this host's name); false when NAME is not a
  // name a request can carry or RELAY is empty.
  bool add(const char* text);
  bool empty() const { return list_.empty(); }
  // Resolves each RELAY; false, with its name in *bad, when one has no address.
  bool resolve(std::string* bad);
  // Sends from fd the invitations due at now; when the next one is due.
  long long invite(int fd, long long now);
  // True when text (len bytes) from from, at now (ms), is an upstream's answer,
  // from its port 6012: at its address or, while that has never answered,
  // another; *said is what to log when it registers.
  bool answered(const char* text, size_t len, const sockaddr_in& from, long long now,
                std::string* said);
  // True when from is an upstream's port 6012, at an address that answered or its own.
  bool feeds(const sockaddr_in& from) const;
  // Sends each its Stop.
  void stop(int fd) const;

 private:
  struct Upstream {
    std::string name, host;
    in_addr_t addr = 0;           // RELAY's address
    in_addr_t answered_from = 0;  // where its answer came from, or 0
    in_addr_t other_from = 0;     // the first answer from another address, not yet taken
    long long other_at = 0;
    bool registered = false;
    long long due = 0;
  };
  void send(int fd, const Upstream& u, const char* keyword) const;
  std::vector<Upstream> list_;
};

#endif

// EventsDismisser.h -- fixed-capacity, ordered registry of the listeners datagrams go to.
#ifndef VOK_RELAY_EVENTS_DISMISSER_H
#define VOK_RELAY_EVENTS_DISMISSER_H

#include "common/address.h"

struct mmsghdr;

// A destination for relayed datagrams, known by its identity string.
class Listener {
 public:
  // What it has been sent, for the statistics and for the rules that read them.
  struct Counts {
    unsigned long sent;     // datagrams that went, of any kind
    unsigned long relayed;  // announcements that went, and their bytes
    unsigned long bytes;
    unsigned long failures;  // datagrams that could not go
    unsigned long refusals;  // reports that nothing listens there
  };

  Listener() = default;
  virtual ~Listener() = default;
  // One datagram that is not an announcement (a replay's); fd is not used by a listener
  // with a socket of its own.
  virtual void send_msg(int fd, const char* msg, int len) = 0;
  virtual const char* get_id() const = 0;
  // The n announcements of msgs (no addresses), in order, in one call where it can; how
  // many went. Nothing goes while it has no address.
  virtual int send_batch(mmsghdr* msgs, int n) = 0;
  // Where its datagrams go from now on (the port is its own).
  virtual void set_address(const Address& addr) = 0;
  // A descriptor readable when reports about it wait, or -1; read_reports() takes them.
  virtual int fd() const { return -1; }
  virtual void read_reports() {}
  virtual const Counts& counts() const = 0;

  Listener(const Listener&) = delete;
  Listener& operator=(const Listener&) = delete;
};

// Holds listeners in order of admission; does not own them.
class EventsDismisser {
 public:
  explicit EventsDismisser(int size);
  ~EventsDismisser();

  // 1 when a is admitted: not null, identity not yet registered, a slot free.
  int new_listener(Listener* a);
  // Removes the listener with that identity, keeping the others' order;
  // false when none has it. The removed listener is handed back in *removed.
  bool remove_listener(const char* listner_id, Listener** removed = nullptr);

  // Sends the batch to every listener, in order of admission; how many datagrams went.
  int send_event(mmsghdr* msgs, int n) const;

  int count() const { return static_cast<int>(p_listener - listener_list); }
  Listener* at(int i) const { return listener_list[i]; }

  EventsDismisser(const EventsDismisser&) = delete;
  EventsDismisser& operator=(const EventsDismisser&) = delete;

 private:
  // Slot index of the listener with that identity, or -1.
  int exist(const char* listner_id) const;

  Listener** listener_list;
  Listener** p_listener;
  int sz;
};

#endif

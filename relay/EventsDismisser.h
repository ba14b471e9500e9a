// EventsDismisser.h -- fixed-capacity, ordered registry of the listeners datagrams go to.
#ifndef VOK_RELAY_EVENTS_DISMISSER_H
#define VOK_RELAY_EVENTS_DISMISSER_H

// A destination for relayed datagrams, known by its identity string.
class Listener {
 public:
  Listener() = default;
  virtual ~Listener() = default;
  virtual void send_msg(int fd, const char* msg, int len) = 0;
  virtual const char* get_id() const = 0;

  Listener(const Listener&) = delete;
  Listener& operator=(const Listener&) = delete;
};

// Holds listeners in order of admission; does not own them. The loop sends
// to them in that order, by the batch.
class EventsDismisser {
 public:
  explicit EventsDismisser(int size);
  ~EventsDismisser();

  // 1 when a is admitted: not null, identity not yet registered, a slot free.
  int new_listener(Listener* a);
  // Removes the listener with that identity, keeping the others' order;
  // false when none has it. The removed listener is handed back in *removed.
  bool remove_listener(const char* listner_id, Listener** removed = nullptr);

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

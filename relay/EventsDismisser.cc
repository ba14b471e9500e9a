// EventsDismisser.cc -- fixed-capacity, ordered registry of the listeners datagrams go to.
#include "EventsDismisser.h"

#include <string.h>

EventsDismisser::EventsDismisser(int size)
    : listener_list(new Listener*[size > 0 ? size : 0]),
      p_listener(listener_list),
      sz(size > 0 ? size : 0) {}

EventsDismisser::~EventsDismisser() {
  delete[] listener_list;
}

int EventsDismisser::new_listener(Listener* a) {
  if (a == nullptr || count() >= sz || exist(a->get_id()) >= 0)
    return 0;
  *p_listener++ = a;
  return 1;
}

bool EventsDismisser::remove_listener(const char* listner_id, Listener** removed) {
  const int i = exist(listner_id);
  if (i < 0)
    return false;
  if (removed != nullptr)
    *removed = listener_list[i];
  Listener** slot = listener_list + i;
  memmove(slot, slot + 1, static_cast<size_t>(p_listener - slot - 1) * sizeof *slot);
  --p_listener;
  return true;
}

int EventsDismisser::send_event(mmsghdr* msgs, int n) const {
  int sent = 0;
  for (Listener** l = listener_list; l != p_listener && n > 0; ++l)
    sent += (*l)->send_batch(msgs, n);
  return sent;
}

int EventsDismisser::exist(const char* listner_id) const {
  for (Listener** l = listener_list; l != p_listener; ++l) {
    if (strcmp((*l)->get_id(), listner_id) == 0)
      return static_cast<int>(l - listener_list);
  }
  return -1;
}

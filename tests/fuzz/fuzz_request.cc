// fuzz_request.cc -- control requests, as datagrams, driving the listener registry.
// The input is a run of datagrams separated by NUL bytes (the relay reads a
// request only up to its first NUL, so nothing is lost by splitting there).
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <string>

#include "EventsDismisser.h"
#include "VokListner.h"
#include "request.h"

namespace {

const int kCapacity = 4;
const size_t kDatagramMax = 2048;

// The registry must hold at most kCapacity distinct, whole, printable one-word names.
void check(const EventsDismisser& ed) {
  if (ed.count() < 0 || ed.count() > kCapacity)
    abort();
  for (int i = 0; i < ed.count(); ++i) {
    const char* id = ed.at(i)->get_id();
    const size_t len = strlen(id);
    if (len == 0 || len > static_cast<size_t>(VokListner::kMaxId))
      abort();
    for (size_t k = 0; k < len; ++k) {
      if (id[k] < 0x21 || id[k] > 0x7e)
        abort();
    }
    for (int j = 0; j < i; ++j) {
      if (strcmp(id, ed.at(j)->get_id()) == 0)
        abort();
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  EventsDismisser ed(kCapacity, -1);
  char buffer[kDatagramMax + 1];
  const char* p = reinterpret_cast<const char*>(data);
  const char* end = p + size;
  while (p < end) {
    const char* nul = static_cast<const char*>(memchr(p, '\0', static_cast<size_t>(end - p)));
    const char* stop = nul != nullptr ? nul : end;
    // Read as the relay reads: at most 2048 bytes, then a terminating NUL.
    const size_t n = std::min(static_cast<size_t>(stop - p), kDatagramMax);
    memcpy(buffer, p, n);
    buffer[n] = '\0';
    const int before = ed.count();
    Request r;
    switch (apply_request(buffer, ed, 9875, &r)) {
      case RequestResult::kAdmitted:
        if (ed.count() != before + 1 || strcmp(ed.at(before)->get_id(), r.name) != 0)
          abort();
        break;
      case RequestResult::kRemoved:
        if (ed.count() != before - 1)
          abort();
        for (int i = 0; i < ed.count(); ++i) {
          if (strcmp(ed.at(i)->get_id(), r.name) == 0)
            abort();
        }
        break;
      case RequestResult::kRefused:
      case RequestResult::kIgnored:
        if (ed.count() != before)
          abort();
        break;
    }
    check(ed);
    p = stop + 1;
  }
  while (ed.count() > 0) {
    Request r;
    std::string stop = std::string("Stop_vok_relay ") + ed.at(0)->get_id();
    apply_request(stop.c_str(), ed, 9875, &r);
  }
  return 0;
}

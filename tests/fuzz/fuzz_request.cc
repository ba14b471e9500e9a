// fuzz_request.cc -- control requests, as datagrams, driving the listener registry.
// The input is a run of datagrams separated by NUL bytes (the relay reads a
// request only up to its first NUL, so nothing is lost by splitting there).
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <string>

#include "EventsDismisser.h"
#include "VokListner.h"
#include "request.h"

namespace {

void check(bool ok) {
  if (!ok)
    abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  EventsDismisser ed(4, -1);
  char buffer[2048 + 1];
  const char* end = reinterpret_cast<const char*>(data) + size;
  for (const char* p = reinterpret_cast<const char*>(data); p < end;) {
    const char* nul = static_cast<const char*>(memchr(p, '\0', static_cast<size_t>(end - p)));
    const char* stop = nul != nullptr ? nul : end;
    // Read as the relay reads: at most 2048 bytes, then a terminating NUL.
    const size_t n = std::min(static_cast<size_t>(stop - p), sizeof buffer - 1);
    memcpy(buffer, p, n);
    buffer[n] = '\0';
    p = stop + 1;
    const int before = ed.count();
    Request r;
    const RequestResult result = apply_request(buffer, ed, 9875, &r);
    // Admissions and removals as reported, of the name reported.
    check(ed.count() == before + (result == RequestResult::kAdmitted) -
                            (result == RequestResult::kRemoved));
    if (result == RequestResult::kAdmitted)
      check(strcmp(ed.at(before)->get_id(), r.name) == 0);
    // At most four distinct, whole, printable one-word names.
    check(ed.count() <= 4);
    for (int i = 0; i < ed.count(); ++i) {
      const std::string id = ed.at(i)->get_id();
      check(!id.empty() && id.size() <= static_cast<size_t>(VokListner::kMaxId) &&
            std::all_of(id.begin(), id.end(), [](char c) { return c > 0x20 && c < 0x7f; }) &&
            (result != RequestResult::kRemoved || id != r.name));
      for (int j = 0; j < i; ++j)
        check(id != ed.at(j)->get_id());
    }
  }
  while (ed.count() > 0) {  // what is left is released: the leak checker sees the rest
    Request r;
    apply_request((std::string("Stop_vok_relay ") + ed.at(0)->get_id()).c_str(), ed, 9875, &r);
  }
  return 0;
}

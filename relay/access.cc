// access.cc -- the networks allowed to ask, and each source's budget of requests.
#include "access.h"

#include <arpa/inet.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <string>

#include "common/address.h"
#include "local_addrs.h"

bool Networks::add(const char* text) {
  if (strcmp(text, "local") == 0) {
    local_ = true;
    return true;
  }
  const char* slash = strchr(text, '/');
  const std::string quad = slash != nullptr ? std::string(text, slash) : text;
  long len = 32;
  if (slash != nullptr) {
    char* end;
    len = strtol(slash + 1, &end, 10);
    if (slash[1] < '0' || slash[1] > '9' || *end != '\0' || len > 32)
      return false;
  }
  Address a;
  if (!parse_address(quad.c_str(), &a))
    return false;
  const in_addr_t mask = len == 0 ? 0 : htonl(~0u << (32 - len));
  nets_.push_back({a.v4() & mask, mask});
  return true;
}

bool Networks::allows(in_addr_t addr, const LocalAddrs& local) const {
  if (empty() || (local_ && local.on_link(addr)))
    return true;
  return std::any_of(nets_.begin(), nets_.end(),
                     [addr](const Net& n) { return (addr & n.mask) == n.addr; });
}

bool Budgets::take(in_addr_t addr, long long now) {
  // Fibonacci hashing: the product's top bits depend on every bit of the address.
  Slot& s = slots_[static_cast<uint32_t>(ntohl(addr) * 2654435761u) >> (32 - kSlotBits)];
  // Sources that share a slot share its bucket: taking turns earns neither a fresh one.
  if (s.at == 0)
    s.credit_ms = kBurst * kCostMs;
  else
    s.credit_ms = std::min(kBurst * kCostMs, s.credit_ms + (now - s.at));
  s.at = now;
  if (s.credit_ms < kCostMs)
    return false;
  s.credit_ms -= kCostMs;
  return true;
}

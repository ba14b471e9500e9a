// resolver.cc -- host-name lookups on helper threads, handed back to the loop through a descriptor.
#include "resolver.h"

#include <string.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

#include "network/net.h"

namespace {

struct Job {
  unsigned tag;
  char name[256];
};

struct Done {
  unsigned tag;
  in_addr_t addr;
};

// What the loop and the workers share. Never destroyed: a worker may still
// be waiting on a name server when the process exits.
struct Shared {
  std::mutex mu;
  std::condition_variable work;
  std::deque<Job> jobs;
  std::deque<Done> done;
  int workers = 0;
  int idle = 0;
  int wake = -1;
};

Shared* shared = nullptr;

void worker() {
  std::unique_lock<std::mutex> lock(shared->mu);
  for (;;) {
    ++shared->idle;
    shared->work.wait(lock, [] { return !shared->jobs.empty(); });
    --shared->idle;
    const Job job = shared->jobs.front();
    shared->jobs.pop_front();
    lock.unlock();
    const in_addr_t addr = static_cast<in_addr_t>(net_get_addr(job.name));
    lock.lock();
    shared->done.push_back({job.tag, addr});
    const uint64_t one = 1;
    const ssize_t n = write(shared->wake, &one, sizeof one);  // cannot fail: the count is small
    (void)n;
  }
}

}  // namespace

bool Resolver::open() {
  if (shared == nullptr)
    shared = new Shared;
  shared->wake = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  return shared->wake >= 0;
}

int Resolver::fd() const { return shared->wake; }

void Resolver::lookup(unsigned tag, const char* name) {
  Job job;
  job.tag = tag;
  if (strlen(name) >= sizeof job.name)
    return;
  strcpy(job.name, name);
  std::lock_guard<std::mutex> lock(shared->mu);
  shared->jobs.push_back(job);
  if (shared->jobs.size() > static_cast<size_t>(shared->idle) && shared->workers < kWorkers) {
    ++shared->workers;
    std::thread(worker).detach();
  }
  shared->work.notify_one();
}

bool Resolver::take(unsigned* tag, in_addr_t* addr) {
  std::lock_guard<std::mutex> lock(shared->mu);
  if (shared->done.empty()) {
    uint64_t count;
    const ssize_t n = read(shared->wake, &count, sizeof count);  // fails only when already zero
    (void)n;
    return false;
  }
  *tag = shared->done.front().tag;
  *addr = shared->done.front().addr;
  shared->done.pop_front();
  return true;
}

// resolver.cc -- host-name lookups on helper threads, handed back to the loop through a descriptor.
#include "resolver.h"

#include <arpa/inet.h>
#include <pthread.h>
#include <stdio.h>
#include <string.h>
#include <strings.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <mutex>

#include "network/net.h"

namespace {

struct Job {
  unsigned tag;
  bool registered;
  char name[256];
};

const char kHostsFile[] = "/etc/hosts";

// A lookup needs little stack; many threads waiting on a name server then
// cost little memory.
const size_t kStack = 256 * 1024;

}  // namespace

// What the loop and the workers share.
struct Resolver::Shared {
  std::mutex mu;
  std::condition_variable work;
  std::deque<Job> jobs;  // at most one per listener
  std::deque<Answer> done;
  int workers = 0;
  int idle = 0;
  int busy_new = 0;  // lookups under way for names not yet answered, orphaned ones included
  int wake = -1;

  // The next job a worker may take: a registered client's first; a new name's
  // only while fewer than kWorkers of those are under way.
  std::deque<Job>::iterator next_job() {
    const auto reg =
        std::find_if(jobs.begin(), jobs.end(), [](const Job& j) { return j.registered; });
    if (reg != jobs.end() || busy_new >= kWorkers)
      return reg;
    return jobs.begin();
  }
  // Queues an answer and wakes the loop; the caller holds mu.
  void answer(unsigned tag, const Address& addr) {
    done.push_back({tag, addr});
    const uint64_t one = 1;
    const ssize_t n = write(wake, &one, sizeof one);  // cannot fail: the count is small
    (void)n;
  }
  // How many queued jobs could start now.
  int startable() const {
    int reg = 0;
    for (const Job& j : jobs)
      reg += j.registered;
    const int fresh = static_cast<int>(jobs.size()) - reg;
    return reg + std::min(fresh, std::max(0, kWorkers - busy_new));
  }
};

namespace {

void* worker(void* arg) {
  auto* s = static_cast<Resolver::Shared*>(arg);
  std::unique_lock<std::mutex> lock(s->mu);
  for (;;) {
    ++s->idle;
    s->work.wait(lock, [s] { return s->next_job() != s->jobs.end(); });
    --s->idle;
    const auto it = s->next_job();
    const Job job = *it;
    s->jobs.erase(it);
    s->busy_new += !job.registered;
    lock.unlock();
    // Nothing is written: a name that does not resolve shows as not found.
    in_addr_t addr = 0;
    const bool found = net_find_addr(job.name, &addr) == 0;
    lock.lock();
    s->busy_new -= !job.registered;
    s->answer(job.tag, found ? Address::ipv4(addr) : Address());
    s->work.notify_all();  // a new name's job may be startable now
  }
  return nullptr;
}

// The first IPv4 address that the hosts file at path gives name (letter case
// aside), in *addr; false when it gives none.
bool hosts_file_addr(const char* path, const char* name, Address* addr) {
  FILE* f = fopen(path, "re");
  if (f == nullptr)
    return false;
  bool found = false;
  char line[1024];
  while (!found && fgets(line, sizeof line, f) != nullptr) {
    line[strcspn(line, "#\n")] = '\0';
    char* save;
    const char* text = strtok_r(line, " \t", &save);
    if (text == nullptr || !parse_address(text, addr))
      continue;
    for (const char* n; !found && (n = strtok_r(nullptr, " \t", &save)) != nullptr;)
      found = strcasecmp(n, name) == 0;
  }
  fclose(f);
  return found;
}

}  // namespace

bool Resolver::open() {
  if (shared_ == nullptr)
    shared_ = new Shared;
  if (shared_->wake < 0)
    shared_->wake = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  return shared_->wake >= 0;
}

int Resolver::fd() const { return shared_->wake; }

void Resolver::lookup(unsigned tag, const char* name, bool registered) {
  Job job;
  job.tag = tag;
  job.registered = registered;
  if (strlen(name) >= sizeof job.name)
    return;
  strcpy(job.name, name);
  // Looser forms of numbers (0x7f.1, 2130706433) go to the system's reading, on a thread.
  Address quad;
  const bool at_once = parse_address(name, &quad) || hosts_file_addr(kHostsFile, name, &quad);
  std::lock_guard<std::mutex> lock(shared_->mu);
  if (at_once) {
    shared_->answer(tag, quad);
    return;
  }
  shared_->jobs.push_back(job);
  if (shared_->startable() > shared_->idle && shared_->workers < kWorkers + kReserved) {
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setstacksize(&attr, kStack);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    pthread_t t;
    // Without a new thread the job waits for one that is free.
    if (pthread_create(&t, &attr, worker, shared_) == 0)
      ++shared_->workers;
    pthread_attr_destroy(&attr);
  }
  shared_->work.notify_all();
}

void Resolver::cancel(unsigned tag) {
  std::lock_guard<std::mutex> lock(shared_->mu);
  auto& jobs = shared_->jobs;
  jobs.erase(std::remove_if(jobs.begin(), jobs.end(), [tag](const Job& j) { return j.tag == tag; }),
             jobs.end());
}

bool Resolver::take(Answer* answer) {
  std::lock_guard<std::mutex> lock(shared_->mu);
  if (shared_->done.empty()) {
    uint64_t count;
    const ssize_t n = read(shared_->wake, &count, sizeof count);  // fails only when already zero
    (void)n;
    return false;
  }
  *answer = shared_->done.front();
  shared_->done.pop_front();
  return true;
}

// rules_test.cc -- the relay's rules on a clock the test holds: admission, owners, lookups'
// answers, expiry, refusals, replay pacing, budgets, the clients file, what is relayed.
#include <arpa/inet.h>
#include <stdlib.h>

#include <map>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "local_addrs.h"
#include "relay.h"
#include "sap_datagram.h"

namespace {

// Host n of the test's network is 10.0.0.n; this host is 10.0.0.1 (and 127.0.0.1).
in_addr_t host(const std::string& n) {
  return n.find('.') != std::string::npos ? inet_addr(n.c_str()) : htonl(0x0a000000u + stoul(n));
}

class FakeListener;

// Everything the relay does to the world, in order, as text: "log LINE", "reply NAME to N",
// "lookup NAME", "keep NAME,...", and each listener's own ("NAME at N", "NAME replay BYTES").
struct FakeWorld : Outside {
  Listener* listener(const char* name, int port) override;
  void reply(const Address& addr, const std::string& text) override {
    done.push_back("reply " + text.substr(text.rfind(' ') + 1) + " to " + num(addr));
  }
  void look_up(unsigned tag, const char* name, bool) override {
    pending[name] = tag;
    done.push_back(std::string("lookup ") + name);
  }
  void cancel(unsigned tag) override { done.push_back("cancel " + std::to_string(tag)); }
  void log(const std::string& line) override { done.push_back("log " + line); }
  void keep(const std::vector<KeptClient>& clients) override {
    std::string names;
    for (const KeptClient& c : clients)
      names += (names.empty() ? "" : ",") + c.name;
    done.push_back("keep " + names);
  }
  static std::string num(const Address& a) { return std::to_string(ntohl(a.v4()) & 0xff); }

  std::vector<std::string> done;
  std::map<std::string, unsigned> pending;  // each name's last lookup
  std::map<std::string, FakeListener*> listeners;
};

class FakeListener : public Listener {
 public:
  FakeListener(FakeWorld& w, const char* name) : w_(w), id_(name) { w_.listeners[id_] = this; }
  ~FakeListener() override { w_.listeners.erase(id_); }
  void send_msg(int, const char* msg, int len) override {  // told by its last line
    ++counts_.sent;
    const std::string d(msg, static_cast<size_t>(len));
    w_.done.push_back(id_ + " replay " + d.substr(d.find_last_of(std::string("\n\0", 2)) + 1));
  }
  const char* get_id() const override { return id_.c_str(); }
  int send_batch(mmsghdr*, int n) override {
    counts_.sent += static_cast<unsigned>(n);
    return n;
  }
  void set_address(const Address& addr) override { w_.done.push_back(id_ + " at " + w_.num(addr)); }
  const Counts& counts() const override { return counts_; }
  Counts counts_ = {};

 private:
  FakeWorld& w_;
  std::string id_;
};

Listener* FakeWorld::listener(const char* name, int) {
  return new FakeListener(*this, name);
}

// A relay and its world, driven by a script of words:
//   @T        the clock is at T ms (Ts: seconds) and the relay's timers run
//   +NAME/N   an invitation for NAME from host N;  -NAME/N  a stop
//   NAME=N    NAME's lookup answers host N (or a dotted quad);  NAME=?  finds nothing
//   !NAME     a refusal reported about NAME;  >NAME  a datagram sent to it;  xNAME  a failure
//   <D/N:P    datagram D (a letter; "sapK", "delK": session K announced, deleted) from N:P,
//             to the group;  ~D/N:P  the same by unicast
//   &/N:P     the answer of the upstream (-u up@10.0.0.7) from N:P
// What the relay did is compared with the row's expected lines, "log " left out of them.
struct Rules {
  explicit Rules(const Relay::Config& c = {}, long long start = 0)
      : relay(c, world, local, start), now(start) {
    local.take({{1, "lo", true, true, {{inet_addr("127.0.0.1"), inet_addr("255.0.0.0"), 0}}},
                {2, "eth0", true, false, {{host("1"), inet_addr("255.255.255.0"), 0}}}},
               true);
  }
  // The relay's doings since the last run, then of the script, "; " between them.
  std::string run(const std::string& script) {
    std::istringstream in(script);
    for (std::string w; in >> w;)
      step(w);
    std::string text;
    for (const std::string& d : world.done)
      text += (text.empty() ? "" : "; ") + (d.compare(0, 4, "log ") == 0 ? d.substr(4) : d);
    world.done.clear();
    return text;
  }
  void step(const std::string& w) {
    const size_t slash = w.find('/'), eq = w.find('=');
    sockaddr_in from = {};
    from.sin_port = htons(kRequestPort);
    if (slash != std::string::npos)
      from.sin_addr.s_addr = host(w.substr(slash + 1, w.find(':') - slash - 1));
    if (w.find(':') != std::string::npos)
      from.sin_port = htons(static_cast<uint16_t>(atoi(w.c_str() + w.find(':') + 1)));
    if (w[0] == '@') {
      now = atoll(w.c_str() + 1) * (w.back() == 's' ? 1000 : 1);
      relay.run_timers(now);
    } else if (w[0] == '&') {
      relay.request("Reply Invite_vok_relay up", 25, from, now);
    } else if (w[0] == '+' || w[0] == '-') {
      const std::string text =
          (w[0] == '+' ? "Invite_vok_relay " : "Stop_vok_relay ") + w.substr(1, slash - 1);
      relay.request(text.c_str(), text.size(), from, now);
    } else if (eq != std::string::npos) {
      const std::string to = w.substr(eq + 1);
      relay.resolved(world.pending[w.substr(0, eq)],
                     to != "?" ? Address::ipv4(host(to)) : Address(), now);
    } else if (w[0] == '!' || w[0] == '>' || w[0] == 'x') {
      Listener::Counts& c = world.listeners.at(w.substr(1))->counts_;
      ++(w[0] == '!' ? c.refusals : w[0] == '>' ? c.sent : c.failures);
      relay.notice(now);
    } else if (w[0] == '<' || w[0] == '~') {
      const bool sap = w.compare(1, 3, "sap") == 0, del = w.compare(1, 3, "del") == 0;
      const std::string d = sap || del
                                ? sap_datagram(sap ? 0x20 : 0x24, static_cast<uint16_t>(w[4]),
                                               "10.0.0.9", sap ? "v=0\r\ns=" + w.substr(4, 1) : "")
                                : std::string(20, w[1]);
      const bool kept =
          relay.admits(0, {d.data(), static_cast<int>(d.size()), from, w[0] == '<', false}, now);
      world.done.push_back(kept ? "relayed" : "dropped");
    }
  }

  FakeWorld world;
  LocalAddrs local;
  Relay relay;
  long long now;
};

Relay::Config config(const std::string& options) {
  Relay::Config c;
  c.loadcache = options.find("loadcache") != std::string::npos;
  c.expire_s = options.find("e60") != std::string::npos ? 60 : 0;
  if (options.find("a10") != std::string::npos)
    c.allowed.add("10.0.0.0/8");
  std::string unknown;
  if (options.find("u7") != std::string::npos) {
    EXPECT_TRUE(c.upstreams.add("up@10.0.0.7") && c.upstreams.resolve(&unknown));
  }
  return c;
}

// Each row: the relay's options, a script, and what the relay does: a client's life from its
// invitation to its removal, what is relayed, and what a new client gets first.
TEST(RulesTest, AClientsLifeAndWhatIsRelayed) {
  const struct {
    const char *options, *script, *done;
  } rows[] = {
      // No address yet: asked again every 5 s, then once a minute; a new address is taken.
      {"", "+alpha/2 @1 alpha=? @5000 @5001 alpha=? @10001 alpha=3 @70000 @70001 alpha=4",
       "lookup alpha; keep alpha; lookup alpha; lookup alpha; alpha at 3; reply alpha to 3; "
       "a new client [alpha]; lookup alpha; alpha at 4"},
      // A failed send asks again a second after the last lookup.
      {"", "+alpha/2 alpha=2 @500 xalpha @999 @1000",
       "lookup alpha; alpha at 2; reply alpha to 2; a new client [alpha]; keep alpha; "
       "lookup alpha"},
      // Owners: a stranger can neither stop nor keep; who invited may stop; the client may.
      {"e60", "+alpha/3 alpha=2 -alpha/9 +alpha/9 @60s +alpha/2 @124s -alpha/3",
       "lookup alpha; alpha at 2; reply alpha to 2; a new client [alpha]; lookup alpha; "
       "keep alpha; client [alpha] quit; cancel 2"},
      // Expiry, a minute after the last invitation and its slack; the file follows a second
      // after the last write.
      {"e60", "+alpha/3 alpha=2 @64999 @65000 @65998 @65999",
       "lookup alpha; alpha at 2; reply alpha to 2; a new client [alpha]; lookup alpha; "
       "keep alpha; client [alpha] expired; cancel 2; keep "},
      // Addresses that reach many hosts, or lie outside -a, or are served already.
      {"", "+alpha/2 alpha=224.2.127.254 +beta/2 beta=10.0.0.255",
       "lookup alpha; client [alpha] not served: a group or broadcast address; "
       "lookup beta; client [beta] not served: a group or broadcast address"},
      {"a10", "+alpha/2 alpha=192.168.1.2 +10.0.0.255/2 +ALPHA/2 ALPHA=2 +alpha/2 alpha=2",
       "lookup alpha; client [alpha] not served: outside the allowed networks; lookup ALPHA; "
       "ALPHA at 2; reply ALPHA to 2; a new client [ALPHA]; lookup alpha; client [alpha] not "
       "served: 10.0.0.2 port 9875 is served already as [ALPHA]"},
      // Four places; a fifth is turned down, and a stranger cannot take a place as the first.
      {"", "+a/2 +b/3 +c/4 +d/5 +e/6 -a/9 -a/2",
       "lookup a; lookup b; lookup c; lookup d; client [a] quit; cancel 1"},
      // A minute of refusals removes it; ten quiet seconds of sends forgive; a client
      // inviting itself outlives forged ones, and goes once its invitation is old.
      {"", "+a/3 a=2 @0 !a @30s >a !a @59999 !a @60s !a",
       "lookup a; a at 2; reply a to 2; a new client [a]; keep a; lookup a; "
       "client [a] unreachable, removed; cancel 2"},
      {"", "+a/3 a=2 @0 !a >a @11s !a @70s !a",
       "lookup a; a at 2; reply a to 2; a new client [a]; keep a; lookup a"},
      {"", "+a/2 a=2 @0 !a @60s !a @65s +a/2 !a @69999 !a @125s !a @134999 !a @135s !a",
       "lookup a; a at 2; reply a to 2; a new client [a]; keep a; lookup a; "
       "client [a] unreachable, removed; cancel 2"},
      // Its own output and a listener's port 6012 never; an announcer repeating itself, yes;
      // a copy of what was relayed from port 6012, whoever sent it first, once only.
      {"", "<A/1:6012 <A/127.0.0.1:6012 +a/2 a=2 <B/2:6012 <B/2:5000 <B/2:5000 <B/9:6012",
       "dropped; dropped; lookup a; a at 2; reply a to 2; a new client [a]; dropped; relayed; "
       "relayed; dropped"},
      {"", "<C/9:6012 <C/8:6012 @2000 <C/8:6012", "relayed; dropped; keep ; relayed"},
      // With -a or -u, unicast only from the allowed networks or an upstream's port 6012.
      {"a10", "~E/192.168.0.9:5000 ~E/10.0.0.9:5000 <F/192.168.0.9:5000",
       "dropped; relayed; relayed"},
      {"u7", "~G/10.0.0.9:5000 ~G/10.0.0.7:5000 ~G/10.0.0.7:6012 <H/10.0.0.9:5000",
       "dropped; dropped; relayed; relayed"},
      {"", "~I/192.168.0.9:5000", "relayed"},
      // The upstream's answer registers; from another address only when it answers again a
      // second later with none from the upstream's own, and then that address feeds it too.
      {"u7", "@0 &/7:6012 &/7:6012", "keep ; registered with 10.0.0.7 as up; "
                                     "registered again with 10.0.0.7 as up"},
      {"u7", "&/8:6012 &/9:6012 @500 &/8:6012 ~G/10.0.0.8:6012 @1000 &/8:6012 ~G/10.0.0.8:6012",
       "keep ; dropped; registered with 10.0.0.7 as up; relayed"},
      {"u7", "&/7:6012 &/8:6012 @2000 &/8:6012 ~K/10.0.0.8:6012",
       "registered with 10.0.0.7 as up; keep ; dropped"},
      // The cache's entries, then the live sessions, newest first, a second apart, then the
      // welcome; a session deleted meanwhile is passed over, a stop ends a replay.
      {"loadcache",
       "<sap1/9:5000 <sap2/9:5000 <sap3/9:5000 +a/2 a=2 @10 +b/3 b=3 <del3/9:5000 "
       "-a/2 @1000 @1010 @2009 @2010 @3010 @4010",
       "relayed; relayed; relayed; lookup a; a at 2; reply a to 2; a replay entry a; keep a; "
       "lookup b; b at 3; reply b to 3; b replay entry a; relayed; client [a] quit; "
       "b replay entry b; keep b; b replay s=2; b replay s=1; a new client [b]"},
  };
  char home[] = "/tmp/rules_test.XXXXXX";
  ASSERT_NE(nullptr, mkdtemp(home));
  setenv("HOME", home, 1);
  ASSERT_EQ(
      0,
      system(("mkdir -p " + std::string(home) + "/.vok/cache && cd " + home +
              "/.vok/cache && printf 'n=x\\nk=\\nentry a' > a && printf 'n=x\\nk=\\nentry b' > b")
                 .c_str()));
  for (const auto& row : rows) {
    Rules r(config(row.options));
    EXPECT_EQ(row.done, r.run(row.script)) << row.options << ": " << row.script;
  }
  ASSERT_EQ(0, system(("rm -r " + std::string(home)).c_str()));
}

// The command line's client and those kept by the last run are served at once, without a
// reply; kept ones expire as others do, the command line's never, and those that found no
// place stay in the file.
TEST(RulesTest, KeptAndCommandLineClients) {
  Rules r(config("e60"));
  r.relay.serve("cmd", 7777, 0);
  r.relay.restore({{"a", 9875}, {"b", 9875}, {"c", 9875}, {"d", 9875}}, 0);
  EXPECT_EQ(
      "lookup cmd; lookup a; client [a] restored; lookup b; client [b] restored; "
      "lookup c; client [c] restored; keep a,b,c,d; cmd at 9; a at 2",
      r.run("@0 cmd=9 a=2"));
  EXPECT_EQ(
      "lookup cmd; lookup a; client [a] expired; client [b] expired; client [c] expired; "
      "cancel 4; cancel 3; keep d",
      r.run("@61s !cmd a=2 @65s @66s !cmd @3600s !cmd"));
  // The relay's own answer, come back, is not a request: no budget pays for it.
  sockaddr_in self = {};
  self.sin_addr.s_addr = host("1");
  self.sin_port = htons(kRequestPort);
  for (int i = 0; i < 3 * Budgets::kBurst; ++i)
    r.relay.request("Reply Invite_vok_relay x", 24, self, r.now);
  EXPECT_EQ("lookup e", r.run("+e/1"));
  EXPECT_EQ(0u, r.relay.stats().over_budget + r.relay.stats().ignored);
}

}  // namespace

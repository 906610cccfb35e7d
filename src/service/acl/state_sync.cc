#include "service/acl/state_sync.h"

#include <atomic>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <tuple>
#include <unordered_map>
#include <utility>
#include <vector>

#include "common/syslog.h"
#include "common/text_util.h"
#include "platform/profile.h"
#include "service/acl/acl_client_process.h"
#include "service/acl/acl_request.h"
#include "service/acl/acl_walks.h"
#include "service/acl/keepalive_resend.h"
#include "service/acl/router_sync.h"

namespace {

constexpr int kClassClient = 1;
constexpr uint32_t kOpAdd = 1;
constexpr uint32_t kOpDelete = 3;

// A line's identity: its class and its text after the operation word, hashed twice.
struct LineKey {
  uint64_t a = 0;
  uint64_t b = 0;
  bool operator==(const LineKey& o) const { return a == o.a && b == o.b; }
};
struct LineKeyHash {
  size_t operator()(const LineKey& k) const { return static_cast<size_t>(k.a); }
};

LineKey KeyOf(int classCode, const std::string& rest) {
  LineKey k;
  k.a = std::hash<std::string>{}(rest) ^ (static_cast<uint64_t>(classCode) * 0x9E3779B97F4A7C15u);
  uint64_t h = 1469598103934665603u ^ static_cast<uint64_t>(classCode);
  for (unsigned char c : rest) {
    h ^= c;
    h *= 1099511628211u;
  }
  k.b = h;
  return k;
}

using Counts = std::unordered_map<LineKey, uint32_t, LineKeyHash>;

struct RouterState {
  CPvData router;  // as last seen: connection data and the route steps counted
  Counts client;   // per line: the (route, PC, server) steps that make it
  Counts kel;      // per line: the (entry, route, PC) steps that make it
};

// A run of bytes a record's identity compares: a fixed-size address or MAC.
struct Raw {
  const uint8_t* data;
  size_t size;
  bool operator==(const Raw& o) const {
    return size == o.size && std::memcmp(data, o.data, size) == 0;
  }
};

// Every field of a record that the lines can depend on, as one comparable tuple: two records
// are the same member when their fields are equal, and their identity hashes the same fields.
auto Fields(const CPcData& p) {
  return std::make_tuple(std::string_view(p.macText), Raw{p.mac.data(), 6},
                         std::string_view(p.sourceText), Raw{p.source.data(), 4},
                         std::string_view(p.networkText), Raw{p.network.data(), 4},
                         std::string_view(p.netmaskText), Raw{p.netmask.data(), 4});
}
auto Fields(const CQuarantineData& q) {
  return std::make_tuple(std::string_view(q.sourceText), Raw{q.source.data(), 4},
                         std::string_view(q.protocolText), std::string_view(q.portText));
}
auto Fields(const CKelData& e) {
  return std::make_tuple(static_cast<uint64_t>(e.target), std::string_view(e.macText),
                         Raw{e.mac, 6}, std::string_view(e.sourceText), Raw{e.source, 4});
}
auto Fields(const CPvrouteData& t) {
  return std::make_tuple(std::string_view(t.devText), std::string_view(t.networkText),
                         Raw{t.network.data(), 4}, std::string_view(t.netmaskText),
                         Raw{t.netmask.data(), 4});
}

template <class T>
bool Same(const T& a, const T& b) {
  return Fields(a) == Fields(b);
}

// A record's identity: its fields hashed twice into 128 bits, eight bytes at a time, each field
// with its length first, so that no two field lists run together.
class IdentityHasher {
 public:
  void Field(std::string_view text) { Run(text.data(), text.size()); }
  void Field(Raw bytes) { Run(bytes.data, bytes.size); }
  void Field(uint64_t value) {
    Word(8);
    Word(value);
  }
  template <class Tuple>
  void Fields(const Tuple& fields) {
    std::apply([self = this](const auto&... field) { (self->Field(field), ...); }, fields);
  }
  LineKey Key() const { return LineKey{a_, b_}; }

 private:
  void Run(const void* data, size_t size) {
    Word(size);
    const auto* c = static_cast<const unsigned char*>(data);
    for (; size >= 8; c += 8, size -= 8) {
      uint64_t w;
      std::memcpy(&w, c, 8);
      Word(w);
    }
    if (size > 0) {
      uint64_t w = 0;
      std::memcpy(&w, c, size);
      Word(w);
    }
  }
  // Two chains with different constants and different ways in: multiply, then fold the high
  // bits back down.
  void Word(uint64_t w) {
    a_ = (a_ ^ w) * 0x9E3779B97F4A7C15u;
    a_ ^= a_ >> 32;
    b_ = (b_ + w + 0x632BE59BD9B4E019u) * 0xFF51AFD7ED558CCDu;
    b_ ^= b_ >> 29;
  }
  uint64_t a_ = 0x243F6A8885A308D3u;
  uint64_t b_ = 0x13198A2E03707344u;
};

template <class T>
LineKey Identity(const T& record) {
  IdentityHasher h;
  h.Fields(Fields(record));
  return h.Key();
}

// The identity of a route step; null is the one step of a router without routes.
LineKey StepIdentity(const CPvrouteData* t) {
  if (t != nullptr) return Identity(*t);
  IdentityHasher h;
  h.Field(std::string_view("\x01", 1));
  return h.Key();
}

// The records of one registry the counts were made from: one copy of each distinct record
// with the number of its copies, and the registry's order then, each copy pointing at its slot.
template <class T>
struct Counted {
  struct Slot {
    T record;
    int copies = 0;
  };
  std::unordered_map<LineKey, Slot, LineKeyHash> byKey;
  std::vector<const T*> order;
  void Clear() {
    order.clear();
    byKey.clear();
  }
};

// The route steps of a router as the reload walk takes them: one step without route when the
// router has no route at all, else one per route not being deleted.
std::vector<const CPvrouteData*> Steps(CPvData& router) {
  std::vector<const CPvrouteData*> steps;
  if (router.routes.IsEmpty(1)) {
    steps.push_back(nullptr);
    return steps;
  }
  for (CKelNode* n = router.routes.GetHead(1); n != nullptr; n = router.routes.GetNext(n, 1)) {
    const auto* t = static_cast<const CPvrouteData*>(n->data);
    if (!t->pendingDelete) steps.push_back(t);
  }
  return steps;
}

// Whether two copies of a router send to the same place the same way.
bool SameDestination(const CPvData& a, const CPvData& b) {
  return a.addressText == b.addressText && a.address == b.address && a.portText == b.portText &&
         a.port == b.port && a.user == b.user && a.password == b.password;
}

// Old and new members of one registry, each as a list of records, split into kept, removed
// and added (by identity, copies counted). `order` is what the counted order becomes: for each
// record now, in order, its counted copy (null for an added record until Account).
template <class T>
struct Split {
  std::vector<const T*> before, kept, removed, added, after;
  std::vector<const T*> order;
};

// A registry mostly keeps its order and changes in one place: the records that match the
// counted order from the front and from the back are kept without a lookup; only the middle
// between is matched by identity. Kept and removed records are given as their counted copies,
// added ones as they are in `now`; `before` and `after` are left to Finish.
template <class T>
Split<T> Diff(const Counted<T>& counted, const std::vector<const T*>& now) {
  Split<T> s;
  const std::vector<const T*>& old = counted.order;
  const size_t n = now.size();
  const size_t m = old.size();
  size_t head = 0;
  while (head < n && head < m && Same(*now[head], *old[head])) ++head;
  size_t tail = 0;
  while (tail < n - head && tail < m - head && Same(*now[n - 1 - tail], *old[m - 1 - tail])) {
    ++tail;
  }
  std::unordered_map<LineKey, size_t, LineKeyHash> left;  // old middle copies not matched yet
  for (size_t j = head; j < m - tail; ++j) ++left[Identity(*old[j])];
  s.order.reserve(n);
  s.kept.reserve(n);
  for (size_t i = 0; i < n; ++i) {
    const T* record = now[i];
    const T* copy = nullptr;
    if (i < head) {
      copy = old[i];
    } else if (i >= n - tail) {
      copy = old[m - (n - i)];
    } else {
      LineKey key = Identity(*record);
      auto at = left.find(key);
      if (at != left.end() && at->second > 0) {
        --at->second;
        copy = &counted.byKey.at(key).record;
      }
    }
    if (copy != nullptr) {
      s.kept.push_back(copy);
    } else {
      s.added.push_back(record);
    }
    s.order.push_back(copy);
  }
  for (size_t j = head; j < m - tail; ++j) {
    auto at = left.find(Identity(*old[j]));
    if (at->second > 0) {
      --at->second;
      s.removed.push_back(old[j]);
    }
  }
  return s;
}

template <class T>
Split<T>& Finish(Split<T>& s) {
  s.before = s.kept;
  s.before.insert(s.before.end(), s.removed.begin(), s.removed.end());
  s.after = s.kept;
  s.after.insert(s.after.end(), s.added.begin(), s.added.end());
  return s;
}

template <class T>
void Account(Counted<T>& counted, Split<T>& s) {
  // The removed records live in the slots themselves: take every key before any slot goes.
  // A slot that a kept copy points at keeps a copy, so it stays.
  std::vector<LineKey> gone;
  gone.reserve(s.removed.size());
  for (const T* record : s.removed) gone.push_back(Identity(*record));
  for (const LineKey& key : gone) {
    auto at = counted.byKey.find(key);
    if (at != counted.byKey.end() && --at->second.copies <= 0) counted.byKey.erase(at);
  }
  size_t next = 0;
  for (const T*& copy : s.order) {
    if (copy != nullptr) continue;
    const T* record = s.added[next++];
    auto& slot = counted.byKey[Identity(*record)];
    if (slot.copies++ == 0) slot.record = *record;
    copy = &slot.record;
  }
  counted.order = std::move(s.order);
}

// One router's share of one run: the lines whose counts it touched, with their counts before.
class RouterRun {
 public:
  RouterRun(RouterState& state, bool serversBefore, bool serversAfter)
      : state_(state), serversBefore_(serversBefore), serversAfter_(serversAfter) {}

  // While the capture lives, every line made on this thread is counted with `sign` (+1, -1,
  // or 0 to name it only).
  AclLineCapture Capture(int sign) {
    sign_ = sign;
    return AclLineCapture(
        [this](const CPvData&, int classCode, const std::string& text) { Touch(classCode, text); });
  }
  // The entry and PC of the kel lines made next (null: client lines).
  void MakingKel(const CKelData* entry, const CPcData* pc) {
    entry_ = entry;
    pc_ = pc;
  }

  void Client(const CPvData& r, const CPvrouteData* t, const CPcData& p, const CQuarantineData& q) {
    if (t != nullptr) {
      KelCommandAclClientProcessIsPvroute(r, *t, p, q, kOpAdd);
    } else {
      KelCommandAclClientProcessNoPvroute(r, p, q, kOpAdd);
    }
  }

  // Queues deletes, then adds, for the lines that crossed zero; the info lines; true when
  // something was queued.
  bool Send(const CPvData& router);

 private:
  struct Touched {
    int classCode;
    std::string rest;  // the text after the operation word
    uint32_t before;
    std::string subject;  // kel lines: what their info line names
  };

  void Touch(int classCode, const std::string& text) {
    size_t space = text.find(' ');
    std::string rest = space == std::string::npos ? text : text.substr(space + 1);
    LineKey key = KeyOf(classCode, rest);
    Counts& counts = classCode == kClassClient ? state_.client : state_.kel;
    auto found = counts.find(key);
    uint32_t now = found == counts.end() ? 0 : found->second;
    auto [at, added] = index_.try_emplace(key, touched_.size());
    if (added) {
      touched_.push_back({classCode, std::move(rest), now,
                          entry_ != nullptr ? KelSubject(*entry_, *pc_) : std::string()});
    }
    if (sign_ > 0) {
      counts[key] = now + 1;
    } else if (sign_ < 0 && now > 0) {
      if (now == 1) {
        counts.erase(found);
      } else {
        found->second = now - 1;
      }
    }
  }

  bool Wanted(int classCode, uint32_t count, bool servers) const {
    return count > 0 && (classCode == kClassClient || servers);
  }

  RouterState& state_;
  bool serversBefore_;
  bool serversAfter_;
  int sign_ = 0;
  const CKelData* entry_ = nullptr;
  const CPcData* pc_ = nullptr;
  std::unordered_map<LineKey, size_t, LineKeyHash> index_;
  std::vector<Touched> touched_;
};

bool RouterRun::Send(const CPvData& router) {
  int adds = 0;
  int deletes = 0;
  for (int pass = 0; pass < 2; ++pass) {  // deletes first, then adds
    const bool adding = pass == 1;
    std::vector<const std::string*> announced;
    for (const Touched& t : touched_) {
      const Counts& counts = t.classCode == kClassClient ? state_.client : state_.kel;
      auto found = counts.find(KeyOf(t.classCode, t.rest));
      uint32_t now = found == counts.end() ? 0 : found->second;
      bool before = Wanted(t.classCode, t.before, serversBefore_);
      bool after = Wanted(t.classCode, now, serversAfter_);
      if (before == after || after != adding) continue;
      std::string text = (adding ? "add " : "delete ") + t.rest;
      if (QueueAclText(router, t.classCode, text, "StateSyncPlan") == 0) continue;
      ++(adding ? adds : deletes);
      if (!t.subject.empty()) {
        bool seen = false;
        for (const std::string* s : announced) seen = seen || *s == t.subject;
        if (!seen) {
          announced.push_back(&t.subject);
          AnnounceKelLines(adding ? kOpAdd : kOpDelete, t.subject, router);
        }
      }
    }
  }
  if (adds + deletes == 0) return false;
  Syslog(kLogInfo, "I planned %d additions and %d deletions of ACL for PV of %s.", adds, deletes,
         router.addressText.c_str());
  return true;
}

// The members one run works with, before and after, in the order the steps are applied.
struct Sets {
  Split<CPcData> pcs;
  Split<CQuarantineData> servers;
  Split<CKelData> entries;
};

class Sync {
 public:
  std::mutex mutex;
  std::atomic<bool> on{false};

  void Forget(const std::array<uint8_t, 4>& address) { routers_.erase(address); }
  void Clear() {
    routers_.clear();
    pcs_.Clear();
    servers_.Clear();
    entries_.Clear();
  }
  // Brings every followed router and the counted records to the registries of `ctx`.
  bool Plan(PlanningContext& ctx, bool* queued);
  // Counts and queues the whole of one router (after Plan on the same snapshots).
  bool Reload(PlanningContext& ctx, CPvData& router, bool* queued);
  StateSyncFootprint Footprint() const;

 private:
  bool Snapshot(PlanningContext& ctx, std::vector<const CQuarantineData*>* servers,
                std::vector<const CKelData*>* entries);
  // The PCs now against the counted ones; the added PCs are copied into `fresh`.
  Split<CPcData> DiffPcs(std::vector<std::unique_ptr<CPcData>>* fresh);
  // Adds (sign +1) or removes (-1) the steps of every combination of the given members.
  void Steps(RouterRun& run, PlanningContext& ctx, const CPvData& r, int sign,
             const std::vector<const CPvrouteData*>& steps, const std::vector<const CPcData*>& pcs,
             const std::vector<const CQuarantineData*>& servers,
             const std::vector<const CKelData*>& entries, bool clientLines, bool kelLines);
  bool PlanRouter(PlanningContext& ctx, RouterState& state, CPvData* live, const Sets& sets,
                  bool* queued);

  // The (PC, entry) pairs that some route could match (EntryMayApply), in the walk's order.
  // The same member lists serve every router of one run, so they are found once per run for
  // each pair of lists and kept until the run's snapshots go (ForgetPairs).
  using Pairs = std::vector<std::pair<const CPcData*, const CKelData*>>;
  const Pairs& PairsOf(const std::vector<const CPcData*>& pcs,
                       const std::vector<const CKelData*>& entries);
  void ForgetPairs() { pairs_.clear(); }

  std::map<std::array<uint8_t, 4>, RouterState> routers_;
  std::map<std::array<const void*, 2>, Pairs> pairs_;
  Counted<CPcData> pcs_;
  Counted<CQuarantineData> servers_;
  Counted<CKelData> entries_;
};

bool Sync::Snapshot(PlanningContext& ctx, std::vector<const CQuarantineData*>* servers,
                    std::vector<const CKelData*>* entries) {
  auto* q = ctx.Servers();
  auto* e = ctx.Entries();
  if (q == nullptr || e == nullptr) return false;
  for (const CQuarantineData* r : q->records) {
    if (!r->pendingDelete && !r->sourceText.empty()) servers->push_back(r);
  }
  for (const CKelData* r : e->records) {
    if (!r->pendingDelete) entries->push_back(r);
  }
  return true;
}

// The PCs are the one registry that runs to tens of thousands: rather than copying every one of
// them for every change, the live list is compared with the counted copies under its lock, and
// only the PCs added since are copied. The others are used through their counted copies.
Split<CPcData> Sync::DiffPcs(std::vector<std::unique_ptr<CPcData>>* fresh) {
  CPcList& list = PcList();
  CKelListLock hold(list);
  std::vector<const CPcData*> live;
  live.reserve(static_cast<size_t>(list.GetCount(1)));
  for (CKelNode* n = list.GetHead(1); n != nullptr; n = list.GetNext(n, 1)) {
    const auto* p = static_cast<const CPcData*>(n->data);
    if (!p->pendingDelete) live.push_back(p);
  }
  Split<CPcData> s = Diff(pcs_, live);
  for (const CPcData*& added : s.added) {
    fresh->push_back(std::make_unique<CPcData>(*added));
    added = fresh->back().get();
  }
  return s;
}

const Sync::Pairs& Sync::PairsOf(const std::vector<const CPcData*>& pcs,
                                 const std::vector<const CKelData*>& entries) {
  auto [at, made] = pairs_.try_emplace({&pcs, &entries});
  if (made) {
    for (const CPcData* p : pcs) {
      for (const CKelData* e : entries) {
        if (EntryMayApply(*e, *p)) at->second.emplace_back(p, e);
      }
    }
  }
  return at->second;
}

void Sync::Steps(RouterRun& run, PlanningContext& ctx, const CPvData& r, int sign,
                 const std::vector<const CPvrouteData*>& steps,
                 const std::vector<const CPcData*>& pcs,
                 const std::vector<const CQuarantineData*>& servers,
                 const std::vector<const CKelData*>& entries, bool clientLines, bool kelLines) {
  if (steps.empty() || pcs.empty()) return;
  // The walks' own environment would wake the HTTP client for every combination: nothing is
  // queued while counting, so nobody needs waking.
  static const AclEnvironment kCounting = [] {
    AclEnvironment env;
    env.eventSend = [] { return 1; };
    return env;
  }();
  AclLineCapture capture = run.Capture(sign);
  if (clientLines && !servers.empty()) {
    run.MakingKel(nullptr, nullptr);
    for (const CPvrouteData* t : steps) {
      for (const CPcData* p : pcs) {
        for (const CQuarantineData* q : servers) run.Client(r, t, *p, *q);
      }
    }
  }
  if (!kelLines || entries.empty()) return;
  const Pairs& pairs = PairsOf(pcs, entries);
  for (const CPvrouteData* t : steps) {
    if (ctx.StopNow()) return;
    for (const auto& [p, e] : pairs) {
      run.MakingKel(e, p);
      KelCommandAclQuarantineProcess(kCounting, e, &r, t, p, kOpAdd);
    }
  }
  run.MakingKel(nullptr, nullptr);
}

bool Sync::PlanRouter(PlanningContext& ctx, RouterState& state, CPvData* live, const Sets& sets,
                      bool* queued) {
  const bool serversBefore = !sets.servers.before.empty();
  const bool serversAfter = !sets.servers.after.empty();
  RouterRun run(state, serversBefore, live != nullptr && serversAfter);
  CPvData& old = state.router;
  std::vector<const CPvrouteData*> oldSteps = ::Steps(old);
  if (live == nullptr) {  // the router left the registry while ON: everything it holds goes
    Steps(run, ctx, old, -1, oldSteps, sets.pcs.before, sets.servers.before, sets.entries.before,
          true, true);
    *queued = run.Send(old) || *queued;
    return true;
  }
  // The steps of the router's routes, split as the registries' records are.
  std::vector<const CPvrouteData*> newSteps = ::Steps(*live);
  std::vector<LineKey> oldKeys, newKeys;
  for (const CPvrouteData* t : oldSteps) oldKeys.push_back(StepIdentity(t));
  for (const CPvrouteData* t : newSteps) newKeys.push_back(StepIdentity(t));
  std::unordered_map<LineKey, int, LineKeyHash> left;
  for (const LineKey& key : oldKeys) ++left[key];
  std::vector<const CPvrouteData*> keptSteps, addedSteps, removedSteps;
  for (size_t i = 0; i < newSteps.size(); ++i) {
    auto at = left.find(newKeys[i]);
    if (at != left.end() && at->second > 0) {
      --at->second;
      keptSteps.push_back(newSteps[i]);
    } else {
      addedSteps.push_back(newSteps[i]);
    }
  }
  for (size_t i = 0; i < oldSteps.size(); ++i) {
    auto at = left.find(oldKeys[i]);
    if (at != left.end() && at->second > 0) {
      --at->second;
      removedSteps.push_back(oldSteps[i]);
    }
  }
  // Kel lines switch on and off with the first and the last server: name them all then.
  if (serversBefore != serversAfter) {
    Steps(run, ctx, old, 0, oldSteps, sets.pcs.before, {}, sets.entries.before, false, true);
  }
  // Removals, then additions, each against the members as they stand at that point, so that
  // every combination is counted exactly once.
  const std::vector<const CKelData*>& entriesKept = sets.entries.kept;
  const std::vector<const CQuarantineData*>& serversKept = sets.servers.kept;
  const std::vector<const CPcData*>& pcsKept = sets.pcs.kept;
  Steps(run, ctx, old, -1, oldSteps, sets.pcs.before, {}, sets.entries.removed, false, true);
  Steps(run, ctx, old, -1, oldSteps, sets.pcs.before, sets.servers.removed, {}, true, false);
  Steps(run, ctx, old, -1, oldSteps, sets.pcs.removed, serversKept, entriesKept, true, true);
  Steps(run, ctx, old, -1, removedSteps, pcsKept, serversKept, entriesKept, true, true);
  std::vector<const CPvrouteData*> stepsNow = keptSteps;
  Steps(run, ctx, *live, 1, addedSteps, pcsKept, serversKept, entriesKept, true, true);
  stepsNow.insert(stepsNow.end(), addedSteps.begin(), addedSteps.end());
  Steps(run, ctx, *live, 1, stepsNow, sets.pcs.added, serversKept, entriesKept, true, true);
  Steps(run, ctx, *live, 1, stepsNow, sets.pcs.after, sets.servers.added, {}, true, false);
  Steps(run, ctx, *live, 1, stepsNow, sets.pcs.after, {}, sets.entries.added, false, true);
  if (serversBefore != serversAfter) {
    Steps(run, ctx, *live, 0, stepsNow, sets.pcs.after, {}, sets.entries.after, false, true);
  }
  *queued = run.Send(*live) || *queued;
  // The copy is read for the lines it makes and where they go: its connection fields and its
  // route steps. Copying the routes of a hundred routers on every change costs more than the
  // planning itself, so it is taken again only when one of those changed.
  if (oldKeys != newKeys || !SameDestination(old, *live)) state.router = *live;
  return !ctx.Interrupted();
}

// Forgets the pairs found during one run when it ends: they point into its member lists.
class PairsScope {
 public:
  explicit PairsScope(std::function<void()> forget) : forget_(std::move(forget)) { forget_(); }
  ~PairsScope() { forget_(); }
  PairsScope(const PairsScope&) = delete;
  PairsScope& operator=(const PairsScope&) = delete;

 private:
  std::function<void()> forget_;
};

bool Sync::Plan(PlanningContext& ctx, bool* queued) {
  PairsScope pairs([this] { ForgetPairs(); });
  std::vector<const CQuarantineData*> servers;
  std::vector<const CKelData*> entries;
  if (!Snapshot(ctx, &servers, &entries)) return false;
  std::vector<std::unique_ptr<CPcData>> freshPcs;  // until Account has copied them
  Sets sets;
  sets.pcs = DiffPcs(&freshPcs);
  sets.servers = Diff(servers_, servers);
  sets.entries = Diff(entries_, entries);
  Finish(sets.pcs);
  Finish(sets.servers);
  Finish(sets.entries);
  auto* routers = ctx.Routers();
  if (routers == nullptr) return false;
  std::map<std::array<uint8_t, 4>, CPvData*> byAddress;
  for (CPvData* r : routers->records) {
    if (!r->pendingDelete) byAddress[r->address] = r;
  }
  for (auto it = routers_.begin(); it != routers_.end();) {
    if (ctx.StopNow()) return false;
    auto found = byAddress.find(it->first);
    CPvData* live = found == byAddress.end() ? nullptr : found->second;
    if (live != nullptr && (!live->alive || RouterSyncIsOut(it->first))) {
      it = routers_.erase(it);  // its reload will count it again
      continue;
    }
    PlanRouter(ctx, it->second, live, sets, queued);
    it = live == nullptr ? routers_.erase(it) : std::next(it);
  }
  Account(pcs_, sets.pcs);
  Account(servers_, sets.servers);
  Account(entries_, sets.entries);
  return true;
}

bool Sync::Reload(PlanningContext& ctx, CPvData& router, bool* queued) {
  PairsScope pairs([this] { ForgetPairs(); });
  RouterState& state = routers_[router.address];
  state = RouterState();
  state.router = router;
  // Plan has just brought the counted PCs to the registry: they are the PCs to load.
  const std::vector<const CPcData*>& pcs = pcs_.order;
  std::vector<const CQuarantineData*> servers;
  std::vector<const CKelData*> entries;
  if (!Snapshot(ctx, &servers, &entries)) {
    routers_.erase(router.address);
    return false;
  }
  KeepAliveResetProcess(ctx.env(), router);
  RouterRun run(state, false, !servers.empty());
  Steps(run, ctx, router, 1, ::Steps(router), pcs, servers, entries, true, true);
  if (ctx.Interrupted()) {
    routers_.erase(router.address);
    return false;
  }
  run.Send(router);
  *queued = true;
  return true;
}

StateSyncFootprint Sync::Footprint() const {
  StateSyncFootprint f;
  f.routers = routers_.size();
  for (const auto& [address, state] : routers_) {
    size_t lines = state.client.size() + state.kel.size();
    f.lines += lines;
    // A node of an unordered_map<LineKey, uint32_t>: key, value, next pointer, cached hash;
    // plus one bucket pointer each.
    f.bytes += lines * (sizeof(LineKey) + sizeof(uint32_t) + 2 * sizeof(void*) + sizeof(void*)) +
               sizeof(RouterState);
  }
  return f;
}

Sync& TheSync() {
  static Sync* sync = new Sync();  // lives as long as the process
  return *sync;
}

}  // namespace

void StateSyncConfigure() {
  std::string value = platform::ReadProfileString("VoKelMng.ini", "ACL", "SYNC", "", 256);
  StateSyncEnableForTest(value == "state");
}

void StateSyncEnableForTest(bool on) {
  Sync& sync = TheSync();
  std::lock_guard<std::mutex> hold(sync.mutex);
  sync.Clear();
  sync.on = on;
}

bool StateSyncOn() { return TheSync().on.load(); }

void StateSyncPlan(const AclEnvironment& env) {
  Sync& sync = TheSync();
  std::lock_guard<std::mutex> hold(sync.mutex);
  PlanningContext ctx(env);
  bool queued = false;
  try {
    sync.Plan(ctx, &queued);
  } catch (...) {
    // Counts half applied are worth nothing: every router starts over with a reload.
    sync.Clear();
    if (auto* routers = ctx.Routers()) {
      for (CPvData* r : routers->records) {
        if (r->alive && !r->pendingDelete) RouterSyncMarkOut(r->address, r->port, true);
      }
    }
    Syslog(kLogCrit, "StateSyncPlan: I failed in securing of memory.");
  }
  if (queued && AclEventSend(env) == 0) {
    Syslog(kLogErr, "StateSyncPlan: An error occurred in EventSend.");
  }
}

bool StateSyncReload(const AclEnvironment& env, const std::array<uint8_t, 4>& address) {
  Sync& sync = TheSync();
  std::lock_guard<std::mutex> hold(sync.mutex);
  PlanningContext ctx(env);
  bool queued = false;
  bool done = false;
  try {
    // The counts of the other routers first, so that this one is counted from the same records.
    if (sync.Plan(ctx, &queued)) {
      auto* routers = ctx.Routers();
      CPvData* router = nullptr;
      for (CPvData* r : routers->records) {
        if (!r->pendingDelete && r->alive && r->address == address) router = r;
      }
      if (router != nullptr) done = sync.Reload(ctx, *router, &queued);
    }
  } catch (...) {
    sync.Forget(address);
    Syslog(kLogCrit, "StateSyncReload: I failed in securing of memory.");
  }
  if (queued && AclEventSend(env) == 0) {
    Syslog(kLogErr, "StateSyncReload: An error occurred in EventSend.");
  }
  return done;
}

void StateSyncForget(const std::array<uint8_t, 4>& address, const std::function<void()>& alsoHeld) {
  Sync& sync = TheSync();
  std::lock_guard<std::mutex> hold(sync.mutex);
  sync.Forget(address);
  if (alsoHeld) alsoHeld();
}

StateSyncFootprint StateSyncMemory() {
  Sync& sync = TheSync();
  std::lock_guard<std::mutex> hold(sync.mutex);
  return sync.Footprint();
}

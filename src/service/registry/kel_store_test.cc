#include "service/registry/kel_store.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "common/address_util.h"
#include "log_capture.h"
#include "scratch_dir.h"

namespace {

using testsupport::Logs;
using testsupport::ScratchDir;

CKelData* Entry(const char* source, uint16_t target = kKelTargetAccept, const char* mac = "") {
  auto* e = new CKelData();
  e->target = target;
  e->sourceText = source;
  IsIpAddress(source, e->source);
  e->macText = mac;
  if (*mac != '\0') ParseMacAddress(mac, e->mac);
  e->pendingAdd = 1;
  return e;
}

KelStoreResult Add(const char* source, uint16_t target = kKelTargetAccept, const char* mac = "") {
  CKelData* e = Entry(source, target, mac);
  KelStoreResult r = KelStoreAdd(e);
  if (r == KelStoreResult::kDuplicate) delete e;
  return r;
}

KelStoreResult Del(const char* source, uint16_t target = kKelTargetAccept, const char* mac = "") {
  std::unique_ptr<CKelData> key(Entry(source, target, mac));
  return KelStoreDelete(*key);
}

// The live entries as "target source mac", sorted, and whether any still carries a mark.
std::set<std::string> Live(bool* marked = nullptr) {
  std::set<std::string> out;
  CKelDataList& list = KelDataList();
  CKelListLock hold(list);
  for (CKelNode* n = list.GetHead(1); n != nullptr; n = list.GetNext(n, 1)) {
    const auto& e = *static_cast<const CKelData*>(n->data);
    if (marked != nullptr && (e.pendingAdd || e.pendingDelete)) *marked = true;
    if (e.pendingDelete) continue;
    out.insert(std::to_string(e.target) + " " + e.sourceText + " " + e.macText);
  }
  return out;
}

// A service start: empty registry, then the store read from the working directory.
void Restart() {
  KelStoreClose();
  KelDataList().RemoveAll();
  KelStoreStart();
}

class KelStoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    KelStoreFailWritesForTest(false);
    profile_.Write("VoKelMng.ini", "[KEL]\nSTORE=Enable\n");
    Logs().Clear();
    Restart();
  }
  void TearDown() override {
    KelStoreFailWritesForTest(false);
    KelStoreClose();
    KelDataList().RemoveAll();
  }
  std::string Journal() { return work_.Read("kel.journal").value_or("<none>"); }

  ScratchDir profile_{"kelstore-ini", ScratchDir::kProfileDir};
  ScratchDir work_{"kelstore-work", ScratchDir::kWorkingDir};
};

TEST_F(KelStoreTest, WhatWasAcknowledgedComesBackAfterARestartCompacted) {
  EXPECT_EQ(KelStoreStateNow(), KelStoreState::kOk);
  EXPECT_EQ(Add("10.0.0.1"), KelStoreResult::kDone);
  EXPECT_EQ(Add("10.0.0.2", kKelTargetDrop, "00-0a-95-9d-68-16"), KelStoreResult::kDone);
  EXPECT_EQ(Add("10.0.0.3"), KelStoreResult::kDone);
  EXPECT_EQ(Add("10.0.0.3"), KelStoreResult::kDuplicate);
  EXPECT_EQ(Del("10.0.0.3"), KelStoreResult::kDone);
  // A delete without MAC removes the entry of that source and target whatever its MAC.
  EXPECT_EQ(Add("10.0.0.4", kKelTargetAccept, "00:00:00:00:00:01"), KelStoreResult::kDone);
  EXPECT_EQ(Del("10.0.0.4"), KelStoreResult::kDone);
  // Every acknowledged record is in the file already, before any restart.
  EXPECT_NE(Journal().find("del accept 10.0.0.4 - "), std::string::npos) << Journal();

  Restart();
  bool marked = false;
  EXPECT_EQ(Live(&marked), (std::set<std::string>{"1 10.0.0.1 ", "2 10.0.0.2 00:0A:95:9D:68:16"}));
  EXPECT_FALSE(marked);  // loaded entries are not changes to plan
  EXPECT_EQ(KelStoreStateNow(), KelStoreState::kOk);
  const std::string journal = Journal();
  EXPECT_EQ(journal.rfind("# VoKelMng access entries 1\nadd accept 10.0.0.1 - ", 0), 0u) << journal;
  EXPECT_EQ(std::count(journal.begin(), journal.end(), '\n'), 3) << journal;
  EXPECT_EQ(journal.find("del "), std::string::npos) << journal;
  EXPECT_EQ(Logs().Count("I read 2 access entries from kel.journal."), 1);
}

TEST_F(KelStoreTest, AnIncompleteLastRecordIsIgnoredAndOtherDamageRefusesTheFile) {
  ASSERT_EQ(Add("10.0.0.1"), KelStoreResult::kDone);
  ASSERT_EQ(Add("10.0.0.2"), KelStoreResult::kDone);
  const std::string whole = Journal();

  // A crash in the middle of a write leaves part of a record at the end.
  work_.Write("kel.journal", whole + "add accept 10.0.0.3 - 12ab");
  Restart();
  EXPECT_EQ(Live(), (std::set<std::string>{"1 10.0.0.1 ", "1 10.0.0.2 "}));
  EXPECT_EQ(Logs().Count("I ignored an incomplete last record of the access entry store "
                         "kel.journal."),
            1);
  EXPECT_EQ(KelStoreStateNow(), KelStoreState::kOk);
  EXPECT_EQ(Journal().find("10.0.0.3"), std::string::npos);  // written anew without it

  // One changed character in the first record: its check value no longer fits.
  std::string damaged = Journal();
  damaged[damaged.find("10.0.0.1")] = '9';
  work_.Write("kel.journal", damaged);
  Logs().Clear();
  Restart();
  EXPECT_TRUE(Live().empty());
  EXPECT_EQ(Logs().Count("I refused the access entry store kel.journal: record 1 is damaged."), 1);
  EXPECT_EQ(KelStoreStateNow(), KelStoreState::kFailing);
  // Memory only from now on: commands work, the damaged file stays for the operator.
  EXPECT_EQ(Add("10.0.0.5"), KelStoreResult::kDone);
  EXPECT_EQ(Journal(), damaged);

  work_.Write("kel.journal", "something else\n" + whole.substr(whole.find('\n') + 1));
  Logs().Clear();
  Restart();
  EXPECT_TRUE(Live().empty());
  EXPECT_EQ(Logs().Count("I refused the access entry store kel.journal: its first line"), 1);
}

TEST_F(KelStoreTest, AFailedWriteIsReportedTheEntryStaysAndTheNextWriteHeals) {
  ASSERT_EQ(Add("10.0.0.1"), KelStoreResult::kDone);
  KelStoreFailWritesForTest(true);
  EXPECT_EQ(Add("10.0.0.2"), KelStoreResult::kStoreError);
  EXPECT_EQ(Del("10.0.0.1"), KelStoreResult::kStoreError);
  EXPECT_EQ(KelStoreStateNow(), KelStoreState::kFailing);
  EXPECT_EQ(Live(), (std::set<std::string>{"1 10.0.0.2 "}));  // memory has both changes
  EXPECT_GE(Logs().Count("I failed in writing of the access entry store kel.journal: No space"), 2);

  KelStoreFailWritesForTest(false);
  EXPECT_EQ(Add("10.0.0.3"), KelStoreResult::kDone);
  EXPECT_EQ(KelStoreStateNow(), KelStoreState::kOk);
  EXPECT_EQ(Logs().Count("I succeeded in writing of the access entry store kel.journal again."), 1);
  // The healing write carried the changes whose own writes had failed.
  Restart();
  EXPECT_EQ(Live(), (std::set<std::string>{"1 10.0.0.2 ", "1 10.0.0.3 "}));
}

TEST_F(KelStoreTest, ConcurrentCommandsShareSyncsAndLoseNothing) {
  constexpr int kThreads = 8;
  constexpr int kEach = 150;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t] {
      for (int i = 0; i < kEach; ++i) {
        std::string source = "10." + std::to_string(t) + "." + std::to_string(i / 200) + "." +
                             std::to_string(1 + i % 200);
        EXPECT_EQ(Add(source.c_str()), KelStoreResult::kDone);
        if (i % 3 == 0) {
          EXPECT_EQ(Del(source.c_str()), KelStoreResult::kDone);
        }
      }
    });
  }
  for (auto& t : threads) t.join();
  std::set<std::string> before = Live();
  EXPECT_EQ(before.size(), static_cast<size_t>(kThreads * (kEach - kEach / 3)));
  Restart();
  EXPECT_EQ(Live(), before);
}

// Polls `done` for up to five seconds.
bool WaitUntil(const std::function<bool()>& done) {
  auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (!done()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

// Commands that arrive while a flush runs wait for the next one, which writes and syncs all
// their records at once: no command is answered before its record is synced, and when that
// shared flush fails every command it covered gets the store error, the others not.
TEST_F(KelStoreTest, CommandsArrivingDuringAFlushShareTheNextOneAndItsOutcome) {
  for (bool failShared : {false, true}) {
    SCOPED_TRACE(failShared ? "the shared flush fails" : "the shared flush succeeds");
    std::mutex gate;
    std::condition_variable opened;
    bool open = false;
    std::atomic<int> flushes{0};
    KelStoreBeforeFlushForTest([&] {
      std::unique_lock<std::mutex> hold(gate);
      if (++flushes == 1) {
        opened.wait(hold, [&] { return open; });  // the first flush stalls, as on a slow disk
      } else if (failShared) {
        KelStoreFailWritesForTest(true);
      }
    });
    const uint64_t before = KelStoreFlushesForTest();
    const size_t liveBefore = Live().size();
    const std::string base = failShared ? "10.2.0." : "10.1.0.";
    std::vector<KelStoreResult> results(4, KelStoreResult::kDuplicate);
    std::atomic<int> answered{0};
    std::vector<std::thread> threads;
    auto command = [&](int i) {
      threads.emplace_back([&, i] {
        results[i] = Add((base + std::to_string(i + 1)).c_str());
        ++answered;
      });
    };
    command(0);
    ASSERT_TRUE(WaitUntil([&] { return flushes.load() == 1; }));
    for (int i = 1; i < 4; ++i) command(i);
    // In memory at once (the entry is planned as usual), on disk and answered only later.
    ASSERT_TRUE(WaitUntil([&] { return Live().size() == liveBefore + 4; }));
    EXPECT_EQ(answered.load(), 0);
    EXPECT_EQ(Journal().find(base), std::string::npos);
    {
      std::lock_guard<std::mutex> hold(gate);
      open = true;
    }
    opened.notify_all();
    for (auto& t : threads) t.join();
    KelStoreBeforeFlushForTest(nullptr);
    KelStoreFailWritesForTest(false);

    EXPECT_EQ(KelStoreFlushesForTest() - before, 2u);  // the stalled one and one shared
    EXPECT_EQ(results[0], KelStoreResult::kDone);
    for (int i = 1; i < 4; ++i) {
      EXPECT_EQ(results[i], failShared ? KelStoreResult::kStoreError : KelStoreResult::kDone)
          << "command " << i;
    }
    EXPECT_EQ(KelStoreStateNow(), failShared ? KelStoreState::kFailing : KelStoreState::kOk);
  }
  // What was acknowledged as stored comes back; the three whose flush failed were never on
  // disk (no later write healed the file before this restart).
  Restart();
  EXPECT_EQ(Live(), (std::set<std::string>{"1 10.1.0.1 ", "1 10.1.0.2 ", "1 10.1.0.3 ",
                                           "1 10.1.0.4 ", "1 10.2.0.1 "}));
}

TEST(KelStoreOff, WithoutTheSettingNothingIsWritten) {
  ScratchDir profile("kelstore-ini", ScratchDir::kProfileDir);
  ScratchDir work("kelstore-work", ScratchDir::kWorkingDir);
  profile.Write("VoKelMng.ini", "[KEL]\nSTORE=disable\n");
  KelStoreStart();
  EXPECT_EQ(KelStoreStateNow(), KelStoreState::kOff);
  EXPECT_EQ(Add("10.0.0.1"), KelStoreResult::kDone);
  EXPECT_FALSE(work.Read("kel.journal").has_value());
  KelDataList().RemoveAll();
  KelStoreClose();
}

}  // namespace

// Staging: a caller that finds the channel lock busy neither waits nor loses its record; what it
// staged reaches the sink whole, described, numbered and in order - through the drainer, the
// sink's Flush, a thread stop or the final flush - and a sink without room delays it rather than
// losing it. The lock is held by a locked call (Trace_Managed never stages) waiting at the
// recording client's closed gate.
#include <gtest/gtest.h>
#include <signal.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <future>
#include <map>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "trace/channel/channel_fixture.h"
#include "trace/channel/stage_thread.h"
#include "trace/channel/staging_ring.h"
#include "trace/channel/trace_staging.h"

namespace {

using namespace std::chrono_literals;

constexpr int kStaged = 20;

// Data records of the site "b %d %d" are the only ones of this size.
constexpr size_t kB_Size = sizeof(sTRTrace_Data) + 16 + 1;

// The first value of a data record of the site "b %d %d".
int64_t Value_Of(const Record& record) {
  int64_t value;
  memcpy(&value, record.bytes.data() + sizeof(sTRTrace_Data), sizeof(value));
  return value;
}

// One thread that runs the tasks it is given in turn, so that several steps of a test trace from
// the same thread (a thread's first call of a site waits once for the site's descriptor).
class Worker {
 public:
  Worker() : thread_([this] { Loop(); }) {}
  ~Worker() {
    Post(nullptr);
    thread_.join();
  }
  // Runs `task` on the worker; the future is ready when it ran.
  std::future<void> Post(std::function<void()> task) {
    const bool last = !task;
    std::packaged_task<void()> packaged(last ? [] {} : std::move(task));
    std::future<void> done = packaged.get_future();
    std::lock_guard<std::mutex> lock(mutex_);
    stop_ = stop_ || last;
    tasks_.push_back(std::move(packaged));
    changed_.notify_one();
    return done;
  }

 private:
  void Loop() {
    for (;;) {
      std::unique_lock<std::mutex> lock(mutex_);
      changed_.wait(lock, [this] { return !tasks_.empty(); });
      std::packaged_task<void()> task = std::move(tasks_.front());
      tasks_.erase(tasks_.begin());
      const bool last = stop_ && tasks_.empty();
      lock.unlock();
      task();
      if (last) return;
    }
  }

  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<std::packaged_task<void()>> tasks_;
  bool stop_ = false;
  std::thread thread_;
};

class StagingTest : public ChannelTest {
 protected:
  void TearDown() override {
    client_->Open_Gate();
    if (holder_.joinable()) holder_.join();
    ChannelTest::TearDown();
  }

  // A call that takes the channel lock and keeps it until the gate opens.
  void Hold_Lock() {
    client_->Close_Gate();
    holder_ = std::thread(
        [this] { channel_->Trace_Managed(0, TRL_CRITICAL, nullptr, 9, "f", "held", "held"); });
    ASSERT_TRUE(client_->Wait_At_Gate(10s));
  }
  // Holds the lock and stages kStaged calls of the site "b %d %d" (values 0 .. kStaged - 1).
  void Stage_While_Held() {
    Hold_Lock();
    Without_Waiting([this] {
      for (int i = 0; i < kStaged; ++i)
        EXPECT_TRUE(channel_->Trace(0, TRL_INFO, nullptr, 1, "f", "b", "b %d %d", i, 0));
    });
  }
  void Let_Go() {
    client_->Open_Gate();
    holder_.join();
  }

  // Runs `calls` on the stager; fails when they do not all return within 10 s (a staged call
  // must not wait for the lock's holder).
  void Without_Waiting(std::function<void()> calls) {
    std::future<void> done = stager_.Post(std::move(calls));
    ASSERT_EQ(done.wait_for(10s), std::future_status::ready) << "a staged call waited";
  }

  // Puts the channel in staging mode and makes the site "b %d %d" known to the stager: a
  // thread's first contended call of a site waits once for the site's descriptor. Done when a
  // call returns while the lock is held (its record has value -1).
  void Enter_Staging(Worker* worker = nullptr) {
    Worker& who = worker != nullptr ? *worker : stager_;
    for (int attempt = 0; attempt < 10; ++attempt) {
      Hold_Lock();
      std::future<void> call = who.Post(
          [this] { channel_->Trace(0, TRL_INFO, nullptr, 1, "f", "b", "b %d %d", -1, 0); });
      const bool staged = call.wait_for(attempt == 0 ? 100ms : 5s) == std::future_status::ready;
      Let_Go();
      call.wait();
      if (staged) {
        channel_->Merge_Staged();  // the tests start with nothing staged
        return;
      }
    }
    FAIL() << "the channel never staged";
  }

  // Every data record of the site "b %d %d" with a value from 0 delivered so far, in order.
  std::vector<Record> Delivered_B() {
    std::vector<Record> found;
    for (const auto& packet : client_->Packets()) {
      for (const Record& record : Parse_Records(packet)) {
        if (record.subtype == eTRTrace_Data && record.bytes.size() == kB_Size &&
            Value_Of(record) >= 0)
          found.push_back(record);
      }
    }
    return found;
  }
  // Waits (at most 10 s) until `count` of them were delivered.
  std::vector<Record> Await_B(size_t count) {
    for (int i = 0; i < 1000 && Delivered_B().size() < count; ++i)
      std::this_thread::sleep_for(10ms);
    return Delivered_B();
  }

  std::thread holder_;
  Worker stager_;
};

TEST_F(StagingTest, StagedCallsReturnAtOnceAndArriveDescribedNumberedAndInOrder) {
  Enter_Staging();
  Stage_While_Held();
  EXPECT_TRUE(Delivered_B().empty()) << "delivered while the lock was held";
  Let_Go();

  // Nobody calls again: the drainer delivers them.
  const std::vector<Record> delivered = Await_B(kStaged);
  ASSERT_EQ(delivered.size(), size_t{kStaged});
  for (int i = 0; i < kStaged; ++i) EXPECT_EQ(Value_Of(delivered[i]), i);

  std::set<uint16_t> described;
  uint32_t last_sequence = 0;
  uint64_t last_timer = 0;
  for (const auto& packet : client_->Packets()) {
    for (const Record& record : Parse_Records(packet)) {
      if (record.subtype == eTRTrace_Format) described.insert(record.As<sTRTrace_Format>().id);
      if (record.subtype != eTRTrace_Data) continue;
      const sTRTrace_Data data = record.As<sTRTrace_Data>();
      EXPECT_TRUE(described.count(data.id));
      EXPECT_GT(data.sequence, last_sequence);
      EXPECT_GE(data.timer, last_timer);
      last_sequence = data.sequence;
      last_timer = data.timer;
    }
  }
  EXPECT_EQ(channel_->Lost_Calls(), 0u);
}

TEST_F(StagingTest, FilteredStagedCallsAreCountedInTheSequence) {
  Enter_Staging();
  channel_->Set_Verbosity(nullptr, TRL_WARNING);
  void* module = nullptr;
  ASSERT_TRUE(channel_->Register_Module("quiet", &module));
  channel_->Set_Verbosity(module, TRL_CRITICAL);
  Hold_Lock();  // counted: 1
  Without_Waiting([this, module] {
    EXPECT_TRUE(channel_->Trace(0, TRL_WARNING, nullptr, 1, "f", "b", "b %d %d", 0, 0));
    EXPECT_FALSE(channel_->Trace(0, TRL_INFO, nullptr, 1, "f", "b", "b %d %d", 1, 0));
    EXPECT_FALSE(channel_->Trace(0, TRL_INFO, nullptr, 1, "f", "b", "b %d %d", 2, 0));
    EXPECT_FALSE(channel_->Trace(0, TRL_ERROR, module, 1, "f", "b", "b %d %d", 3, 0));
    EXPECT_TRUE(channel_->Trace(0, TRL_WARNING, nullptr, 1, "f", "b", "b %d %d", 4, 0));
  });
  Let_Go();
  const std::vector<Record> delivered = Await_B(2);
  ASSERT_EQ(delivered.size(), 2u);
  EXPECT_EQ(Value_Of(delivered[0]), 0);
  EXPECT_EQ(Value_Of(delivered[1]), 4);
  // The record of Enter_Staging, then the holder's call, two staged and three filtered calls.
  uint32_t first = 0;
  for (const auto& packet : client_->Packets()) {
    for (const Record& record : Parse_Records(packet)) {
      if (record.subtype == eTRTrace_Data && record.bytes.size() == kB_Size &&
          Value_Of(record) == -1)
        first = record.As<sTRTrace_Data>().sequence;
    }
  }
  ASSERT_NE(first, 0u);
  EXPECT_EQ(delivered[1].As<sTRTrace_Data>().sequence - first, 6u);
}

// A merge batch the sink refuses gives back only its own numbers: the filtered calls folded into
// the counter with it still count once the batch is delivered.
TEST_F(StagingTest, ARefusedBatchKeepsTheFilteredCallsCounted) {
  for (const bool refused : {false, true}) {
    SCOPED_TRACE(refused ? "refused once" : "accepted");
    Reopen({});
    Enter_Staging();
    channel_->Set_Verbosity(nullptr, TRL_WARNING);
    Hold_Lock();
    Without_Waiting([this] {
      EXPECT_FALSE(channel_->Trace(0, TRL_INFO, nullptr, 1, "f", "b", "b %d %d", 1, 0));
      EXPECT_FALSE(channel_->Trace(0, TRL_INFO, nullptr, 1, "f", "b", "b %d %d", 2, 0));
      EXPECT_TRUE(channel_->Trace(0, TRL_WARNING, nullptr, 1, "f", "b", "b %d %d", 3, 0));
    });
    Let_Go();  // the holder's call; the staged one waits for a merge
    if (refused) {
      client_->Refuse(eCode_No_Room);
      channel_->Merge_Staged();
      EXPECT_TRUE(Delivered_B().empty());
      client_->Refuse(eCode_Ok);
    }
    channel_->Merge_Staged();
    const std::vector<Record> delivered = Await_B(1);
    ASSERT_EQ(delivered.size(), 1u);
    uint32_t mark = 0;
    for (const auto& packet : client_->Packets()) {
      for (const Record& record : Parse_Records(packet)) {
        if (record.subtype == eTRTrace_Data && record.bytes.size() != kB_Size)
          mark = std::max(mark, record.As<sTRTrace_Data>().sequence);
      }
    }
    ASSERT_NE(mark, 0u);
    // The last other record is the holder's call; after it two filtered calls, then the staged one.
    EXPECT_EQ(delivered[0].As<sTRTrace_Data>().sequence - mark, 3u);
  }
}

TEST_F(StagingTest, ASinkWithoutRoomDelaysStagedRecordsAndAnOffSinkReportsThem) {
  struct Case {
    const char* label;
    uint32_t code;
    bool delivered_later;  // else dropped and reported as lost
  } const cases[] = {{"no room", eCode_No_Room, true}, {"sink off", eCode_Off, false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    Reopen({});
    Enter_Staging();
    Stage_While_Held();
    client_->Refuse(c.code);
    Let_Go();                            // the holder's own call is refused
    std::this_thread::sleep_for(100ms);  // the drainer tries meanwhile
    EXPECT_TRUE(Delivered_B().empty());
    client_->Refuse(eCode_Ok);
    // A locked call merges what is staged before its own record.
    ASSERT_TRUE(channel_->Trace_Managed(0, TRL_INFO, nullptr, 9, "f", "after", "after"));
    if (c.delivered_later) {
      const std::vector<Record> delivered = Await_B(kStaged);
      ASSERT_EQ(delivered.size(), size_t{kStaged});
      for (int i = 0; i < kStaged; ++i) EXPECT_EQ(Value_Of(delivered[i]), i);
      EXPECT_EQ(channel_->Lost_Calls(), 1u);  // the holder's call only
    } else {
      EXPECT_TRUE(Delivered_B().empty());
      EXPECT_EQ(channel_->Lost_Calls(), 1u + kStaged);
    }
  }
}

TEST_F(StagingTest, FlushStopAndCloseTakeStagedRecordsFirst) {
  enum class eHow { eFlush, eThread_Stop, eFinal_Flush, eFinal_Flush_Full };
  for (eHow how : {eHow::eFlush, eHow::eThread_Stop, eHow::eFinal_Flush, eHow::eFinal_Flush_Full}) {
    SCOPED_TRACE(static_cast<int>(how));
    Reopen({});
    Enter_Staging();
    ASSERT_TRUE(channel_->Register_Thread("stager", 4242));
    Stage_While_Held();
    // Full: no room from before the drainer could take them.
    if (how == eHow::eFinal_Flush_Full) client_->Refuse(eCode_No_Room);
    Let_Go();
    switch (how) {
      case eHow::eFlush:
        channel_->Merge_Staged();  // what a sink's Flush does first
        EXPECT_EQ(Delivered_B().size(), size_t{kStaged});
        break;
      case eHow::eThread_Stop: {
        ASSERT_TRUE(channel_->Unregister_Thread(4242));
        size_t data = 0;
        bool stopped = false;
        for (const auto& packet : client_->Packets()) {
          for (const Record& record : Parse_Records(packet)) {
            if (record.subtype == eTRTrace_Thread_Stop) stopped = true;
            if (record.subtype == eTRTrace_Data && record.bytes.size() == kB_Size &&
                Value_Of(record) >= 0) {
              EXPECT_FALSE(stopped) << "a record after its thread's stop";
              ++data;
            }
          }
        }
        EXPECT_TRUE(stopped);
        EXPECT_EQ(data, size_t{kStaged});
        break;
      }
      case eHow::eFinal_Flush:
        client_->Flush_Channel(channel_->Get_ID());
        EXPECT_EQ(Delivered_B().size(), size_t{kStaged});
        EXPECT_EQ(Subtypes(Last()).back(), uint32_t{eTRTrace_Close});
        break;
      case eHow::eFinal_Flush_Full:
        // Still no room when the channel closes: they cannot wait any longer and count as lost,
        // with the holder's refused call.
        client_->Flush_Channel(channel_->Get_ID());
        EXPECT_TRUE(Delivered_B().empty());
        EXPECT_EQ(channel_->Lost_Calls(), uint64_t{kStaged} + 1);
        client_->Refuse(eCode_Ok);
        break;
    }
  }
}

// The drainer merges without its registry: while it delivers one channel's staged records into a
// sink that holds the call, other channels are still created and destroyed (which list and unlist
// them with the drainer).
TEST_F(StagingTest, ADrainerDeliveringIntoAHeldSinkHoldsUpNoOtherChannel) {
  // Staged records, then the gate closed again right behind the holder's call, before the
  // drainer's merge (retried in the rare case that the merge slipped through first).
  bool held = false;
  for (int attempt = 0; attempt < 5 && !held; ++attempt) {
    Reopen({});
    Enter_Staging();
    Stage_While_Held();
    client_->Open_Gate();
    holder_.join();
    client_->Close_Gate();
    held = client_->Wait_At_Gate(2s);
    if (!held) client_->Open_Gate();
  }
  ASSERT_TRUE(held) << "the drainer never met the closed gate";

  std::future<void> other = std::async(std::launch::async, [] {
    RecordingClient* client = new RecordingClient(std::vector<std::string>{});
    CTRTrace* channel = CTRTrace::Create(client, "other", nullptr);
    EXPECT_NE(channel, nullptr);
    if (channel != nullptr) channel->Release();
    client->Release();
  });
  EXPECT_EQ(other.wait_for(10s), std::future_status::ready) << "held up by the drainer";
  client_->Open_Gate();
  other.wait();
  EXPECT_EQ(Await_B(kStaged).size(), size_t{kStaged});
}

TEST_F(StagingTest, ManyThreadsStagingKeepEveryRecordAndEachThreadsOrder) {
  constexpr int kThreads = 4;
  constexpr int kCalls = 20000;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([this, t] {
      for (int i = 0; i < kCalls; ++i)
        EXPECT_TRUE(
            channel_->Trace(0, TRL_INFO, nullptr, 1, "f", "b", "b %d %d", t * kCalls + i, 0));
    });
  }
  for (auto& thread : threads) thread.join();
  channel_->Merge_Staged();
  const std::vector<Record> delivered = Delivered_B();
  ASSERT_EQ(delivered.size(), size_t{kThreads} * kCalls);
  std::vector<int64_t> last(kThreads, -1);
  uint32_t last_sequence = 0;
  uint64_t last_timer = 0;
  for (const Record& record : delivered) {
    const int64_t value = Value_Of(record);
    const int t = static_cast<int>(value / kCalls);
    EXPECT_GT(value, last[t]);
    last[t] = value;
    const sTRTrace_Data data = record.As<sTRTrace_Data>();
    EXPECT_GT(data.sequence, last_sequence);
    EXPECT_GE(data.timer, last_timer);
    last_sequence = data.sequence;
    last_timer = data.timer;
  }
}

// A signal handler tracing on the thread of a staged call, between the call's site lookup and its
// use of the entry, at a site whose entry is the same cache slot but whose argument layout
// differs ("c %d" against "b %d %d"): the staged call keeps its own site's layout and the
// handler's call arrives whole with its own. Driven by the staging's test seam, which raises the
// signal at that exact point.
struct sSignal_Scene {
  CTRTrace* channel = nullptr;
  std::function<void()> release_lock;
  const char* handler_format = nullptr;
  bool handler_traced = false;
  bool handler_result = false;
};
sSignal_Scene g_Scene;
// Formats of one layout at distinct addresses: one of them shares the staged site's cache slot.
char g_Colliding_Formats[512][8];
constexpr char kHandler_Function[] = "handler";

bool Trace_Format(CTRTrace* channel, const char* function, const char* format, ...) {
  va_list args;
  va_start(args, format);
  const bool sent =
      channel->Trace_Embedded(0, TRL_INFO, nullptr, 2, "f", function, &format, &args);
  va_end(args);
  return sent;
}

void On_Signal(int) {
  g_Scene.handler_result =
      Trace_Format(g_Scene.channel, kHandler_Function, g_Scene.handler_format, 77);
  g_Scene.handler_traced = true;
}

void After_Site_Lookup(const sStage_Site& copied) {
  CTrace_Staging::s_After_Site_Lookup = nullptr;  // once
  sStage_Thread* thread = Stage_Thread();
  const sStage_Site* slot = thread->Site(copied.serial, copied.function, copied.format);
  for (auto& format : g_Colliding_Formats) {
    if (thread->Site(copied.serial, kHandler_Function, format) == slot) {
      g_Scene.handler_format = format;
      break;
    }
  }
  ASSERT_NE(g_Scene.handler_format, nullptr);
  g_Scene.release_lock();  // the handler's call may take the lock
  raise(SIGUSR1);
}

TEST_F(StagingTest, ASignalHandlerTracingBetweenSiteLookupAndUseChangesNoLayout) {
  for (auto& format : g_Colliding_Formats) snprintf(format, sizeof(format), "c %%d");
  Enter_Staging();
  g_Scene = sSignal_Scene{};
  g_Scene.channel = channel_;
  g_Scene.release_lock = [this] { Let_Go(); };
  struct sigaction action {};
  struct sigaction previous {};
  action.sa_handler = On_Signal;
  sigemptyset(&action.sa_mask);
  ASSERT_EQ(sigaction(SIGUSR1, &action, &previous), 0);

  Hold_Lock();  // the call below stages; the seam lets the lock go before the signal
  CTrace_Staging::s_After_Site_Lookup = After_Site_Lookup;
  Without_Waiting(
      [this] { EXPECT_TRUE(channel_->Trace(0, TRL_INFO, nullptr, 1, "f", "b", "b %d %d", 5, 6)); });
  CTrace_Staging::s_After_Site_Lookup = nullptr;
  sigaction(SIGUSR1, &previous, nullptr);
  ASSERT_TRUE(g_Scene.handler_traced);
  EXPECT_TRUE(g_Scene.handler_result);
  channel_->Merge_Staged();

  // Every data record must match its descriptor's layout: "b %d %d" two values, "c %d" one.
  std::map<uint16_t, std::string> formats;
  int staged_seen = 0;
  int handler_seen = 0;
  for (const auto& packet : client_->Packets()) {
    for (const Record& record : Parse_Records(packet)) {
      if (record.subtype == eTRTrace_Format) {
        formats[record.As<sTRTrace_Format>().id] = Format_Text(record);
        continue;
      }
      if (record.subtype != eTRTrace_Data) continue;
      const sTRTrace_Data data = record.As<sTRTrace_Data>();
      ASSERT_TRUE(formats.count(data.id)) << "a record before its descriptor";
      // The first value, where the record has one (the lock holder's record has none).
      int64_t first = 0;
      if (record.bytes.size() >= sizeof(sTRTrace_Data) + sizeof(first))
        memcpy(&first, record.bytes.data() + sizeof(sTRTrace_Data), sizeof(first));
      if (formats[data.id] == "b %d %d") {
        EXPECT_EQ(record.bytes.size(), kB_Size);
        if (first == 5) ++staged_seen;
      } else if (formats[data.id] == "c %d") {
        EXPECT_EQ(record.bytes.size(), sizeof(sTRTrace_Data) + 8 + 1);
        EXPECT_EQ(first, 77);
        ++handler_seen;
      }
    }
  }
  EXPECT_EQ(staged_seen, 1);
  EXPECT_EQ(handler_seen, 1);
  EXPECT_EQ(channel_->Lost_Calls(), 0u);
}

// A call whose ring is full while the sink has no room gives the sink a moment and merges again
// rather than being refused: here the sink refuses the two tries of the first merge and takes
// the next one.
TEST_F(StagingTest, ACallWithAFullRingWaitsBrieflyForRoomInsteadOfBeingRefused) {
  Enter_Staging();
  // The sink's room from now on: none for the next `refusals` tries, whichever thread merges
  // (the stager's own merges or the drainer's: on a loaded machine either may come first).
  std::atomic<int> refusals{0};
  client_->Room_When([&refusals] {
    if (refusals.load() <= 0) return true;
    refusals.fetch_sub(1);
    return false;
  });
  const uint64_t lost_before = channel_->Lost_Calls();

  constexpr size_t kEntry = (sizeof(CStaging_Ring::sEntry) + kB_Size + 7) & ~size_t{7};
  constexpr int kCapacity = static_cast<int>(CStaging_Ring::kBytes / kEntry);
  refusals = INT32_MAX;
  Hold_Lock();
  Without_Waiting([this] {
    for (int i = 0; i < kCapacity; ++i)
      ASSERT_TRUE(channel_->Trace(0, TRL_INFO, nullptr, 1, "f", "b", "b %d %d", i, 0));
  });
  Let_Go();  // the holder's own call is refused
  refusals = 2;  // one merge's two tries: the call waits for a later one
  Without_Waiting([this] {
    EXPECT_TRUE(channel_->Trace(0, TRL_INFO, nullptr, 1, "f", "b", "b %d %d", kCapacity, 0));
  });
  EXPECT_EQ(channel_->Lost_Calls(), lost_before + 1);

  channel_->Merge_Staged();
  client_->Room_When(nullptr);
  const std::vector<Record> delivered = Delivered_B();
  ASSERT_EQ(delivered.size(), size_t{kCapacity} + 1);
  for (int i = 0; i <= kCapacity; ++i) ASSERT_EQ(Value_Of(delivered[i]), i);
}

// A call whose ring is full keeps waiting as long as the sink takes records, even when they are
// another thread's and it takes them slowly: the other thread's older records go first, one
// batch a millisecond, for longer than a wait that counted from its start would last; the
// call's own record is then staged, not refused.
TEST_F(StagingTest, ACallWithAFullRingWaitsAsLongAsTheSinkTakesRecords) {
  Worker other;
  Enter_Staging(&other);
  Enter_Staging();
  const uint64_t lost_before = channel_->Lost_Calls();
  constexpr size_t kEntry = (sizeof(CStaging_Ring::sEntry) + kB_Size + 7) & ~size_t{7};
  constexpr int kCapacity = static_cast<int>(CStaging_Ring::kBytes / kEntry);
  // Four batches of the other thread's: about 4 ms at one batch a millisecond, twice the bound
  // of a wait in which the sink takes nothing and a fifth of the cap of any wait.
  constexpr int kOlder = static_cast<int>(CTrace_Staging::kBatch_Records) * 4;

  std::atomic<bool> paced{false};
  auto last = std::chrono::steady_clock::now();
  client_->Room_When([&paced, &last] {
    if (!paced.load()) return false;
    const auto now = std::chrono::steady_clock::now();
    if (now - last < 1ms) return false;
    last = now;
    return true;
  });
  Hold_Lock();
  other.Post([this] {
         for (int i = 0; i < kOlder; ++i)
           ASSERT_TRUE(channel_->Trace(0, TRL_INFO, nullptr, 1, "f", "b", "b %d %d", -2, i));
       })
      .wait();
  Without_Waiting([this] {
    for (int i = 0; i < kCapacity; ++i)
      ASSERT_TRUE(channel_->Trace(0, TRL_INFO, nullptr, 1, "f", "b", "b %d %d", i, 0));
  });
  Let_Go();  // the holder's own call is refused
  paced = true;
  const auto start = std::chrono::steady_clock::now();
  Without_Waiting([this] {
    EXPECT_TRUE(channel_->Trace(0, TRL_INFO, nullptr, 1, "f", "b", "b %d %d", kCapacity, 0));
  });
  EXPECT_GT(std::chrono::steady_clock::now() - start,
            std::chrono::microseconds(CTrace_Staging::kFull_Wait_us))
      << "the call did not have to wait past the bound: the scene shows nothing";
  EXPECT_EQ(channel_->Lost_Calls(), lost_before + 1);

  client_->Room_When(nullptr);
  channel_->Merge_Staged();
  const std::vector<Record> delivered = Delivered_B();
  ASSERT_EQ(delivered.size(), size_t{kCapacity} + 1);
  for (int i = 0; i <= kCapacity; ++i) ASSERT_EQ(Value_Of(delivered[i]), i);
}

// Staging mode begins with contention and ends kLinger_ms after it began once merges find one
// thread's records only; from then on a call's record reaches the sink before the call returns.
// The lower bound is measured from before the contention that began the mode, so it holds
// however late this thread observes the mode's end.
TEST_F(StagingTest, StagingModeEndsAfterItsLingerWithoutContention) {
  Enter_Staging();
  int value = 0;
  // One thread calls alone, its records merged by the drainer or its own calls, until a merge
  // leaves the mode (a 60 s backstop).
  auto call_alone_until_the_mode_ends = [&] {
    const auto backstop = std::chrono::steady_clock::now() + 60s;
    while (channel_->Staging_Active() && std::chrono::steady_clock::now() < backstop) {
      stager_.Post([this, v = value] {
        EXPECT_TRUE(channel_->Trace(0, TRL_INFO, nullptr, 1, "f", "b", "b %d %d", v, 0));
      }).wait();
      ++value;
      std::this_thread::sleep_for(5ms);
    }
    return !channel_->Staging_Active();
  };
  ASSERT_TRUE(call_alone_until_the_mode_ends()) << "staging mode never ended without contention";

  // Contention begins the mode again; no merge can end it while the lock is held.
  const auto before_contention = std::chrono::steady_clock::now();
  Hold_Lock();
  std::future<void> contended = stager_.Post([this, v = value] {
    EXPECT_TRUE(channel_->Trace(0, TRL_INFO, nullptr, 1, "f", "b", "b %d %d", v, 0));
  });
  ++value;
  const auto backstop = std::chrono::steady_clock::now() + 60s;
  while (!channel_->Staging_Active() && std::chrono::steady_clock::now() < backstop)
    std::this_thread::sleep_for(1ms);
  ASSERT_TRUE(channel_->Staging_Active()) << "contention did not begin staging mode";
  Let_Go();
  contended.wait();

  ASSERT_TRUE(call_alone_until_the_mode_ends()) << "staging mode never ended without contention";
  EXPECT_GE(std::chrono::steady_clock::now() - before_contention,
            std::chrono::milliseconds(CTrace_Staging::kLinger_ms));

  // Out of the mode, a call goes the locked way: delivered when it returns.
  channel_->Merge_Staged();
  stager_.Post([this, v = value] {
    EXPECT_TRUE(channel_->Trace(0, TRL_INFO, nullptr, 1, "f", "b", "b %d %d", v, 0));
  }).wait();
  const std::vector<Record> delivered = Delivered_B();
  ASSERT_EQ(delivered.size(), static_cast<size_t>(value) + 1);
  EXPECT_EQ(Value_Of(delivered.back()), value);
  EXPECT_EQ(channel_->Lost_Calls(), 0u);
}

}  // namespace

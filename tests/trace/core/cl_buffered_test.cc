// The buffered-sink base under a small test sink: a full pool refuses or waits as the sink
// chooses (and never waits on the worker itself), the worker runs with asynchronous signals
// blocked, and Close neither deadlocks nor loses accepted data when it is re-entered on the
// closing thread or run on the worker while another thread is closing.
#include "trace/core/cl_buffered.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <string.h>

#include <atomic>
#include <chrono>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "support/option_args.h"
#include "support/recording_channel.h"

namespace {

using namespace std::chrono_literals;

constexpr CClBuffered::sWorker_Plan kRefusePlan{
    10, 0, 15000, CClBuffered::kMaxBatch, false, CClBuffered::eWhen_Full::eRefuse};
constexpr CClBuffered::sWorker_Plan kWaitPlan{100, 100, 0, 1, true, CClBuffered::eWhen_Full::eWait};

// Records what it is given; the worker can be held inside Consume (the gate) and be asked to run
// a step there (Sent or Close on the worker itself).
class TestSink final : public CClBuffered {
 public:
  enum class Step { None, Send, Close };

  TestSink(const sWorker_Plan& plan, std::vector<std::string> options)
      : CClBuffered(eFileBin, nullptr, 0, plan) {
    mqw_test::OptionArgs args(std::move(options));
    if (m_Status == eCode_Ok)
      m_Status = Init_Pool(Plan_Pool(args.Count() ? args.Get()[0] : nullptr, kPool_File_Cap));
    if (m_Status == eCode_Ok) m_Status = Init_Thread();
  }
  ~TestSink() override { Shut_Down(); }

  std::atomic<bool> hold{false};  // the worker waits inside Consume while set
  std::atomic<bool> held{false};  // the worker is waiting there
  std::atomic<Step> step{Step::None};
  std::atomic<uint32_t> step_result{UINT32_MAX};
  std::atomic<int> closed{0};
  sigset_t worker_mask{};
  std::atomic<bool> mask_seen{false};

  std::string Delivered() {
    std::lock_guard<std::mutex> lock(mutex_);
    return delivered_;
  }

  bool Run_On_Worker(Step what) {
    step = what;
    for (int i = 0; i < 2000 && step != Step::None; ++i) std::this_thread::sleep_for(5ms);
    return step == Step::None;
  }

 private:
  void Record(const sBuffer* buffer) {
    std::lock_guard<std::mutex> lock(mutex_);
    delivered_.append(reinterpret_cast<const char*>(buffer->data), buffer->used);
  }

  bool Consume(sBuffer* const* batch, uint32_t count, bool) override {
    if (!mask_seen) {
      pthread_sigmask(SIG_BLOCK, nullptr, &worker_mask);
      mask_seen = true;
    }
    for (uint32_t i = 0; i < count; ++i) Record(batch[i]);
    while (hold) {
      held = true;
      if (step == Step::Send) {
        std::string payload(16380, 'w');
        sTRC_Data_Chunk chunk{payload.data(), 16380};
        step_result = Sent(0, &chunk, 1, 16380);
        step = Step::None;
      } else if (step == Step::Close) {
        step_result = Close() ? 1 : 0;
        step = Step::None;
      }
      std::this_thread::sleep_for(1ms);
    }
    held = false;
    return true;
  }
  bool Drain_Buffer_Locked(sBuffer* buffer) override TR_REQUIRES(m_StatusLock) {
    Record(buffer);
    return true;
  }
  void On_Closed() override { ++closed; }

  std::mutex mutex_;
  std::string delivered_;
};

uint32_t Send(ITR_Client* sink, uint32_t id, uint32_t size, char fill) {
  std::string payload(size, fill);
  sTRC_Data_Chunk chunk{payload.data(), size};
  return sink->Sent(id, &chunk, 1, size);
}

// The records of a delivered stream: "<id>:<fill>x<size>".
std::vector<std::string> Records(const std::string& stream) {
  std::vector<std::string> records;
  for (size_t at = 0; at + 4 <= stream.size();) {
    uint32_t header;
    memcpy(&header, stream.data() + at, 4);
    const uint32_t length = header & sTRC_User_Header::kMaxLength;
    if (length < 4 || at + length > stream.size()) {
      records.push_back("broken");
      break;
    }
    records.push_back(std::to_string(header >> 27) + ":" + (length > 4 ? stream[at + 4] : '-') +
                      "x" + std::to_string(length - 4));
    at += length;
  }
  return records;
}

bool Wait_For(const std::atomic<bool>& flag) {
  for (int i = 0; i < 2000 && !flag; ++i) std::this_thread::sleep_for(5ms);
  return flag;
}

// Three buffers of 16384 bytes, each record fills one exactly. The worker holds the first; the
// other two fill the pool; the fourth record is refused or waits for the worker.
TEST(BufferedSink, FullPoolRefusesOrWaits) {
  for (const bool waits : {false, true}) {
    SCOPED_TRACE(waits ? "wait" : "refuse");
    TestSink* sink = new TestSink(waits ? kWaitPlan : kRefusePlan, {"1"});
    ASSERT_EQ(sink->Get_Status(), 0u);
    ASSERT_EQ(sink->Buffer_Count(), 3u);
    sink->hold = true;
    ASSERT_EQ(Send(sink, 1, 16380, 'a'), 0u);
    ASSERT_TRUE(Wait_For(sink->held));
    ASSERT_EQ(Send(sink, 2, 16380, 'b'), 0u);
    ASSERT_EQ(Send(sink, 3, 16380, 'c'), 0u);

    // On the worker itself a full pool never makes a producer wait.
    ASSERT_TRUE(sink->Run_On_Worker(TestSink::Step::Send));
    EXPECT_EQ(sink->step_result.load(), static_cast<uint32_t>(eCode_No_Room));
    // As large as the whole pool: no worker could ever make room.
    EXPECT_EQ(Send(sink, 4, 49148, 'x'), static_cast<uint32_t>(eCode_No_Room));

    auto fourth = std::async(std::launch::async, [&] { return Send(sink, 4, 16380, 'd'); });
    if (waits) {
      EXPECT_EQ(fourth.wait_for(300ms), std::future_status::timeout);
      sink->hold = false;
      ASSERT_EQ(fourth.wait_for(10s), std::future_status::ready);
      EXPECT_EQ(fourth.get(), 0u);
    } else {
      ASSERT_EQ(fourth.wait_for(10s), std::future_status::ready);
      EXPECT_EQ(fourth.get(), static_cast<uint32_t>(eCode_No_Room));
      sink->hold = false;
    }
    sTRC_Info info{};
    ASSERT_TRUE(sink->Get_Info(&info));
    EXPECT_EQ(info.rejects_no_room, waits ? 2u : 3u);
    EXPECT_EQ(info.allocated_bytes, 3u * 16384);
    EXPECT_TRUE(sink->Close());
    std::vector<std::string> expected = {"1:ax16380", "2:bx16380", "3:cx16380"};
    if (waits) expected.push_back("4:dx16380");
    EXPECT_EQ(Records(sink->Delivered()), expected);
    EXPECT_EQ(sink->closed.load(), 1);
    sink->Release();
  }
}

// Every buffering sink (binary file, text) runs this worker: its mask is tested here once.
TEST(BufferedSink, WorkerBlocksAsynchronousSignals) {
  TestSink* sink = new TestSink(kWaitPlan, {});
  ASSERT_EQ(Send(sink, 0, 10, 'm'), 0u);
  ASSERT_TRUE(Wait_For(sink->mask_seen));
  for (int blocked : {SIGTERM, SIGINT, SIGHUP, SIGUSR1, SIGCHLD})
    EXPECT_EQ(sigismember(&sink->worker_mask, blocked), 1) << blocked;
  for (int fault : {SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT})
    EXPECT_EQ(sigismember(&sink->worker_mask, fault), 0) << fault;
  sink->Release();
}

// A channel flushed by Close calls Close again from its flush (as a signal handler on the closing
// thread would): the inner call returns at once, the outer one finishes the job.
TEST(BufferedSink, CloseReenteredOnTheClosingThreadReturnsAtOnce) {
  TestSink* sink = new TestSink(kRefusePlan, {});
  RecordingChannel channel;
  ASSERT_EQ(sink->Register_Channel(&channel), 0u);
  std::atomic<int> inner{-1};
  channel.Set_Flush_Hook([&](uint32_t id) {
    inner = sink->Close() ? 1 : 0;
    EXPECT_EQ(Send(sink, id, 5, 'f'), 0u);  // the final records still go in
  });
  ASSERT_EQ(Send(sink, channel.Id(), 7, 'e'), 0u);
  auto closing = std::async(std::launch::async, [&] { return sink->Close(); });
  ASSERT_EQ(closing.wait_for(10s), std::future_status::ready);
  EXPECT_TRUE(closing.get());
  EXPECT_EQ(inner.load(), 1);
  EXPECT_EQ(sink->closed.load(), 1);
  EXPECT_EQ(Records(sink->Delivered()), (std::vector<std::string>{"0:ex7", "0:fx5"}));
  EXPECT_EQ(Send(sink, 0, 1, 'z'), static_cast<uint32_t>(eCode_Off));
  sink->Unregister_Channel(channel.Id());
  sink->Release();
}

// Close on the worker itself (a crash there) while another thread is closing and waits for the
// worker: neither waits for the other, and everything accepted is delivered once, in order.
TEST(BufferedSink, CloseOnTheWorkerWhileAnotherThreadCloses) {
  for (const bool other_closer : {false, true}) {
    SCOPED_TRACE(other_closer ? "with another closer" : "alone");
    TestSink* sink = new TestSink(kRefusePlan, {"1"});
    sink->hold = true;
    ASSERT_EQ(Send(sink, 1, 16380, 'a'), 0u);
    ASSERT_TRUE(Wait_For(sink->held));
    ASSERT_EQ(Send(sink, 2, 16380, 'b'), 0u);
    ASSERT_EQ(Send(sink, 3, 100, 'c'), 0u);  // stays in the partly filled buffer
    std::future<bool> closing;
    if (other_closer) {
      closing = std::async(std::launch::async, [&] { return sink->Close(); });
      EXPECT_EQ(closing.wait_for(200ms), std::future_status::timeout);  // joining the worker
    }
    ASSERT_TRUE(sink->Run_On_Worker(TestSink::Step::Close));
    EXPECT_EQ(sink->step_result.load(), 1u);
    EXPECT_EQ(sink->closed.load(), 1);
    sink->hold = false;
    if (other_closer) {
      ASSERT_EQ(closing.wait_for(10s), std::future_status::ready);
      EXPECT_TRUE(closing.get());
    }
    EXPECT_TRUE(sink->Close());
    EXPECT_EQ(sink->closed.load(), 1);
    EXPECT_EQ(Records(sink->Delivered()),
              (std::vector<std::string>{"1:ax16380", "2:bx16380", "3:cx100"}));
    EXPECT_EQ(Send(sink, 0, 1, 'z'), static_cast<uint32_t>(eCode_Off));
    sink->Release();
  }
}

}  // namespace

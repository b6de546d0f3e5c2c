// The backtrace stamp: logged at info for 0 and returning; as the handler of fatal and
// termination signals (installed with signal(), as the logger set-up does) logged at the level of
// the signal and ending the process with the signal number. Signals run in forked children.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/mman.h>
#include <unistd.h>

#include <string>

#include <mqtt-wrapper/trhelper.h>

#include "support/child_process.h"
#include "support/recording_trace.h"

namespace mqw_test {
namespace {

TEST(BacktraceStampTest, FacadeGlobals) {
  EXPECT_STREQ(TR::MainTrace, "MainTrace");
  RecordingTrace trace;
  {
    ScopedTraceInstall install(&trace);
    EXPECT_EQ(TR::getTrace(), &trace);
  }
  EXPECT_EQ(TR::getTrace(), nullptr);
}

TEST(BacktraceStampTest, StampForZeroLogsOneInfoRecordAndReturns) {
  RecordingTrace trace;
  ScopedTraceInstall install(&trace);
  TR::pushBacktraceStamp(0);
  const auto records = trace.Records();
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].level, TRL_INFO);
  EXPECT_EQ(records[0].format, "%s");
  const std::string& text = records[0].text;
  ASSERT_FALSE(text.empty());
  EXPECT_EQ(text[0], '\n');
  size_t frames = 0;
  for (char c : text) frames += c == '\n';
  EXPECT_GE(frames, 2u);  // at least the stamp itself and its caller
  EXPECT_LE(frames, 100u);
  // Without a channel the stamp is dropped, and the call still returns.
  ScopedTraceInstall none(nullptr);
  TR::pushBacktraceStamp(0);
}

struct SignalCase {
  int signal;
  eTRTrace_Level level;
};

TEST(BacktraceStampTest, SignalsAreStampedAndEndTheProcessWithTheirNumber) {
  const SignalCase cases[] = {
      {SIGTERM, TRL_WARNING}, {SIGINT, TRL_WARNING},  {SIGSEGV, TRL_CRITICAL},
      {SIGFPE, TRL_CRITICAL}, {SIGILL, TRL_CRITICAL}, {SIGABRT, TRL_CRITICAL},
  };
  for (const SignalCase& c : cases) {
    SCOPED_TRACE(c.signal);
    ChildResult result = Run_In_Child(
        [&] {
          RecordingTrace trace;
          trace.Echo_To(1);
          ScopedTraceInstall install(&trace);
          for (int s : {SIGTERM, SIGSEGV, SIGINT, SIGILL, SIGABRT, SIGFPE}) {
            signal(s, &TR::pushBacktraceStamp);
          }
          raise(c.signal);
          return 99;  // the handler must not return
        },
        60000);
    ASSERT_TRUE(result.exited) << "signal " << result.signal;
    EXPECT_EQ(result.exit_code, c.signal);
    const auto records = RecordingTrace::Parse_Echo(result.output);
    ASSERT_EQ(records.size(), 1u) << result.output;
    EXPECT_EQ(records[0].level, c.level);
    EXPECT_EQ(records[0].format, "%s");
    const std::string first = "SIGCODE " + std::to_string(c.signal) + "\n";
    EXPECT_EQ(records[0].text.substr(0, first.size()), first) << records[0].text;
  }
}

// A real fault, not a raised signal: the stamp is taken on the faulting thread.
__attribute__((noinline)) void WriteThrough(int* target, int value) {
  *static_cast<volatile int*>(target) = value;
}

TEST(BacktraceStampTest, RealFaultIsStamped) {
  ChildResult result = Run_In_Child(
      [] {
        RecordingTrace trace;
        trace.Echo_To(1);
        ScopedTraceInstall install(&trace);
        signal(SIGSEGV, &TR::pushBacktraceStamp);
        // A mapped page without access: a genuine fault that no sanitizer intercepts first.
        void* page = mmap(nullptr, 4096, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (page == MAP_FAILED) return 98;
        // Everything above must be in memory before the fault (the compiler may otherwise treat
        // the path as unreachable and drop the set-up).
        asm volatile("" ::: "memory");
        WriteThrough(static_cast<int*>(page), 1);
        return 99;
      },
      60000);
  ASSERT_TRUE(result.exited) << "signal " << result.signal;
  EXPECT_EQ(result.exit_code, SIGSEGV) << result.output;
  const auto records = RecordingTrace::Parse_Echo(result.output);
  ASSERT_EQ(records.size(), 1u) << result.output;
  EXPECT_EQ(records[0].level, TRL_CRITICAL);
}

// A fatal signal that arrives while the same thread is stamping ends the process at once with its
// own number (the interrupted stamp's heap and lock state cannot be trusted).
TEST(BacktraceStampTest, SignalDuringStampEndsTheProcessAtOnce) {
  ChildResult result = Run_In_Child(
      [] {
        RecordingTrace trace;
        trace.Echo_To(1);
        // The signal arrives in the middle of the stamp, while its record is being logged.
        trace.Set_Hook([](const RecordingTrace::Record&) { raise(SIGTERM); });
        ScopedTraceInstall install(&trace);
        signal(SIGTERM, &TR::pushBacktraceStamp);
        TR::pushBacktraceStamp(0);
        return 99;
      },
      60000);
  ASSERT_TRUE(result.exited) << "signal " << result.signal;
  EXPECT_EQ(result.exit_code, SIGTERM);
  const auto records = RecordingTrace::Parse_Echo(result.output);
  ASSERT_EQ(records.size(), 1u) << result.output;
  EXPECT_EQ(records[0].level, TRL_INFO);
}

}  // namespace
}  // namespace mqw_test

namespace mqw_test {
namespace {

// With a real client, the stamp of a terminating signal reaches the output although the process
// ends right after logging it: the trace clients are flushed and closed before the exit.
TEST(BacktraceStampTest, SignalStampReachesARealSinkBeforeTheExit) {
  ChildResult result = Run_In_Child(
      [] {
        if (int failed = Install_Console_Trace()) return failed;
        signal(SIGTERM, &TR::pushBacktraceStamp);
        raise(SIGTERM);
        return 99;
      },
      60000);
  ASSERT_TRUE(result.exited) << "signal " << result.signal;
  EXPECT_EQ(result.exit_code, SIGTERM) << result.output;
  EXPECT_NE(result.output.find("SIGCODE 15"), std::string::npos) << result.output;
}

}  // namespace
}  // namespace mqw_test

// trace-cat: binary trace files read back as text lines, checked against what a text sink prints
// for the same calls, plus filters, directories, damaged files and following a growing file.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/capture_sink.h"
#include "support/program.h"
#include "support/stream_builder.h"
#include "support/temp_dir.h"
#include "support/wait_until.h"
#include "trace/decode/formatter.h"
#include "trace/format/file_header.h"

namespace {

using namespace text_test;
using namespace std::chrono_literals;

struct Result {
  int status = -1;
  std::string out;
  std::string err;
};

using mqw_test::Read_File;

Result Run_Cat(const std::vector<std::string>& args) {
  mqw_test::TempDir dir;
  Result result;
  pid_t pid = mqw_test::Spawn_Program(TRACE_CAT_PATH, args, dir.File("out"), dir.File("err"));
  int status = 0;
  waitpid(pid, &status, 0);
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  result.out = Read_File(dir.File("out"));
  result.err = Read_File(dir.File("err"));
  return result;
}

// A ".trd" file: the 1044-byte header (magic, then zeros) and `stream`.
Bytes Trd(const Bytes& stream) {
  Bytes file(kTRD_Header_Size, 0);
  memcpy(file.data(), &kTRD_Magic, sizeof(kTRD_Magic));
  file.insert(file.end(), stream.begin(), stream.end());
  return file;
}

void Write(const std::string& path, const Bytes& bytes) {
  ASSERT_TRUE(mqw_test::Write_File(path, std::string(bytes.begin(), bytes.end())));
}

const char* const kFormat = "--format=%cn|%ix|%id|%lv|%ti|%tn|%mi|%mn|%ff|%fs|%fl|%fn|%ms";

// The same calls on a text client and on a binary file client: trace-cat prints the file as the
// text sink printed the calls, line for line.
TEST(TraceCat, ReadsTheFileSinkLikeTheTextSinkPrints) {
  mqw_test::TempDir dir;
  CaptureSink sink;
  char handle[128];
  snprintf(handle, sizeof(handle), "/TR.Sink=ExternalSinc /TR.ExtAddr=%llX /TR.Format=%s",
           static_cast<unsigned long long>(TR_Register_Text_Sink(&sink)), kFormat + 9);
  ITR_Client* text = TR_Create_Client(handle);
  ITR_Client* file = TR_Create_Client(("/TR.Sink=FileBin /TR.Dir=" + dir.Path()).c_str());
  ASSERT_NE(text, nullptr);
  ASSERT_NE(file, nullptr);
  std::vector<ITR_Trace*> traces = {TR_Create_Trace(text, "Same", nullptr),
                                    TR_Create_Trace(file, "Same", nullptr)};
  for (ITR_Trace* trace : traces) {
    ASSERT_NE(trace, nullptr);
    void* module = nullptr;
    trace->Register_Module("Storage", &module);
    trace->Register_Thread("Main thread", gettid());
    trace->Trace(0, TRL_INFO, nullptr, 10, "/src/app/main.cc", "main", "started %s v%d.%d", "demo",
                 1, 2);
    trace->Trace(0, TRL_WARNING, module, 11, "/src/app/store.cc", "Save",
                 "%5.2f%% full, %llu bytes left", 97.5, 123456789ull);
    trace->Trace(0, TRL_DEBUG, module, 12, "store.cc", "Save", "%-6s|%06x|%c|%ls", "key", 0xbeef,
                 'Q', L"w\u00e8de");
    trace->Trace_Managed(0, TRL_ERROR, nullptr, 13, "main.cc", "main", "already formatted");
    for (int i = 0; i < 200; ++i)
      trace->Trace(0, TRL_TRACE, nullptr, 14, "loop.cc", "Loop", "item %d of %d", i, 200);
  }
  for (ITR_Trace* trace : traces) trace->Release();
  text->Release();
  file->Release();

  Result result = Run_Cat({kFormat, dir.Path()});
  EXPECT_EQ(result.status, 0) << result.err;
  std::vector<std::string> printed = mqw_test::Split_Lines(result.out);
  std::vector<std::string> expected = sink.Texts();
  ASSERT_EQ(expected.size(), 204u);
  EXPECT_EQ(printed, expected);
}

TEST(TraceCat, FiltersAndDirectoryOrder) {
  mqw_test::TempDir dir;
  Bytes setup =
      Packet(0, Cat({Info("Alpha"), Format(1, "msg %d", {4, 8}), Thread_Start(7, 0, "Seven"),
                     Thread_Start(8, 0, "Eight"), Module(1, "Net")}));
  Bytes other = Packet(1, Cat({Info("Beta"), Format(1, "beta %d", {4, 8})}));
  // Written in two files; the directory is read in name order.
  Write(dir.File("20260101-000000.001.trd"),
        Trd(Cat({setup, other, Packet(0, Data(1, kTimer0, Int(3), 0, 7, 3)),
                 Packet(0, Data(1, kTimer0, Int(4), 4, 8, 4, 1)),
                 Packet(1, Data(1, kTimer0, Int(5), 3, 7, 1))})));
  Write(dir.File("20260101-000000.000.trd"),
        Trd(Cat({setup, Packet(0, Data(1, kTimer0, Int(1), 2, 7, 1)),
                 Packet(0, Data(1, kTimer0, Int(2), 5, 8, 2, 1))})));
  Write(dir.File("notes.txt"), Bytes{'x'});
  const struct {
    std::vector<std::string> options;
    std::string expected;
  } cases[] = {
      {{}, "msg 1\nmsg 2\nmsg 3\nmsg 4\nbeta 5\n"},
      {{"--level=warning"}, "msg 2\nmsg 4\nbeta 5\n"},
      {{"--level", "5"}, "msg 2\n"},
      {{"--channel=Beta"}, "beta 5\n"},
      {{"--module=Net"}, "msg 2\nmsg 4\n"},
      {{"--thread=7"}, "msg 1\nmsg 3\nbeta 5\n"},
      {{"--thread=0x8"}, "msg 2\nmsg 4\n"},
      {{"--thread=Eight", "--channel=Alpha"}, "msg 2\nmsg 4\n"},
  };
  for (const auto& c : cases) {
    std::vector<std::string> args = {"--format=%ms"};
    args.insert(args.end(), c.options.begin(), c.options.end());
    args.push_back(dir.Path());
    Result result = Run_Cat(args);
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.out, c.expected) << c.options.size();
  }
  // Files named one by one are read in the given order.
  Result result = Run_Cat(
      {"--format=%ms", dir.File("20260101-000000.001.trd"), dir.File("20260101-000000.000.trd")});
  EXPECT_EQ(result.out, "msg 3\nmsg 4\nbeta 5\nmsg 1\nmsg 2\n");
}

TEST(TraceCat, DamagedFilesAreReportedWithNameAndOffset) {
  mqw_test::TempDir dir;
  Bytes good = Cat({Packet(0, Cat({Info("C"), Format(1, "ok")})), Packet(0, Data(1, kTimer0))});
  Bytes bad_magic = Trd(good);
  bad_magic[0] ^= 0xFF;
  Bytes short_header(100, 0);
  Bytes cut = Trd(good);
  cut.resize(cut.size() - 5);
  Bytes broken = Trd(Cat({good, Packet(0, Bytes{0, 0, 0, 0})}));
  const size_t broken_at = kTRD_Header_Size + good.size() + 4;
  const struct {
    const char* name;
    Bytes content;
    std::string message;
  } cases[] = {
      {"magic.trd", bad_magic, "not a binary trace file (wrong magic number at offset 0)"},
      {"short.trd", short_header, "truncated at offset 100"},
      {"cut.trd", cut, "truncated at offset " + std::to_string(cut.size())},
      {"broken.trd", broken, "damaged at offset " + std::to_string(broken_at)},
  };
  for (const auto& c : cases) {
    Write(dir.File(c.name), c.content);
    Result result = Run_Cat({"--format=%ms", dir.File(c.name)});
    EXPECT_EQ(result.status, 1) << c.name;
    EXPECT_NE(result.err.find(dir.File(c.name) + ": " + c.message), std::string::npos)
        << result.err;
    if (std::string(c.name) == "broken.trd" || std::string(c.name) == "cut.trd") {
      EXPECT_EQ(result.out, std::string(c.name) == "broken.trd" ? "ok\n" : "") << c.name;
    }
  }
  Result missing = Run_Cat({dir.File("none.trd")});
  EXPECT_EQ(missing.status, 1);
  EXPECT_NE(missing.err.find("none.trd: cannot open"), std::string::npos);
  EXPECT_EQ(Run_Cat({"--bogus", dir.Path()}).status, 2);
  EXPECT_EQ(Run_Cat({"--level=loud", dir.Path()}).status, 2);
  Result help = Run_Cat({"--help"});
  EXPECT_EQ(help.status, 0);
  EXPECT_NE(help.out.find("--follow"), std::string::npos);
}

// A small crafted file whose float conversions ask for two billion characters of width or
// precision (the file is about 1.3 KB). The conversions are cut like integer ones, so every line
// has a bounded length and the file is printed at once (before, each record kept the reader busy
// for minutes).
TEST(TraceCat, HugeFloatWidthsInACraftedFileAreCut) {
  mqw_test::TempDir dir;
  const char* const formats[] = {"%2000000000e", "%.2000000000e", "%-2147483647.2147483647f",
                                 "%*.2000000000e"};
  Bytes setup = Info("C");
  for (uint16_t id = 1; id <= 4; ++id) {
    setup = Cat({setup, Format(id, formats[id - 1], id == 4 ? Bytes{4, 8, 6, 8} : Bytes{6, 8})});
  }
  Bytes stream = Packet(0, setup);
  for (uint16_t id = 1; id <= 4; ++id) {
    Bytes values =
        id == 4 ? Cat({Int(2000000000), Int(0x3FF0000000000000)}) : Int(0x3FF0000000000000);  // 1.0
    for (int i = 0; i < 2; ++i) stream = Cat({stream, Packet(0, Data(id, kTimer0, values))});
  }
  std::string path = dir.File("crafted.trd");
  Bytes file = Trd(stream);
  ASSERT_LT(file.size(), 2048u);
  Write(path, file);
  Result result = Run_Cat({"--format=%ms", path});
  EXPECT_EQ(result.status, 0) << result.err;
  std::vector<std::string> lines = mqw_test::Split_Lines(result.out);
  ASSERT_EQ(lines.size(), 8u);
  const size_t cap = static_cast<size_t>(CFormatter::kMaxLiteralWidth);
  const size_t lengths[] = {cap, cap + 6, cap + 2,
                            cap + 6};  // padded; "1." digits "e+00"; "1." digits
  for (size_t i = 0; i < lines.size(); ++i)
    EXPECT_EQ(lines[i].size(), lengths[i / 2]) << formats[i / 2];
}

// A FIFO (or any file that is not regular) is refused at once instead of blocking in open.
TEST(TraceCat, RefusesWhatIsNotARegularFile) {
  mqw_test::TempDir dir;
  std::string fifo = dir.File("pipe.trd");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  Result result = Run_Cat({"--format=%ms", fifo});
  EXPECT_EQ(result.status, 1);
  EXPECT_NE(result.err.find(fifo + ": not a regular file"), std::string::npos) << result.err;
  Result device = Run_Cat({"/dev/null"});
  EXPECT_EQ(device.status, 1);
  EXPECT_NE(device.err.find("/dev/null: not a regular file"), std::string::npos) << device.err;
}

TEST(TraceCat, FollowsAGrowingFile) {
  mqw_test::TempDir dir;
  std::string path = dir.File("live.trd");
  Bytes start = Trd(Cat({Packet(0, Cat({Info("C"), Format(1, "n=%d", {4, 8})})),
                         Packet(0, Data(1, kTimer0, Int(1)))}));
  Write(path, start);
  pid_t pid = mqw_test::Spawn_Program(TRACE_CAT_PATH, {"--follow", "--format=%ms", path},
                                      dir.File("out"), dir.File("err"));
  auto wait_for = [&](const std::string& text) {
    return mqw_test::Wait_Until([&] { return Read_File(dir.File("out")) == text; },
                                mqw_test::kEvent_Backstop, 100ms);
  };
  EXPECT_TRUE(wait_for("n=1\n"));
  // Append a packet in two writes, cut inside its header.
  Bytes more = Cat({Packet(0, Data(1, kTimer0, Int(2))), Packet(0, Data(1, kTimer0, Int(3)))});
  {
    std::ofstream out(path, std::ios::binary | std::ios::app);
    out.write(reinterpret_cast<const char*>(more.data()), 2);
  }
  std::this_thread::sleep_for(300ms);
  {
    std::ofstream out(path, std::ios::binary | std::ios::app);
    out.write(reinterpret_cast<const char*>(more.data()) + 2,
              static_cast<std::streamsize>(more.size() - 2));
  }
  EXPECT_TRUE(wait_for("n=1\nn=2\nn=3\n")) << Read_File(dir.File("out"));
  kill(pid, SIGTERM);
  int status = 0;
  waitpid(pid, &status, 0);
}

}  // namespace

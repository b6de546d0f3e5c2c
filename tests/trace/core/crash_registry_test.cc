// The crash registry and handler: registration of up to 8 clients, TR_Flush, the exceptional
// flush (idempotent, clients still releasable), stale registries, the handler's texts, and
// traces surviving a crash.
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include <mqtt-wrapper/TR.h>

#include "support/child_process.h"
#include "support/temp_dir.h"
#include "support/trd_reader.h"
#include "trace/core/crash_registry.h"
#include "trace/core/sink_factories.h"

namespace mqw_test {
namespace {

// An address that is never mapped; read through a volatile pointer so the fault happens.
volatile int* volatile g_Unmapped = reinterpret_cast<int*>(16);

ITR_Client* File_Sink(const TempDir& dir, const char* extra = nullptr) {
  std::string option = "/TR.Dir=" + dir.Path();
  char* args[] = {option.data(), const_cast<char*>(extra)};
  return New_File_Sink(args, extra != nullptr ? 2 : 1);
}

bool Read_Registry(sCrash_Registry* registry) {
  return CShared::Read(kCrash_Entry, registry, sizeof(*registry));
}

off_t Size_Of(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 ? st.st_size : -1;
}

uint32_t Send(ITR_Client* client, const char* text) {
  sTRC_Data_Chunk chunk{text, static_cast<uint32_t>(strlen(text))};
  return client->Sent(0, &chunk, 1, chunk.size);
}

TEST(CrashRegistry, EightClientsAreRegisteredAndFlushed) {
  std::vector<std::unique_ptr<TempDir>> dirs;
  std::vector<ITR_Client*> clients;
  for (int i = 0; i < 9; ++i) {
    dirs.push_back(std::make_unique<TempDir>());
    clients.push_back(File_Sink(*dirs.back()));
    ASSERT_EQ(clients.back()->Get_Status(), 0u);
  }
  sCrash_Registry registry{};
  ASSERT_TRUE(Read_Registry(&registry));
  EXPECT_EQ(registry.count, 8u);
  EXPECT_EQ(registry.stamp, CShared::Get_Stamp64());
  for (int i = 0; i < 8; ++i) EXPECT_EQ(registry.clients[i], clients[i]);

  // The ninth works normally.
  for (ITR_Client* client : clients) EXPECT_EQ(Send(client, "data"), 0u);

  // TR_Flush makes the registered ones write their partly filled buffers.
  TR_Flush();
  const off_t flushed = static_cast<off_t>(sizeof(sTRD_File_Header) + 8);
  for (int i = 0; i < 8; ++i) {
    const std::string path = List_Trd_Files(dirs[i]->Path()).at(0);
    for (int wait = 0; wait < 1000 && Size_Of(path) != flushed; ++wait) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_EQ(Size_Of(path), flushed) << i;
  }

  // The exceptional flush closes the registered clients and removes the registry; a second
  // one finds nothing to do.
  TR_Exceptional_Flush();
  EXPECT_FALSE(Read_Registry(&registry));
  TR_Exceptional_Flush();
  for (int i = 0; i < 8; ++i)
    EXPECT_EQ(Send(clients[i], "late"), static_cast<uint32_t>(eCode_Off)) << i;
  EXPECT_EQ(Send(clients[8], "still"), 0u);

  // Closed clients are still released normally, without a second close.
  for (ITR_Client* client : clients) client->Release();
  for (int i = 0; i < 8; ++i)
    EXPECT_EQ(Size_Of(List_Trd_Files(dirs[i]->Path()).at(0)), flushed) << i;
  EXPECT_EQ(Size_Of(List_Trd_Files(dirs[8]->Path()).at(0)), flushed + 9);
}

TEST(CrashRegistry, LastClientRemovesTheRegistry) {
  TempDir a, b;
  ITR_Client* first = File_Sink(a);
  ITR_Client* second = File_Sink(b);
  sCrash_Registry registry{};
  ASSERT_TRUE(Read_Registry(&registry));
  EXPECT_EQ(registry.count, 2u);
  first->Release();
  ASSERT_TRUE(Read_Registry(&registry));
  EXPECT_EQ(registry.count, 1u);
  EXPECT_EQ(registry.clients[0], nullptr);
  EXPECT_EQ(registry.clients[1], second);
  second->Release();
  EXPECT_FALSE(Read_Registry(&registry));
}

TEST(CrashRegistry, StaleRegistryIsReplaced) {
  sCrash_Registry stale{};
  stale.count = 8;
  stale.stamp = CShared::Get_Stamp64() + 1;
  for (ITR_Client*& slot : stale.clients) slot = reinterpret_cast<ITR_Client*>(0x10);
  CShared::sShared* handle = nullptr;
  ASSERT_TRUE(CShared::Create(&handle, kCrash_Entry, &stale, sizeof(stale)));
  CShared::Destroy(handle, false);

  TR_Flush();  // a stale registry is never used

  TempDir dir;
  ITR_Client* client = nullptr;
  const std::string out = Capture_Stdout([&] { client = File_Sink(dir, "/TR.Verb=0"); });
  EXPECT_NE(out.find("Shared memory timestamp missmatch, it wasn't closed properly last time?"),
            std::string::npos)
      << out;
  EXPECT_NE(out.find("[Init_Crash_Handler]"), std::string::npos) << out;
  sCrash_Registry registry{};
  ASSERT_TRUE(Read_Registry(&registry));
  EXPECT_EQ(registry.count, 1u);
  EXPECT_EQ(registry.stamp, CShared::Get_Stamp64());
  EXPECT_EQ(registry.clients[0], client);
  client->Release();
  EXPECT_FALSE(Read_Registry(&registry));
}

// The handler's report for each kind of fatal signal, and the process still ends by the signal.
TEST(CrashHandler, ReportsTheSignal) {
  struct Case {
    const char* name;
    int signal;
    const char* text;
    void (*trigger)();
  };
  const Case cases[] = {
      {"write to a read-only page", SIGSEGV, "SIGSEGV::SEGV_ACCERR",
       [] {
         void* page = mmap(nullptr, 4096, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
         *static_cast<volatile int*>(page) = 1;
       }},
      {"unmapped address", SIGSEGV, "SIGSEGV::SEGV_MAPERR", [] { *g_Unmapped = 1; }},
      {"abort", SIGABRT, "<unknown>::<unknown>", [] { abort(); }},
      {"raised SIGSEGV", SIGSEGV, "SIGSEGV::<unknown>", [] { raise(SIGSEGV); }},
      {"raised SIGBUS", SIGBUS, "SIGBUS::<unknown>", [] { raise(SIGBUS); }},
      {"raised SIGILL", SIGILL, "SIGILL::<unknown>", [] { raise(SIGILL); }},
      {"raised SIGFPE", SIGFPE, "SIGFPE::<unknown>", [] { raise(SIGFPE); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const ChildResult child = Run_In_Child(
        [&]() -> int {
          TR_Set_Crash_Handler();
          c.trigger();
          return 0;
        },
        60000);
    EXPECT_FALSE(child.exited) << child.output;
    EXPECT_EQ(child.signal, c.signal);
    EXPECT_NE(
        child.output.find(std::string("Process has been terminated by signal {") + c.text + "}\n"),
        std::string::npos)
        << child.output;
  }
  EXPECT_EQ(std::string(Crash_Signal_Text(SIGILL, 1)), "SIGILL::<unknown>");
  EXPECT_EQ(std::string(Crash_Signal_Text(SIGILL, 2)), "SIGILL::ILL_ILLOPN");
  EXPECT_EQ(std::string(Crash_Signal_Text(SIGBUS, 3)), "SIGBUS::BUS_OBJERR");
  EXPECT_EQ(std::string(Crash_Signal_Text(SIGFPE, 8)), "SIGFPE::FPE_FLTSUB");
  EXPECT_EQ(std::string(Crash_Signal_Text(SIGTERM, 1)), "<unknown>::<unknown>");
}

// Everything a channel had accepted before a crash is in the file afterwards.
TEST(CrashHandler, CrashFlushesAcceptedTraces) {
  TempDir dir;
  const ChildResult child = Run_In_Child(
      [&]() -> int {
        TR_Set_Crash_Handler();
        ITR_Client* client = File_Sink(dir);
        ITR_Trace* channel = TR_Create_Trace(client, "crash", nullptr);
        if (channel == nullptr) return 20;
        int accepted = 0;
        for (int i = 0; accepted < 100000; ++i) {
          if (channel->Trace(0, TRL_INFO, nullptr, __LINE__, __FILE__, __func__, "%d", i))
            ++accepted;
        }
        printf("accepted=%d\n", accepted);
        fflush(stdout);
        *g_Unmapped = 1;
        return 0;
      },
      120000);
  EXPECT_EQ(child.signal, SIGSEGV) << child.output;
  EXPECT_NE(child.output.find("{SIGSEGV::SEGV_MAPERR}"), std::string::npos) << child.output;
  const std::vector<TrdFile> files = Read_Trd_Directory(dir.Path());
  ASSERT_EQ(files.size(), 1u);
  EXPECT_EQ(files[0].error, "");
  EXPECT_EQ(files[0].data.size(), 100000u);
  ASSERT_FALSE(files[0].records.empty());
  EXPECT_EQ(files[0].records.back().subtype, 4u);  // the channel's final flush
}

}  // namespace
}  // namespace mqw_test

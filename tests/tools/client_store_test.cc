// The trace server's per-client store in process: its accounts against a hostile stream, a
// neighbour served beside it, and one decoding per record feeding the viewer.
#include "client_store.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <string>
#include <vector>

#include "decode_worker.h"
#include "support/stream_builder.h"
#include "support/temp_dir.h"
#include "trace/viewer/viewer_hub.h"

namespace {

using namespace text_test;

// A channel with one call site and `count` messages.
Bytes Good_Stream(int count) {
  Bytes stream = Packet(0, Cat({Info("good"), Format(1, "value %d", {4, 8})}));
  for (int i = 0; i < count; ++i)
    Append(&stream, Packet(0, Data(1, kTimer0 + static_cast<uint64_t>(i), Int(i))));
  return stream;
}

struct Fixture {
  mqw_test::TempDir dir;
  sServer_Options options;
  CViewer_Hub hub{1000};
  CDecode_Worker worker;
  std::vector<std::unique_ptr<CClient_Store>> stores;

  explicit Fixture(uint32_t client_memory_mb) {
    options.directory = dir.File("traces");
    options.client_memory_mb = client_memory_mb;
  }
  CClient_Store* Add(const std::string& name) {
    sTRS_Hello hello;
    hello.name = name;
    hello.process_id = static_cast<uint32_t>(stores.size() + 1);
    stores.push_back(std::make_unique<CClient_Store>(
        options, hello, sTP_Endpoint{}, name, [](const std::vector<uint8_t>&) { return true; },
        &worker, &hub));
    return stores.back().get();
  }
};

// Thread starts with distinct IDs and module records on all 32 channels, against a 1 MiB client:
// both accounts stay within their halves, the client is over its budget, and a client beside it
// is decoded whole and stays within its own.
TEST(ClientStore, AHostileClientStopsAtItsBudgetBesideAServedOne) {
  Bytes hostile;
  for (uint32_t channel = 0; channel < 32; ++channel) {
    Bytes records = Info("c");
    for (uint16_t id = 0; id < 900; ++id) Append(&records, Module(id, "module-name"));
    for (uint32_t thread = 1; thread <= 900; ++thread)
      Append(&records, Thread_Start(channel * 100000 + thread, kTimer0 + thread, "t"));
    Append(&hostile, Packet(channel, records));
  }
  Fixture f(1);
  CClient_Store* greedy = f.Add("greedy");
  CClient_Store* good = f.Add("good");
  const Bytes fair = Good_Stream(50);
  greedy->On_Stream(hostile.data(), static_cast<uint32_t>(hostile.size()));
  good->On_Stream(fair.data(), static_cast<uint32_t>(fair.size()));
  f.worker.Stop();  // decodes everything queued

  EXPECT_EQ(greedy->Counters().broken, 0u);  // every chunk within the splitter's bound
  EXPECT_TRUE(greedy->Over_Budget());
  EXPECT_LE(greedy->Memory_Used(), (1u << 20) / 2);
  EXPECT_FALSE(good->Over_Budget());
  EXPECT_EQ(good->Messages(), 50u);
  EXPECT_EQ(good->Counters().skipped, 0u);
  // Its names are kept whole and shown.
  ASSERT_EQ(good->Channels().size(), 1u);
  EXPECT_EQ(good->Channels()[0].name, "good");
}

// The directory comes with the first record, and the file being written is named for a quota
// that must never remove it.
TEST(ClientStore, TheDirectoryComesWithTheFirstRecordAndTheOpenFileIsNamed) {
  Fixture f(64);
  CClient_Store* store = f.Add("host");
  EXPECT_EQ(store->Files().Open_File(), "");
  EXPECT_FALSE(store->Files().Storing());
  const Bytes stream = Good_Stream(3);
  store->On_Stream(stream.data(), static_cast<uint32_t>(stream.size()));
  EXPECT_TRUE(store->Files().Storing());
  const std::string open = store->Files().Open_File();
  char* real = realpath(f.options.directory.c_str(), nullptr);
  ASSERT_NE(real, nullptr);
  EXPECT_EQ(open.rfind(std::string(real) + "/host/", 0), 0u) << open;
  free(real);
  EXPECT_EQ(open.substr(open.size() - 4), ".trd");
  store->Tick();
  EXPECT_GT(store->Files().Take_Written(), 0u);
  EXPECT_EQ(store->Files().Take_Written(), 0u);
}

// Each message reaches the viewer's ring once, rendered by the one decoding pass.
TEST(ClientStore, EachMessageReachesTheViewerOnce) {
  Fixture f(64);
  CClient_Store* store = f.Add("host");
  const Bytes stream = Good_Stream(20);
  store->On_Stream(stream.data(), static_cast<uint32_t>(stream.size()));
  f.worker.Stop();
  EXPECT_EQ(store->Messages(), 20u);
  EXPECT_EQ(f.hub.Ring().Next(), 21u);  // numbered from 1: twenty messages, none twice
}

}  // namespace

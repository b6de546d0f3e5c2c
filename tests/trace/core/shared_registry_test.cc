// The process's named registry: publishing clients and trace channels, lookups, stale and
// foreign entries, and the modes of the named objects.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <set>
#include <string>
#include <vector>

#include <mqtt-wrapper/TR.h>

#include "support/child_process.h"
#include "support/recording_channel.h"
#include "support/registry_objects.h"
#include "support/temp_dir.h"
#include "trace/core/last_error.h"
#include "trace/core/null_sink.h"
#include "trace/core/shared.h"
#include "trace/core/sink_factories.h"

namespace {

std::string Shm_Path(const char* entry) {
  return "/dev/shm/TR_Type1_PID" + std::to_string(getpid()) + "_Text" + entry;
}
std::string Sem_Path(const char* entry) {
  return "/dev/shm/sem.TR_Type0_PID" + std::to_string(getpid()) + "_Text" + entry;
}

bool Exists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }

// Plants an entry as an earlier process (or another user) could have left it: `object` is an
// address that must never be used.
void Plant(const char* entry, uint64_t object, uint64_t stamp) {
  CShared::sObject_Entry content{object, static_cast<uint32_t>(stamp >> 32),
                                 static_cast<uint32_t>(stamp)};
  CShared::sShared* handle = nullptr;
  ASSERT_TRUE(CShared::Create(&handle, entry, &content, sizeof(content)));
  // Forget the handle as a crashed process would, keeping the objects.
  CShared::Destroy(handle, false);
}

ITR_Client* New_Null(const char* option = nullptr) {
  char* args[] = {const_cast<char*>(option)};
  return new CClNull(args, option != nullptr ? 1 : 0);
}

class SharedRegistry : public ::testing::Test {
 protected:
  void SetUp() override {
    TR_Last_Error();
    before_ = mqw_test::Registry_Objects(getpid());
  }
  void TearDown() override {
    EXPECT_EQ(mqw_test::Added_Objects(before_, mqw_test::Registry_Objects(getpid())),
              std::vector<std::string>{})
        << "registry objects left";
  }

  std::set<std::string> before_;  // stale objects of an earlier process with this ID
};

TEST_F(SharedRegistry, ClientIsFoundByNameOnce) {
  ITR_Client* first = New_Null();
  ITR_Client* second = New_Null();
  EXPECT_TRUE(first->Share("gateway"));
  EXPECT_FALSE(first->Share("gateway"));   // already shared
  EXPECT_FALSE(first->Share("other"));     // one name per client
  EXPECT_FALSE(second->Share("gateway"));  // name in use in this process
  EXPECT_TRUE(second->Share("second"));

  ITR_Client* found = TR_Get_Shared("gateway");
  EXPECT_EQ(found, first);
  EXPECT_EQ(first->Add_Ref(), 3u);  // creator, lookup, this call
  first->Release();
  found->Release();
  EXPECT_EQ(TR_Last_Error(), 0u);

  EXPECT_TRUE(first->Unshare());
  EXPECT_TRUE(first->Unshare());
  EXPECT_EQ(TR_Get_Shared("gateway"), nullptr);
  EXPECT_TRUE(first->Share("gateway"));  // free again
  first->Release();                      // the last reference withdraws the entry
  EXPECT_EQ(TR_Get_Shared("gateway"), nullptr);
  second->Release();
  EXPECT_EQ(TR_Get_Shared("second"), nullptr);
}

TEST_F(SharedRegistry, UnknownNamesLeaveTheLastErrorAlone) {
  TR_Set_Last_Error(7);
  EXPECT_EQ(TR_Get_Shared("never shared"), nullptr);
  EXPECT_EQ(TR_Get_Shared_Trace("never shared"), nullptr);
  EXPECT_EQ(TR_Get_Shared(nullptr), nullptr);
  EXPECT_EQ(TR_Last_Error(), 7u);
  ITR_Client* client = New_Null();
  EXPECT_FALSE(client->Share(nullptr));
  EXPECT_FALSE(client->Share(std::string(300, 'n').c_str()));  // never cut to another name
  client->Release();
}

TEST_F(SharedRegistry, TraceChannelIsFoundByName) {
  ITR_Client* client = New_Null();
  ITR_Trace* channel = TR_Create_Trace(client, "Trace channel 1", nullptr);
  ASSERT_NE(channel, nullptr);
  EXPECT_TRUE(channel->Share("module"));
  EXPECT_FALSE(channel->Share("module"));
  ITR_Trace* found = TR_Get_Shared_Trace("module");
  EXPECT_EQ(found, channel);
  if (found != nullptr) found->Release();
  EXPECT_EQ(TR_Get_Shared("module"), nullptr);  // clients and channels have their own names
  channel->Release();                           // the channel's end removes its entry
  EXPECT_EQ(TR_Get_Shared_Trace("module"), nullptr);
  client->Release();
}

TEST_F(SharedRegistry, StaleEntriesAreReplacedAndRemoved) {
  const uint64_t earlier = CShared::Get_Stamp64() - 1000;

  // A lookup removes a stale client entry and says so.
  Plant("Cln_stale", 0x10, earlier);
  EXPECT_EQ(TR_Get_Shared("stale"), nullptr);
  EXPECT_EQ(TR_Last_Error(), 1u);
  EXPECT_FALSE(Exists(Shm_Path("Cln_stale")));
  EXPECT_FALSE(Exists(Sem_Path("Cln_stale")));

  // A channel lookup removes it without a last error.
  Plant("Trc_stale", 0x10, earlier);
  EXPECT_EQ(TR_Get_Shared_Trace("stale"), nullptr);
  EXPECT_EQ(TR_Last_Error(), 0u);
  EXPECT_FALSE(Exists(Shm_Path("Trc_stale")));

  // Share replaces it and reports it in the journal.
  Plant("Cln_stale", 0x10, earlier);
  ITR_Client* client = New_Null("/TR.Verb=0");
  bool shared = false;
  const std::string out = mqw_test::Capture_Stdout([&] { shared = client->Share("stale"); });
  EXPECT_TRUE(shared);
  EXPECT_NE(
      out.find(
          "Shared memory timestamp error, prev. session crashed or forget to release TR objects?"),
      std::string::npos)
      << out;
  ITR_Client* found = TR_Get_Shared("stale");
  EXPECT_EQ(found, client);
  if (found != nullptr) found->Release();
  client->Release();
}

// A client whose last reference is gone is never handed out again, even while its destructor
// still runs (here: while it flushes its channels) and its entry is not yet withdrawn.
TEST_F(SharedRegistry, DyingClientIsNotFound) {
  mqw_test::TempDir dir;
  std::string option = "/TR.Dir=" + dir.Path();
  char* args[] = {option.data()};
  ITR_Client* client = New_File_Sink(args, 1);
  ASSERT_TRUE(client->Share("dying"));
  RecordingChannel channel;
  ASSERT_EQ(client->Register_Channel(&channel), 0u);
  ITR_Client* found_while_dying = reinterpret_cast<ITR_Client*>(1);
  channel.Set_Flush_Hook([&](uint32_t) { found_while_dying = TR_Get_Shared("dying"); });
  client->Release();
  EXPECT_EQ(found_while_dying, nullptr);
}

TEST_F(SharedRegistry, ObjectsArePrivateToTheUser) {
  const mode_t previous = umask(0);
  ITR_Client* client = New_Null();
  ASSERT_TRUE(client->Share("private"));
  umask(previous);
  struct stat st;
  ASSERT_EQ(stat(Shm_Path("Cln_private").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  ASSERT_EQ(stat(Sem_Path("Cln_private").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  client->Release();

  // A restrictive umask does not leave the owner locked out either.
  const mode_t strict = umask(0277);
  client = New_Null();
  EXPECT_TRUE(client->Share("strict"));
  umask(strict);
  ITR_Client* found = TR_Get_Shared("strict");
  EXPECT_EQ(found, client);
  if (found != nullptr) found->Release();
  client->Release();
}

// An entry whose objects belong to another user is never trusted: its address is never used
// (0x10 would crash), lookups treat it as stale, and Share takes the name over.
TEST_F(SharedRegistry, ForeignEntriesAreNeverTrusted) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to give objects to another user";
  const uint64_t ours = CShared::Get_Stamp64();
  struct Case {
    const char* what;
    bool foreign_memory;
    bool foreign_semaphore;
  };
  const Case cases[] = {{"memory", true, false}, {"semaphore", false, true}, {"both", true, true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    for (bool share : {false, true}) {
      Plant("Cln_foreign", 0x10, ours);
      if (c.foreign_memory) {
        ASSERT_EQ(chown(Shm_Path("Cln_foreign").c_str(), 65534, 65534), 0);
      }
      if (c.foreign_semaphore) {
        ASSERT_EQ(chown(Sem_Path("Cln_foreign").c_str(), 65534, 65534), 0);
      }
      if (!share) {
        EXPECT_EQ(TR_Get_Shared("foreign"), nullptr);
        EXPECT_EQ(TR_Last_Error(), 1u);
        EXPECT_FALSE(Exists(Shm_Path("Cln_foreign")));
      } else {
        ITR_Client* client = New_Null();
        EXPECT_TRUE(client->Share("foreign"));
        ITR_Client* found = TR_Get_Shared("foreign");
        EXPECT_EQ(found, client);
        if (found != nullptr) found->Release();
        client->Release();
      }
    }
  }
}

}  // namespace

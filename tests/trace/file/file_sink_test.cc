// The binary file sink: file header and names, directory limits, the Sent contract, what Close
// and Flush write, and journal reports.
#include <gtest/gtest.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "file_sink_fixture.h"
#include "support/child_process.h"
#include "support/sent_contract.h"
#include "support/temp_dir.h"
#include "support/trd_reader.h"
#include "trace/core/sink_factories.h"
#include "trace/file/cl_file.h"

namespace mqw_test {
namespace {

std::string Utf16(const uint16_t* units) {
  std::string text;
  for (; *units != 0; ++units) text += static_cast<char>(*units);
  return text;
}

std::string Name_For(time_t when, unsigned counter) {
  struct tm local;
  localtime_r(&when, &local);
  char name[64];
  snprintf(name, sizeof(name), "%04d%02d%02d-%02d%02d%02d.%03u.trd", local.tm_year + 1900,
           local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec, counter);
  return name;
}

off_t Size_Of(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 ? st.st_size : -1;
}

uint32_t Send(ITR_Client* client, uint32_t id, const std::string& payload) {
  sTRC_Data_Chunk chunk{payload.data(), static_cast<uint32_t>(payload.size())};
  return client->Sent(id, &chunk, 1, chunk.size);
}

TEST(FileSink, FirstFileHasTheHeaderAndTheFirstName) {
  TempDir dir;
  const time_t before = time(nullptr);
  ITR_Client* client = Make_File_Sink(dir, {"/TR.Name=Gateway \xC3\xA9"});
  const time_t after = time(nullptr);
  ASSERT_NE(client, nullptr);
  ASSERT_EQ(client->Get_Status(), 0u);
  EXPECT_EQ(client->Get_Type(), ITR_Client::eFileBin);
  client->Release();

  const std::vector<std::string> names = Trd_Names(dir.Path());
  ASSERT_EQ(names.size(), 1u);
  // Named after the local time of its creation, counter 000 (which names are skipped when taken
  // is the rolling files' own test).
  bool named = false;
  for (time_t t = before; t <= after; ++t) named = named || names[0] == Name_For(t, 0);
  EXPECT_TRUE(named) << names[0];
  const TrdFile file = Read_Trd_File(dir.File(names[0]));
  EXPECT_EQ(file.error, "");
  EXPECT_EQ(file.header.magic, kTRD_Magic);
  EXPECT_EQ(file.header.process_id, static_cast<uint32_t>(getpid()));
  EXPECT_NE(file.header.start_hi, 0u);
  EXPECT_EQ(file.header.client_name[8], 0xE9);  // "Gateway " then U+00E9
  EXPECT_EQ(file.header.client_name[9], 0);
  char host[256] = {};
  gethostname(host, sizeof(host) - 1);
  EXPECT_EQ(Utf16(file.header.host_name), host);
  EXPECT_EQ(Size_Of(dir.File(names[0])), static_cast<off_t>(sizeof(sTRD_File_Header)));
}

TEST(FileSink, ClientNameDefaultsToTheExecutable) {
  TempDir dir;
  ITR_Client* client = Make_File_Sink(dir);
  ASSERT_NE(client, nullptr);
  client->Release();
  const TrdFile file = Read_Trd_File(List_Trd_Files(dir.Path()).at(0));
  EXPECT_EQ(Utf16(file.header.client_name), "trace_file_test");
}

TEST(FileSink, DirectoryIsCreatedWithItsParents) {
  TempDir dir;
  const std::string nested = dir.File("a/b/c");
  std::string option = "/TR.Dir=" + nested;
  char* args[] = {option.data()};
  ITR_Client* client = New_File_Sink(args, 1);
  ASSERT_NE(client, nullptr);
  EXPECT_EQ(client->Get_Status(), 0u);
  client->Release();
  EXPECT_EQ(List_Trd_Files(nested).size(), 1u);
}

TEST(FileSink, UncreatableDirectoryFailsWithItsReason) {
  TempDir dir;
  ASSERT_TRUE(Write_File(dir.File("plain"), "x"));
  std::string option = "/TR.Dir=" + dir.File("plain/sub");
  std::string verb = "/TR.Verb=0";
  char* args[] = {option.data(), verb.data()};
  ITR_Client* client = nullptr;
  const std::string out = Capture_Stdout([&] { client = New_File_Sink(args, 2); });
  ASSERT_NE(client, nullptr);
  EXPECT_EQ(client->Get_Status(), static_cast<uint32_t>(eCode_Internal));
  EXPECT_EQ(TR_Last_Error(), 6u);
  EXPECT_NE(out.find("[Init_File]"), std::string::npos) << out;
  EXPECT_NE(out.find("Can't create directory: " + dir.File("plain/sub")), std::string::npos) << out;
  // A sink that failed refuses data with its status and counts it.
  EXPECT_EQ(Send(client, 0, "abc"), static_cast<uint32_t>(eCode_Internal));
  sTRC_Info info{};
  ASSERT_TRUE(client->Get_Info(&info));
  EXPECT_EQ(info.rejects_error, 1u);
  client->Release();
}

// Limits on the number and the total size of ".trd" files count the new file and existing
// files of any case.
TEST(FileSink, DirectoryLimits) {
  struct Case {
    std::vector<std::string> options;
    size_t files_left;  // old files kept, besides the new one
  };
  const Case cases[] = {
      {{"/TR.Files=0"}, 4},
      {{"/TR.Files=5000"}, 4},
      {{"/TR.Files=1"}, 0},
      {{"/TR.Files=3"}, 2},
      {{"/TR.FSize=1"}, 1},  // 1 MiB: one 600 KiB file fits beside the new
                             // one
      {{"/TR.FSize=2"}, 3},
      {{"/TR.FSize=0"}, 4},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.options[0]);
    TempDir dir;
    const std::string big(600 * 1024, 'x');
    const char* old_names[] = {"20000101-000000.000.trd", "20000101-000001.000.TRD",
                               "20000101-000002.000.trd", "20000101-000003.000.Trd"};
    for (const char* name : old_names) ASSERT_TRUE(Write_File(dir.File(name), big));
    ASSERT_TRUE(Write_File(dir.File("notes.txt"), big));
    ITR_Client* client = Make_File_Sink(dir, c.options);
    ASSERT_NE(client, nullptr);
    ASSERT_EQ(client->Get_Status(), 0u);
    client->Release();
    const std::vector<std::string> names = Trd_Names(dir.Path());
    ASSERT_EQ(names.size(), c.files_left + 1);
    // The newest old files stay (names sort oldest first).
    for (size_t i = 0; i < c.files_left; ++i) EXPECT_EQ(names[i], old_names[4 - c.files_left + i]);
    EXPECT_EQ(Size_Of(dir.File("notes.txt")), static_cast<off_t>(big.size()));
  }
}

// Without /TR.Pool= the sink holds 8 MiB in 128 KiB buffers, the default the help text states.
TEST(FileSink, DefaultPoolIsEightMegabytes) {
  TempDir dir;
  ITR_Client* client = Make_File_Sink(dir);
  ASSERT_NE(client, nullptr);
  sTRC_Info info{};
  ASSERT_TRUE(client->Get_Info(&info));
  EXPECT_EQ(info.allocated_bytes, 8u * 1048576);
  EXPECT_EQ(info.free_bytes, 8u * 1048576 - 131072);  // the first holds the header
  client->Release();
}

TEST(FileSink, SentContract) {
  TempDir dir;
  ITR_Client* client = Make_File_Sink(dir, {"/TR.Pool=1"});  // 3 x 16384
  ASSERT_NE(client, nullptr);
  sTRC_Info info{};
  ASSERT_TRUE(client->Get_Info(&info));
  EXPECT_EQ(info.allocated_bytes, 3u * 16384);
  EXPECT_EQ(info.free_bytes, 2u * 16384);  // the first holds the header

  const uint32_t wrong = Expect_Sent_Refuses_Wrong_Arguments(client);
  ASSERT_TRUE(client->Get_Info(&info));
  EXPECT_EQ(info.free_bytes, 2u * 16384) << "nothing was taken for the wrong calls";
  const char bytes[] = "abcd";
  sTRC_Data_Chunk chunk{bytes, 4};
  for (uint32_t id : {0u, 31u}) EXPECT_EQ(client->Sent(id, &chunk, 1, 4), eCode_Ok) << id;

  // Larger than all free space: refused whole, nothing copied.
  const std::string huge(3 * 16384, 'h');
  EXPECT_EQ(Send(client, 1, huge), static_cast<uint32_t>(eCode_No_Room));
  ASSERT_TRUE(client->Get_Info(&info));
  EXPECT_EQ(info.rejects_error, wrong);
  EXPECT_EQ(info.rejects_no_room, 1u);
  EXPECT_EQ(info.rejects_off, 0u);

  EXPECT_TRUE(client->Close());
  EXPECT_TRUE(client->Close());  // a second Close does nothing
  EXPECT_EQ(Send(client, 0, "late"), static_cast<uint32_t>(eCode_Off));
  ASSERT_TRUE(client->Get_Info(&info));
  EXPECT_EQ(info.rejects_off, 1u);
  sTRC_Status status{};
  ASSERT_TRUE(client->Get_Status(&status));
  EXPECT_EQ(status.connected, 0);
  client->Release();

  // Exactly the two accepted hand-overs follow the header.
  const std::string path = List_Trd_Files(dir.Path()).at(0);
  EXPECT_EQ(Size_Of(path), static_cast<off_t>(sizeof(sTRD_File_Header) + 2 * 8));
  FILE* f = fopen(path.c_str(), "rb");
  ASSERT_NE(f, nullptr);
  fseek(f, sizeof(sTRD_File_Header), SEEK_SET);
  uint32_t words[4];
  ASSERT_EQ(fread(words, 4, 4, f), 4u);
  fclose(f);
  EXPECT_EQ(words[0], sTRC_User_Header::Make(8, 0));
  EXPECT_EQ(memcmp(&words[1], "abcd", 4), 0);
  EXPECT_EQ(words[2], sTRC_User_Header::Make(8, 31));
}

// A hand-over larger than one buffer spans buffers and is written whole and in order; Close
// writes the partly filled last buffer.
TEST(FileSink, CloseWritesEverythingAccepted) {
  TempDir dir;
  ITR_Client* client = Make_File_Sink(dir, {"/TR.Pool=64"});  // 4 x 16384
  ASSERT_NE(client, nullptr);
  std::string expected;
  for (int i = 0; i < 200; ++i) {
    std::string payload(37 + (i * 131) % 400, static_cast<char>('a' + i % 26));
    if (i == 100) payload.assign(20000, 'Z');  // spans two buffers
    uint32_t result;
    while ((result = Send(client, static_cast<uint32_t>(i % 3), payload)) == eCode_No_Room) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ASSERT_EQ(result, 0u);
    const uint32_t header =
        sTRC_User_Header::Make(static_cast<uint32_t>(payload.size() + 4), i % 3);
    expected.append(reinterpret_cast<const char*>(&header), 4);
    expected += payload;
  }
  client->Release();  // the last reference closes
  const std::string path = List_Trd_Files(dir.Path()).at(0);
  FILE* f = fopen(path.c_str(), "rb");
  ASSERT_NE(f, nullptr);
  std::string content(static_cast<size_t>(Size_Of(path)), '\0');
  ASSERT_EQ(fread(content.data(), 1, content.size(), f), content.size());
  fclose(f);
  ASSERT_GE(content.size(), sizeof(sTRD_File_Header));
  EXPECT_TRUE(content.substr(sizeof(sTRD_File_Header)) == expected);
}

TEST(FileSink, FlushWritesThePartlyFilledBuffer) {
  TempDir dir;
  ITR_Client* client = Make_File_Sink(dir);
  ASSERT_NE(client, nullptr);
  ASSERT_EQ(Send(client, 0, "flush me"), 0u);
  const std::string path = List_Trd_Files(dir.Path()).at(0);
  client->Flush();
  const off_t expected = static_cast<off_t>(sizeof(sTRD_File_Header) + 12);
  for (int i = 0; i < 1000 && Size_Of(path) != expected; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_EQ(Size_Of(path), expected);
  client->Release();
}

TEST(FileSink, JournalReportsOptionProblems) {
  struct Case {
    const char* option;
    const char* message;
  };
  const Case cases[] = {
      {"/TR.Roll=5000hr", "Rolling value is more than 1000 hours, cutting"},
      {"/TR.Roll=100", "Rolling value is not correct = 1"},
      {"/TR.Roll=8:00;9:00tm", "Rolling value is not correct = 8:00;9:00"},
      // a byte count past 64 bits would wrap to a roll before every write
      {"/TR.Roll=17592186044416mb", "Rolling value is not correct = 17592186044416"},
  };
  for (const Case& c : cases) {
    TempDir dir;
    ITR_Client* client = nullptr;
    const std::string out = Capture_Stdout([&] {
      client = Make_File_Sink(dir, {c.option, "/TR.Verb=0"});
    });
    ASSERT_NE(client, nullptr);
    EXPECT_EQ(client->Get_Status(), 0u);
    EXPECT_NE(out.find(std::string("ERROR: : ") + c.message), std::string::npos) << out;
    EXPECT_NE(out.find("[Init_File]"), std::string::npos) << out;
    client->Release();
  }
}

}  // namespace
}  // namespace mqw_test

// Writes the seed corpus of every fuzz target into <directory>/<target>/: a few small inputs
// that reach deep into each parser (valid streams and files, formats with every conversion,
// option values of each form, topics of each kind). Usage: fuzz_corpus_generator <directory>
#include <stdio.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include <mqtt-wrapper/TR.h>
#include "support/stream_builder.h"

#include "trace/format/file_header.h"
#include "trace/net/tpacket.h"
#include "trace/server/reply_builder.h"

namespace {

using namespace text_test;

std::string g_root;

void Write(const std::string& target, const std::string& name, const Bytes& bytes) {
  std::string directory = g_root + "/" + target;
  mkdir(g_root.c_str(), 0755);
  mkdir(directory.c_str(), 0755);
  std::string path = directory + "/" + name;
  FILE* file = fopen(path.c_str(), "wb");
  if (!file || fwrite(bytes.data(), 1, bytes.size(), file) != bytes.size()) {
    fprintf(stderr, "cannot write %s\n", path.c_str());
  }
  if (file) fclose(file);
}

Bytes Text(const std::string& text) { return Bytes(text.begin(), text.end()); }

Bytes Double(double value) {
  Bytes r(8);
  memcpy(r.data(), &value, 8);
  return r;
}

// A channel with threads, a module and call sites of every argument kind, then data records.
Bytes Rich_Stream() {
  Bytes setup = Cat({Info("Main"), Thread_Start(7, kTimer0, "worker"), Module(1, "net"),
                     Format(1, "n=%d x=%#08llx %s", {4, 8, 5, 8, 10, 0}),
                     Format(2, "%*.*f|%-5c|%ls|%p", {4, 8, 4, 8, 6, 8, 1, 8, 11, 0, 7, 8}),
                     Format(3, "%e %hhu %hd %jd %%", {6, 8, 1, 8, 3, 8, 13, 8})});
  Bytes wide = {'w', 0, 0, 0, 0xE9, 0, 0, 0, 0, 0, 0, 0};
  return Cat(
      {Packet(0, setup),
       Packet(0, Data(1, kTimer0 + 10, Cat({Int(-5), Int(0xBEEF), Str("text")}), 2, 7)),
       Packet(0, Data(2, kTimer0 + 20,
                      Cat({Int(9), Int(3), Double(2.5), Int('Q'), wide, Int(0x1234)}), 3, 7, 2, 1)),
       Packet(0, Data(3, kTimer0 + 30, Cat({Double(1e300), Int(200), Int(-2), Int(7)}))),
       Packet(0, Thread_Stop(7, kTimer0 + 40)), Packet(0, Close())});
}

Bytes Two_Channels() {
  return Cat({Packet(0, Cat({Info("A"), Format(1, "a %u", {4, 8})})),
              Packet(1, Cat({Info("B"), Format(1, "b")})), Packet(1, Data(1, kTimer0)),
              Packet(0, Data(1, kTimer0 + 1, Int(1)))});
}

Bytes Trd(const Bytes& stream) {
  Bytes file(kTRD_Header_Size, 0);
  memcpy(file.data(), &kTRD_Magic, sizeof(kTRD_Magic));
  file.insert(file.end(), stream.begin(), stream.end());
  return file;
}

// Sent calls for the text sink target: channel byte (ID << 2 | chunk split), 16-bit length,
// payload.
Bytes Calls(const std::vector<std::pair<uint8_t, Bytes>>& calls) {
  Bytes out;
  for (const auto& [channel, payload] : calls) {
    out.push_back(channel);
    out.push_back(static_cast<uint8_t>(payload.size()));
    out.push_back(static_cast<uint8_t>(payload.size() >> 8));
    out.insert(out.end(), payload.begin(), payload.end());
  }
  return out;
}

Bytes Parts(std::initializer_list<std::string> parts) {
  Bytes out;
  for (const std::string& part : parts) {
    if (!out.empty()) out.push_back(0);
    out.insert(out.end(), part.begin(), part.end());
  }
  return out;
}

// The bytes of a finalized transport packet.
Bytes Datagram(CTPacket* packet, uint32_t id, uint16_t client_id = kTP_No_Client) {
  packet->Finalize(id, client_id);
  return Bytes(packet->Get_Buffer(), packet->Get_Buffer() + packet->Get_Size());
}

Bytes Data_Datagram(uint32_t id, uint16_t client_id, const Bytes& body) {
  CTPacket packet(eTP_Data, static_cast<uint16_t>(kTP_Header_Size + body.size()));
  memcpy(packet.Get_Buffer() + kTP_Header_Size, body.data(), body.size());
  return Datagram(&packet, id, client_id);
}

Bytes Hello_Datagram(uint32_t id, uint32_t process_id = 99) {
  CTPClient_Hello hello;
  hello.Fill(1472, process_id, 0x01D0000000000000ull, "seed");
  return Datagram(&hello, id);
}

Bytes Window_Datagram(uint32_t id, uint16_t client_id, uint32_t first, uint32_t last) {
  CTPData_Window window;
  window.Set_Window(first, last);
  return Datagram(&window, id, client_id);
}

// One user-data chunk for `channel`.
Bytes Chunk(uint32_t channel, const Bytes& payload) {
  Bytes chunk(4);
  TP_Store32(chunk.data(),
             sTRC_User_Header::Make(static_cast<uint32_t>(4 + payload.size()), channel));
  chunk.insert(chunk.end(), payload.begin(), payload.end());
  return chunk;
}

// A record of the trace server target: kind (endpoint, fix-ups), length, bytes.
Bytes Server_Record(uint8_t kind, const Bytes& bytes) {
  Bytes record{kind, static_cast<uint8_t>(bytes.size())};
  record.insert(record.end(), bytes.begin(), bytes.end());
  return record;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: fuzz_corpus_generator <directory>\n");
    return 2;
  }
  g_root = argv[1];

  Write("stream_parser", "rich.bin", Rich_Stream());
  Write("stream_parser", "two_channels.bin", Two_Channels());
  Write("stream_parser", "huge_float.bin",
        Cat({Packet(0, Cat({Info("F", 1000), Format(1, "%2000000000e|%.99999f", {6, 8, 6, 8})})),
             Packet(0, Data(1, kTimer0, Cat({Double(1.0), Double(3.0)})))}));

  Write("trace_file", "rich.trd", Trd(Rich_Stream()));
  Write("trace_file", "two_channels.trd", Trd(Two_Channels()));
  Write("trace_file", "far_future.trd",
        Trd(Cat({Packet(0, Cat({Info("T", 10000000, 0, 0xFFFFFFFF00000000ull), Format(1, "t")})),
                 Packet(0, Data(1, 5))})));

  Bytes rich = Rich_Stream();
  Write("text_sink", "one_call.bin",
        Calls({{0 << 2 | 1,
                Cat({Info("S"), Format(1, "hi %d", {4, 8}), Data(1, kTimer0, Int(1))})}}));
  Write("text_sink", "split.bin",
        Calls({{1 << 2 | 2, Cat({Info("S"), Format(1, "v=%s", {10, 0})})},
               {1 << 2 | 3, Data(1, kTimer0, Str("value"))},
               {40 << 2, Bytes{1, 2, 3}},
               {1 << 2, Close()}}));

  Write("descriptor", "plain.bin",
        Parts({"n=%d s=%s %5.2f %ls %c %p", "src/file.cc", "Func", "abcdefgh12345678xyz"}));
  Write("descriptor", "every_modifier.bin",
        Parts({"%I64x %I32d %lld %hhu %hd %jd %zu %td %wd %lc %hs %S %10s %.*s %*d %Fd %b %%",
               "f.c", "fn"}));
  Write("descriptor", "malformed_utf8.bin",
        Parts({"a\xC0\x80%d\xE0\x80\x80\x80\x80\xF0\x9F\x98\x80%s", "\xFF", ""}));

  Write("options", "megabytes.bin", Parts({"5mb", "1024"}));
  Write("options", "hours.bin", Parts({"1500HR", "1"}));
  Write("options", "times.bin", Parts({"08:00,20:30tm", "4294967295"}));
  Write("options", "bad.bin", Parts({"0mb", "-3"}));

  Write("utf", "mixed.bin",
        Text("\x20"
             "a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80\xF8\x88\x80\x80\x80z"));
  Write("utf", "malformed.bin", Text("\x05\xC0\x80\x80\x80\xE0\x80\x80\xED\xA0\x80\xC3t"));

  Write("topic_rules", "name.bin", Text("\x01sensors/room-1/temp\xC3\xA9"));
  Write("topic_rules", "filter.bin", Text("\x02+/room/#"));
  Write("topic_rules", "bad.bin",
        Text("\x03"
             "a/b#/\xC0\xAF\x7F"));
  Write("topic_rules", "long.bin",
        Text("\xF1"
             "abc/"));

  // Transport packets: a mode byte (1: fix the size field, 2: fix the CRC), then the datagram.
  Bytes chunks = Cat({Chunk(3, Text("level")), Chunk(31, {})});
  Write("packet_check", "hello.bin", Cat({{0}, Hello_Datagram(1)}));
  Write("packet_check", "ack_extensions.bin", Cat({{0}, TRS_Make_Ack(5, 2, 1, 1, 4096, chunks)}));
  Write("packet_check", "ack_chunks.bin", Cat({{0}, TRS_Make_Ack(6, 2, 7, 1, 0, chunks)}));
  Write("packet_check", "report.bin", Cat({{0}, TRS_Make_Report(7, 2, 9, {0x05, 0x80, 0x01})}));
  Write("packet_check", "data_fix_crc.bin", Cat({{3}, Data_Datagram(3, 2, Chunk(1, Text("abc")))}));
  Write("packet_check", "short.bin", Bytes{0, 1, 2, 3, 4});

  // The trace server: a second client's whole session from endpoint 1, with a command queued for
  // it, and garbage from endpoint 2 (kind 0x0C: size and CRC fixed up). Kind 0x89 puts the
  // client ID the server gave (random) into a packet and fixes its CRC: byte 14 (the body's
  // first byte, or a window's first ID) is odd to pick it.
  Write("trace_server", "session.bin",
        Cat({Server_Record(0x01, Hello_Datagram(2)),
             Server_Record(0x89, Data_Datagram(3, 0, Text("one"))),
             Server_Record(0x41, Cat({{1}, Chunk(2, Text("cmd"))})),
             Server_Record(0x89, Data_Datagram(4, 0, Text("sec"))),
             Server_Record(0x89, Window_Datagram(5, 0, 3, 4)),
             Server_Record(0x89, Data_Datagram(8, 0, Text("a"))),
             Server_Record(0x89, Data_Datagram(9, 0, Text("c"))),
             Server_Record(0x89, Window_Datagram(10, 0, 7, 9)),
             Server_Record(0x89, Data_Datagram(7, 0, Text("y"))),
             Server_Record(0x89, Window_Datagram(10, 0, 7, 9)),
             Server_Record(0x0E, Bytes(40, 0xA5)), Server_Record(0x11, Bytes{})}));
  // The session limits: endpoints 0 and 1 share an address (one session each address), so 1's
  // hello takes the place of 0's unconfirmed session; endpoint 2's hello (process ID 100) is
  // dropped by the listener and refused when it comes again; endpoint 3's stream begins with
  // 0xD7, which drops it while it is delivered; a command drops endpoint 1's client (the third
  // ID given), whose hello is then refused; the clock runs on.
  Write("trace_server", "limits.bin",
        Cat({Server_Record(0x00, Hello_Datagram(1)), Server_Record(0x01, Hello_Datagram(1)),
             Server_Record(0x02, Hello_Datagram(1, 100)),
             Server_Record(0x02, Hello_Datagram(2, 100)), Server_Record(0x03, Hello_Datagram(1)),
             Server_Record(0x8B, Data_Datagram(3, 0, Bytes{0xD7, 1, 2, 3})),
             Server_Record(0x8B, Window_Datagram(4, 0, 3, 3)), Server_Record(0x40, Bytes{0x0A}),
             Server_Record(0x01, Hello_Datagram(5)), Server_Record(0x30, Bytes{})}));
  CTPClient_Ping ping;
  CTPClient_Bye bye;
  Write("trace_server", "stale_ids.bin",
        Cat({Server_Record(0x02, Hello_Datagram(7)), Server_Record(0x82, Datagram(&ping, 8, 0)),
             Server_Record(0x03, Window_Datagram(9, 0, 1, 0x0FFFFFFF)),
             Server_Record(0x02, Datagram(&bye, 10, 1)), Server_Record(0x30, Bytes{})}));

  // Round trip of built packets: integers are taken from the end (the last byte picks the class),
  // bytes from the front.
  for (uint8_t kind = 0; kind < 7; ++kind) {
    Bytes input = Text("seed name \xC3\xA9");
    Bytes fields{0x12, 0x34, 0x56, 0x78, 0x9A, 0xBC, 0xDE, 0xF0,
                 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88};
    input.insert(input.end(), fields.begin(), fields.end());
    input.push_back(kind);
    Write("packet_roundtrip", "kind" + std::to_string(kind) + ".bin", input);
  }
  return 0;
}

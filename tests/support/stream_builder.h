// Builders of trace stream bytes for the reader and text sink tests: records of one channel, packed
// into user-data packets (4-byte header: length including the header, channel ID in bits 27..31).
#ifndef TESTS_SUPPORT_STREAM_BUILDER_H_
#define TESTS_SUPPORT_STREAM_BUILDER_H_

#include <stdint.h>
#include <string.h>

#include <string>
#include <vector>

#include "trace/format/trace_format.h"

namespace text_test {

using Bytes = std::vector<uint8_t>;

template <class T>
void Put(Bytes* out, const T& value) {
  size_t at = out->size();
  out->resize(at + sizeof(T));
  memcpy(out->data() + at, &value, sizeof(T));
}

inline void Set_Header(Bytes* record, uint32_t subtype) {
  uint32_t header = TRTrace_Make_Header(static_cast<uint32_t>(record->size()), subtype);
  memcpy(record->data(), &header, 4);
}

// Channel creation time used by the tests: 2026-01-02 03:04:05.678'901"2 UTC.
constexpr uint64_t kTimeBase = 116444736000000000ull + 1767323045ull * 10000000ull + 6789012ull;
constexpr uint64_t kTimer0 = 1000;

inline Bytes Info(const std::string& name, uint64_t frequency = 10000000, uint64_t timer = kTimer0,
                  uint64_t time = kTimeBase) {
  Bytes r(4, 0);
  Put(&r, static_cast<uint32_t>(time >> 32));
  Put(&r, static_cast<uint32_t>(time));
  Put(&r, timer);
  Put(&r, frequency);
  Put(&r, static_cast<uint64_t>(12));
  uint16_t units[64] = {};
  for (size_t i = 0; i < name.size() && i < 63; ++i) units[i] = static_cast<uint8_t>(name[i]);
  r.insert(r.end(), reinterpret_cast<uint8_t*>(units),
           reinterpret_cast<uint8_t*>(units) + sizeof(units));
  Set_Header(&r, eTRTrace_Info);
  return r;
}

// `args`: pairs of type and size. `format` is ASCII here.
inline Bytes Format(uint16_t id, const std::string& format, const std::vector<uint8_t>& args = {},
                    const std::string& file = "src/dir/file.cc",
                    const std::string& function = "Func", uint16_t line = 42, uint16_t module = 0) {
  Bytes r(4, 0);
  Put(&r, id);
  Put(&r, line);
  Put(&r, module);
  Put(&r, static_cast<uint16_t>(args.size() / 2));
  r.insert(r.end(), args.begin(), args.end());
  for (char c : format) Put(&r, static_cast<uint16_t>(static_cast<uint8_t>(c)));
  Put(&r, static_cast<uint16_t>(0));
  r.insert(r.end(), file.begin(), file.end());
  r.push_back(0);
  r.insert(r.end(), function.begin(), function.end());
  r.push_back(0);
  Set_Header(&r, eTRTrace_Format);
  return r;
}

inline Bytes Data(uint16_t id, uint64_t timer, const Bytes& values = {}, uint8_t level = 2,
                  uint32_t thread = 0x123, uint32_t sequence = 1, uint16_t module = 0,
                  uint8_t cpu = 3) {
  Bytes r(4, 0);
  Put(&r, id);
  r.push_back(level);
  r.push_back(cpu);
  Put(&r, thread);
  Put(&r, sequence);
  Put(&r, timer);
  r.insert(r.end(), values.begin(), values.end());
  if (module) {
    Put(&r, module);
    r.push_back(kTRTrace_Ext_Module);
    r.push_back(1);
  } else {
    r.push_back(0);
  }
  Set_Header(&r, eTRTrace_Data);
  return r;
}

inline Bytes Thread_Start(uint32_t thread, uint64_t timer, const std::string& name) {
  Bytes r(4, 0);
  Put(&r, thread);
  Put(&r, timer);
  char text[48] = {};
  memcpy(text, name.data(), name.size() < 47 ? name.size() : 47);
  r.insert(r.end(), text, text + sizeof(text));
  Set_Header(&r, eTRTrace_Thread_Start);
  return r;
}

inline Bytes Thread_Stop(uint32_t thread, uint64_t timer) {
  Bytes r(4, 0);
  Put(&r, thread);
  Put(&r, timer);
  Set_Header(&r, eTRTrace_Thread_Stop);
  return r;
}

inline Bytes Module(uint16_t id, const std::string& name, uint32_t level = 0) {
  Bytes r(4, 0);
  Put(&r, id);
  Put(&r, level);
  char text[54] = {};
  memcpy(text, name.data(), name.size() < 53 ? name.size() : 53);
  r.insert(r.end(), text, text + sizeof(text));
  Set_Header(&r, eTRTrace_Module);
  return r;
}

inline Bytes Close() {
  Bytes r(4, 0);
  Set_Header(&r, eTRTrace_Close);
  return r;
}

inline Bytes Int(int64_t value) {
  Bytes r(8);
  memcpy(r.data(), &value, 8);
  return r;
}

inline Bytes Str(const std::string& text) {
  Bytes r(text.begin(), text.end());
  r.push_back(0);
  return r;
}

inline Bytes Cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& part : parts) out.insert(out.end(), part.begin(), part.end());
  return out;
}

// One user-data packet of `channel` holding `payload`.
inline Bytes Packet(uint32_t channel, const Bytes& payload) {
  Bytes out;
  Put(&out, static_cast<uint32_t>((payload.size() + 4) | (static_cast<uint64_t>(channel) << 27)));
  out.insert(out.end(), payload.begin(), payload.end());
  return out;
}

// Appends `part` to `out` (building long streams without copying them again and again).
inline void Append(Bytes* out, const Bytes& part) {
  out->insert(out->end(), part.begin(), part.end());
}

// Well-formed streams whose only fault is what they make a reader keep: call sites with 15,000
// "%d" each, thread starts with distinct IDs, and modules on all 32 channels. Sizes are the
// caller's, so that each test sends enough to pass its own bound.
struct sHostile_Stream {
  const char* name;
  Bytes stream;
};
inline std::vector<sHostile_Stream> Hostile_Streams(uint16_t descriptors, uint32_t threads,
                                                    uint16_t modules_per_channel) {
  std::string format;
  for (int i = 0; i < 15000; ++i) format += "%d";
  const std::vector<uint8_t> args(2 * 15000, 4);
  Bytes huge = Packet(0, Info("Chan"));
  for (uint16_t id = 1; id <= descriptors; ++id) Append(&huge, Packet(0, Format(id, format, args)));

  Bytes threads_stream = Packet(0, Info("Chan"));
  for (uint32_t first = 1; first <= threads; first += 500) {
    Bytes records;
    for (uint32_t thread = first; thread < first + 500 && thread <= threads; ++thread)
      Append(&records, Thread_Start(thread, kTimer0 + thread, "t"));
    Append(&threads_stream, Packet(0, records));
  }

  Bytes modules;
  for (uint32_t channel = 0; channel < 32; ++channel) {
    Bytes records = Info("Chan");
    for (uint16_t id = 0; id < modules_per_channel; ++id) Append(&records, Module(id, "m"));
    Append(&modules, Packet(channel, records));
  }
  return {{"descriptors with 15,000 arguments", std::move(huge)},
          {"thread starts with distinct IDs", std::move(threads_stream)},
          {"modules on all 32 channels", std::move(modules)}};
}

}  // namespace text_test

#endif  // TESTS_SUPPORT_STREAM_BUILDER_H_

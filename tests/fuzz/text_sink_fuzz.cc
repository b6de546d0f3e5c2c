// The text sink's producer path: Sent calls of arbitrary channels and sizes, each split into
// chunks, queued into the pool buffers and parsed by the sink's worker (and by Close for what is
// left). The input is a run of calls: one byte channel ID (any value, so refused IDs too), two
// bytes payload length, the payload.
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

#include <string>
#include <vector>

#include <mqtt-wrapper/TRTextSink.h>

#include "fuzz_support.h"
#include "trace/text/cl_text.h"

namespace {

fuzz::CLine_Collector* Collector() {
  static fuzz::CLine_Collector* collector = new fuzz::CLine_Collector(false);
  return collector;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const std::string handle = [] {
    char text[64];
    snprintf(text, sizeof(text), "/TR.ExtAddr=%llX",
             static_cast<unsigned long long>(TR_Register_Text_Sink(Collector())));
    return std::string(text);
  }();
  // The smallest pool (3 buffers of 16 KB): packets span buffers often. Inputs are shorter
  // than the pool, so no producer ever waits for a worker that stopped after a damaged packet.
  std::vector<std::string> options = {"/TR.Sink=ExternalSinc", handle, "/TR.Pool=1",
                                      std::string("/TR.Format=") + fuzz::kAll_Elements};
  std::vector<char*> args;
  for (std::string& option : options) args.push_back(option.data());
  CClText* client = new CClText(args.data(), static_cast<int>(args.size()));
  fuzz::Check(client->Get_Status() == 0, "text client creation");

  size_t pos = 0;
  while (pos + 3 <= size) {
    uint32_t channel = data[pos];
    size_t length = data[pos + 1] | (static_cast<size_t>(data[pos + 2]) << 8);
    pos += 3;
    if (length > size - pos) length = size - pos;
    // Up to three chunks per call, cut where the length's low bits say.
    sTRC_Data_Chunk chunks[3];
    uint32_t count = 0;
    size_t first = length ? (length * (channel & 3)) / 4 : 0;
    size_t second = first + (length - first) / 2;
    size_t cuts[4] = {0, first, second, length};
    for (int i = 0; i < 3; ++i) {
      if (cuts[i + 1] > cuts[i] || (i == 0 && length == 0)) {
        chunks[count++] =
            sTRC_Data_Chunk{data + pos + cuts[i], static_cast<uint32_t>(cuts[i + 1] - cuts[i])};
      }
    }
    uint32_t result = client->Sent(channel >> 2, chunks, count, static_cast<uint32_t>(length));
    // Refused only for a channel ID out of range (6), or once the worker found the stream
    // damaged and took the client off (1).
    const uint32_t expected = (channel >> 2) >= 32 ? 6 : 0;
    fuzz::Check(
        result == expected || (expected == 0 && result == 1),
        "Sent answered " + std::to_string(result) + " for channel " + std::to_string(channel >> 2));
    if ((pos & 7) == 0) client->Flush();
    pos += length;
  }
  client->Release();
  return 0;
}

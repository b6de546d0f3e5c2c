// The channel's descriptor parser against the reader: for any format, file and function, the
// record the channel builds reads back with the same argument table, file, function and format
// (round_trip::Problem states the property). The reader's formatter then renders the rest of the
// input as the argument values of one data record, with the growing buffer of the reader.
//
// Input: format, NUL, file, NUL, function, NUL, values (missing parts are empty).
#include <stddef.h>
#include <stdint.h>
#include <string.h>

#include <string>
#include <vector>

#include "descriptor_round_trip.h"
#include "fuzz_support.h"

namespace {

// The next NUL-terminated part of the input, or the rest when no NUL is left.
std::string Next_Part(const uint8_t* data, size_t size, size_t* pos) {
  const uint8_t* start = data + *pos;
  const void* zero = memchr(start, 0, size - *pos);
  size_t length =
      zero ? static_cast<size_t>(static_cast<const uint8_t*>(zero) - start) : size - *pos;
  *pos += zero ? length + 1 : length;
  return std::string(reinterpret_cast<const char*>(start), length);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  size_t pos = 0;
  std::string format = Next_Part(data, size, &pos);
  std::string file = Next_Part(data, size, &pos);
  std::string function = Next_Part(data, size, &pos);
  std::string problem = round_trip::Problem(format.c_str(), file.c_str(), function.c_str());
  fuzz::Check(problem.empty(), problem + " for the format \"" + format + "\"");

  // Render the remaining bytes through the reader's descriptor, as the stream reader does.
  CMemoryManager arena;
  fuzz::Check(arena.Init(), "arena");
  const uint64_t key[2] = {1, 2};
  const char* text = format.c_str();
  CTRTrace_Desc built(&arena, 1025, 1, 0, file.c_str(), function.c_str(), &text, key);
  uint32_t record_size = 0;
  const auto* record = static_cast<const uint8_t*>(built.Get_Buffer(&record_size));
  CTraceDescriptor* read = CTraceDescriptor::Create(record, record_size, nullptr);
  fuzz::Check(read != nullptr, "descriptor");
  // Exact-size copy of the values, so that any read past them is caught.
  std::vector<uint8_t> values(data + pos, data + size);
  uint32_t capacity = 64;
  for (int attempt = 0; attempt < 12; ++attempt, capacity *= 2) {
    std::vector<char> out(capacity);
    int32_t n = read->Formatter()->Format(out.data(), capacity, values.data(),
                                          static_cast<uint32_t>(values.size()));
    if (n >= 0) {
      fuzz::Check(
          static_cast<uint32_t>(n) < capacity && strlen(out.data()) == static_cast<size_t>(n),
          "message length disagrees with its text");
      break;
    }
    fuzz::Check(strlen(out.data()) < capacity, "unterminated message after a refusal");
  }
  delete read;
  return 0;
}

// Reader of binary trace files (".trd") for tests: checks the file header, splits the stream
// into the channels' hand-overs and records, and decodes data records with the descriptors sent
// earlier in the same file, so a test can tell whether every file is readable by itself.
//
// Thread-safety: plain functions and values.
#ifndef TESTS_SUPPORT_TRD_READER_H_
#define TESTS_SUPPORT_TRD_READER_H_

#include <stdint.h>

#include <string>
#include <vector>

#include "trace/format/file_header.h"

namespace mqw_test {

// One decoded data record (subtype 2).
struct TrdData {
  uint32_t channel = 0;
  uint16_t id = 0;
  uint8_t level = 0;
  uint32_t thread_id = 0;
  uint32_t sequence = 0;
  std::string format;                // of its descriptor, as UTF-8
  std::vector<uint64_t> numbers;     // numeric arguments in order
  std::vector<std::string> strings;  // 8-bit string arguments in order
};

struct TrdRecord {
  uint32_t channel = 0;
  uint32_t subtype = 0;
  uint32_t size = 0;
};

struct TrdFile {
  std::string path;
  sTRD_File_Header header{};
  std::vector<TrdRecord> records;  // every record, in file order
  std::vector<TrdData> data;       // the data records, in file order
  // Why the file does not decode by itself (empty when it does): a bad header, a cut record,
  // a channel whose first record is not its information record followed by its UTC offset,
  // or a data record whose descriptor (or module) did not come earlier in this file.
  std::string error;
};

// Reads and decodes one file.
TrdFile Read_Trd_File(const std::string& path);
// Paths of the files in `directory` whose name ends in ".trd" (any case), sorted by name.
std::vector<std::string> List_Trd_Files(const std::string& directory);
// Reads every file of List_Trd_Files.
std::vector<TrdFile> Read_Trd_Directory(const std::string& directory);

}  // namespace mqw_test

#endif  // TESTS_SUPPORT_TRD_READER_H_

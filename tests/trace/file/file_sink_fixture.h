// Shared helpers of the binary file sink tests: a sink in a private directory, options built
// from a list, and a trace channel on it.
#ifndef TESTS_TRACE_FILE_FILE_SINK_FIXTURE_H_
#define TESTS_TRACE_FILE_FILE_SINK_FIXTURE_H_

#include <string>
#include <vector>

#include <mqtt-wrapper/TR.h>

#include "support/temp_dir.h"

namespace mqw_test {

// A file sink made from `options` (each one argument, "/TR.Dir=" of `dir` prepended).
ITR_Client* Make_File_Sink(const TempDir& dir, std::vector<std::string> options = {});

// Names (without directory) of the ".trd" files in `dir`, sorted.
std::vector<std::string> Trd_Names(const std::string& dir);

}  // namespace mqw_test

#endif  // TESTS_TRACE_FILE_FILE_SINK_FIXTURE_H_

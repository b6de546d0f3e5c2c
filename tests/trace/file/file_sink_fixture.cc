#include "file_sink_fixture.h"

#include "support/option_args.h"
#include "support/trd_reader.h"
#include "trace/core/sink_factories.h"

namespace mqw_test {

ITR_Client* Make_File_Sink(const TempDir& dir, std::vector<std::string> options) {
  options.insert(options.begin(), "/TR.Dir=" + dir.Path());
  OptionArgs args(std::move(options));
  return New_File_Sink(args.Get(), args.Count());
}

std::vector<std::string> Trd_Names(const std::string& dir) {
  std::vector<std::string> names;
  for (const std::string& path : List_Trd_Files(dir))
    names.push_back(path.substr(path.rfind('/') + 1));
  return names;
}

}  // namespace mqw_test

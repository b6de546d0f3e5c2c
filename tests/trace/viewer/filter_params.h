// Query parameters for the tests of the viewer's filters and the fleet's: Param_Lookup answers a
// filter's questions from a map, as the HTTP side answers them from a request, and Parse_Filter
// parses a viewer filter from one; shared by those tests and the filter's fuzz target.
#ifndef TESTS_TRACE_VIEWER_FILTER_PARAMS_H_
#define TESTS_TRACE_VIEWER_FILTER_PARAMS_H_

#include <functional>
#include <map>
#include <optional>
#include <string>

#include "trace/viewer/message_filter.h"

namespace viewer_test {

// Looks a parameter up in `params`, which must outlive the returned function.
inline std::function<std::optional<std::string>(const char*)> Param_Lookup(
    const std::map<std::string, std::string>& params) {
  return [&params](const char* name) -> std::optional<std::string> {
    auto found = params.find(name);
    if (found == params.end()) return std::nullopt;
    return found->second;
  };
}

// Parses `params` into `filter`; the error text when refused, nullopt when accepted.
inline std::optional<std::string> Parse_Filter(CMessage_Filter* filter,
                                               const std::map<std::string, std::string>& params) {
  std::string error;
  const bool ok = filter->Parse(Param_Lookup(params), &error);
  if (ok) return std::nullopt;
  return error;
}

}  // namespace viewer_test

#endif  // TESTS_TRACE_VIEWER_FILTER_PARAMS_H_

// Parse_Filter: a viewer filter parsed from a map of query parameters, as the HTTP side hands
// them over; shared by the viewer's tests and its fuzz target.
#ifndef TESTS_TRACE_VIEWER_FILTER_PARAMS_H_
#define TESTS_TRACE_VIEWER_FILTER_PARAMS_H_

#include <map>
#include <optional>
#include <string>

#include "trace/viewer/message_filter.h"

namespace viewer_test {

// Parses `params` into `filter`; the error text when refused, nullopt when accepted.
inline std::optional<std::string> Parse_Filter(CMessage_Filter* filter,
                                               const std::map<std::string, std::string>& params) {
  std::string error;
  const bool ok = filter->Parse(
      [&](const char* name) -> std::optional<std::string> {
        auto found = params.find(name);
        if (found == params.end()) return std::nullopt;
        return found->second;
      },
      &error);
  if (ok) return std::nullopt;
  return error;
}

}  // namespace viewer_test

#endif  // TESTS_TRACE_VIEWER_FILTER_PARAMS_H_

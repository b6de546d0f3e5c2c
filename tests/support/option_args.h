// OptionArgs: option strings ("/TR.Dir=...") kept alive together with the argv-style array of
// pointers into them that sink constructors and Initialize take.
//
// The pointers stay valid as long as the object lives and is not moved from; sinks may change
// the strings in place, which only affects this copy. Thread-safety: one owner.
#ifndef TESTS_SUPPORT_OPTION_ARGS_H_
#define TESTS_SUPPORT_OPTION_ARGS_H_

#include <string>
#include <utility>
#include <vector>

namespace mqw_test {

class OptionArgs {
 public:
  explicit OptionArgs(std::vector<std::string> options) : m_Options(std::move(options)) {
    for (std::string& option : m_Options) m_Pointers.push_back(option.data());
  }
  OptionArgs(const OptionArgs&) = delete;
  OptionArgs& operator=(const OptionArgs&) = delete;

  char** Get() { return m_Pointers.data(); }
  int Count() const { return static_cast<int>(m_Pointers.size()); }

 private:
  std::vector<std::string> m_Options;
  std::vector<char*> m_Pointers;  // into m_Options
};

}  // namespace mqw_test

#endif  // TESTS_SUPPORT_OPTION_ARGS_H_

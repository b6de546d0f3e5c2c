// CName_List: one of the page's name criteria (host, channel, module, thread) as a list of items
// separated by commas. An item is an exact name or a pattern in which `*` stands for any run of
// characters (none included); an item that starts with `!` excludes what it matches. A name is
// selected when it matches some included item (or no item includes) and no excluded item. Names
// compare exactly, case included; blanks around an item are dropped and empty items ignored.
//
// Matching costs at most the product of the name's and the pattern's lengths (the usual greedy
// walk that returns only to the last `*`), so no pattern can make one name expensive; the list's
// length is bounded by Parse (kMax_Items items of at most kMax_Item bytes).
//
// Thread-safety: const after Parse; Matches may run on several threads at once.
#ifndef TRACE_VIEWER_NAME_LIST_H_
#define TRACE_VIEWER_NAME_LIST_H_

#include <string>
#include <string_view>
#include <vector>

class CName_List {
 public:
  static constexpr size_t kMax_Items = 256;
  static constexpr size_t kMax_Item = 256;

  // False with `error` (what is wrong, without the parameter's name) for too many or too long
  // items; the list then selects everything.
  bool Parse(std::string_view text, std::string* error);

  bool Empty() const { return m_Include.empty() && m_Exclude.empty(); }
  // `alias`, when given, is a second name of the same thing (a thread's decimal ID): either one
  // matching an item counts as a match.
  bool Matches(std::string_view name, std::string_view alias = {}) const;

  // Whether `pattern` (with `*`) matches the whole of `name`.
  static bool Wildcard_Match(std::string_view pattern, std::string_view name);

 private:
  static bool Any(const std::vector<std::string>& items, std::string_view name,
                  std::string_view alias);

  std::vector<std::string> m_Include;
  std::vector<std::string> m_Exclude;
};

#endif  // TRACE_VIEWER_NAME_LIST_H_

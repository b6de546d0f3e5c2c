#include "trace/viewer/name_list.h"

namespace {

std::string_view Trimmed(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  return text;
}

}  // namespace

bool CName_List::Parse(std::string_view text, std::string* error) {
  m_Include.clear();
  m_Exclude.clear();
  size_t count = 0;
  while (!text.empty()) {
    const size_t comma = text.find(',');
    std::string_view item = Trimmed(text.substr(0, comma));
    text = comma == std::string_view::npos ? std::string_view() : text.substr(comma + 1);
    const bool exclude = !item.empty() && item.front() == '!';
    if (exclude) item = Trimmed(item.substr(1));
    if (item.empty()) continue;
    if (item.size() > kMax_Item || ++count > kMax_Items) {
      *error = "more than " + std::to_string(kMax_Items) + " items or an item longer than " +
               std::to_string(kMax_Item) + " characters";
      m_Include.clear();
      m_Exclude.clear();
      return false;
    }
    (exclude ? m_Exclude : m_Include).emplace_back(item);
  }
  return true;
}

bool CName_List::Wildcard_Match(std::string_view pattern, std::string_view name) {
  size_t p = 0, n = 0;
  size_t star = std::string_view::npos, resume = 0;  // the last '*' seen and where it took up to
  while (n < name.size()) {
    if (p < pattern.size() && pattern[p] == '*') {
      star = p++;
      resume = n;
    } else if (p < pattern.size() && pattern[p] == name[n]) {
      ++p;
      ++n;
    } else if (star != std::string_view::npos) {
      p = star + 1;  // the last '*' takes one more character
      n = ++resume;
    } else {
      return false;
    }
  }
  while (p < pattern.size() && pattern[p] == '*') ++p;
  return p == pattern.size();
}

bool CName_List::Any(const std::vector<std::string>& items, std::string_view name,
                     std::string_view alias) {
  for (const std::string& item : items) {
    if (Wildcard_Match(item, name)) return true;
    if (!alias.empty() && Wildcard_Match(item, alias)) return true;
  }
  return false;
}

bool CName_List::Matches(std::string_view name, std::string_view alias) const {
  if (!m_Include.empty() && !Any(m_Include, name, alias)) return false;
  return m_Exclude.empty() || !Any(m_Exclude, name, alias);
}

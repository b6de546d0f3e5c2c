#include "trace/viewer/merged_query.h"

#include <errno.h>
#include <stdlib.h>

#include <algorithm>
#include <tuple>

namespace {

// "N1,N2,..." into `count` numbers; an empty cursor is every source's start (0).
bool Parse_Cursor(const std::string& text, size_t count, std::vector<uint64_t>* out) {
  out->assign(count, 0);
  if (text.empty()) return true;
  size_t start = 0;
  for (size_t i = 0; i < count; ++i) {
    const size_t comma = text.find(',', start);
    const bool last = i + 1 == count;
    if ((comma == std::string::npos) != last) return false;
    const std::string item = text.substr(start, last ? std::string::npos : comma - start);
    if (item.empty() || item.size() > 20 ||
        item.find_first_not_of("0123456789") != std::string::npos)
      return false;
    errno = 0;
    (*out)[i] = strtoull(item.c_str(), nullptr, 10);
    if (errno != 0) return false;
    start = comma + 1;
  }
  return true;
}

std::string Cursor_Text(const std::vector<uint64_t>& numbers) {
  std::string text;
  for (size_t i = 0; i < numbers.size(); ++i) text += (i ? "," : "") + std::to_string(numbers[i]);
  return text;
}

}  // namespace

bool CMerged_Query::Is_Merged(const std::string& source) {
  return source == "*" || source.find(',') != std::string::npos;
}

CServed_Directory::eResolve CMerged_Query::Sources(const std::string& source,
                                                   std::vector<std::string>* paths) const {
  paths->clear();
  if (source == "*") {
    for (const CServed_Directory::sSource& found : m_Directory.Sources())
      if (!found.files.empty()) paths->push_back(found.path);
    return CServed_Directory::eResolve::Ok;
  }
  size_t start = 0;
  while (start <= source.size()) {
    size_t comma = source.find(',', start);
    if (comma == std::string::npos) comma = source.size();
    const std::string item = source.substr(start, comma - start);
    start = comma + 1;
    if (item.empty()) continue;
    std::vector<CServed_Directory::sFile> files;
    const CServed_Directory::eResolve resolve = m_Directory.Files(item, &files);
    if (resolve != CServed_Directory::eResolve::Ok) return resolve;
    if (std::find(paths->begin(), paths->end(), item) == paths->end()) paths->push_back(item);
  }
  return CServed_Directory::eResolve::Ok;
}

CMerged_Query::sPage CMerged_Query::Page(const std::string& source, const CMessage_Filter& filter,
                                         const std::string& after, uint32_t limit,
                                         const sScan_Budget& budget) const {
  sPage page;
  std::vector<std::string> paths;
  if ((page.resolve = Sources(source, &paths)) != CServed_Directory::eResolve::Ok) return page;
  if (paths.size() > kMax_Sources) {
    page.error = "source: more than " + std::to_string(kMax_Sources) + " sources";
    return page;
  }
  std::vector<uint64_t> cursors;
  if (!Parse_Cursor(after, paths.size(), &cursors)) {
    page.error = "after: not a cursor of this merged source";
    return page;
  }
  limit = std::clamp<uint32_t>(limit, 1, CStored_Query::kMax_Page);
  const bool newest = filter.Order() == CMessage_Filter::eOrder::Newest;
  struct sTaken {
    size_t source;
    const sViewer_Message* message;
  };
  std::vector<CStored_Query::sPage> pages(paths.size());
  std::vector<sTaken> all;
  for (size_t i = 0; i < paths.size(); ++i) {
    // A source whose backward cursor reached its start is done: 0 would mean "from the end".
    if (newest && !after.empty() && cursors[i] == 0) continue;
    pages[i] = m_Query.Page(paths[i], filter, cursors[i], limit, budget);
    page.cut = page.cut || pages[i].scan.cut;
    for (CStored_Query::sProblem& problem : pages[i].scan.problems)
      page.problems.push_back(std::move(problem));
    for (const sViewer_Message& message : pages[i].messages) all.push_back({i, &message});
  }
  std::stable_sort(all.begin(), all.end(), [newest](const sTaken& a, const sTaken& b) {
    if (a.message->time_us != b.message->time_us)
      return newest ? a.message->time_us > b.message->time_us
                    : a.message->time_us < b.message->time_us;
    return a.source < b.source;
  });
  const size_t taken = std::min<size_t>(limit, all.size());
  std::vector<size_t> taken_count(paths.size(), 0);
  std::vector<uint64_t> last_taken(paths.size(), 0);
  for (size_t t = 0; t < taken; ++t) {
    page.messages.push_back({paths[all[t].source], *all[t].message});
    ++taken_count[all[t].source];
    last_taken[all[t].source] = all[t].message->sequence;
  }
  std::vector<uint64_t> next = cursors;
  for (size_t i = 0; i < paths.size(); ++i) {
    const CStored_Query::sPage& own = pages[i];
    const bool untaken = taken_count[i] < own.messages.size();
    if (newest && !after.empty() && cursors[i] == 0) continue;  // done before this page
    if (untaken) {
      // Forward: the first message not taken; backward: below the oldest taken (or unchanged).
      // (a number above the newest untaken when none was taken: 0 would mean "done").
      next[i] = newest ? (taken_count[i] ? last_taken[i] : own.messages[0].sequence + 1)
                       : own.messages[taken_count[i]].sequence;
      page.more = true;
    } else {
      next[i] = own.next;
      if (own.more) page.more = true;
      // Backward and read to the start: marked done with 0, never "from the end" again.
      if (newest && !own.more) next[i] = 0;
    }
  }
  page.next = Cursor_Text(next);
  return page;
}

CStored_Query::sTimeline CMerged_Query::Timeline(const std::string& source,
                                                 const CMessage_Filter& filter,
                                                 uint32_t max_buckets,
                                                 const sScan_Budget& budget) const {
  CStored_Query::sTimeline result;
  std::vector<std::string> paths;
  if ((result.scan.resolve = Sources(source, &paths)) != CServed_Directory::eResolve::Ok ||
      paths.size() > kMax_Sources)
    return result;
  CTimeline timeline;
  for (const std::string& path : paths) {
    const CStored_Query::sScan scan = m_Query.Scan(
        path, filter, 0,
        [&](const sViewer_Message& message) {
          timeline.Add(message.time_us, message.level);
          return true;
        },
        false, budget);
    result.scan.scanned += scan.scanned;
    result.scan.cut = result.scan.cut || scan.cut;
    for (const CStored_Query::sProblem& problem : scan.problems)
      result.scan.problems.push_back(problem);
  }
  result.total = timeline.Total();
  result.buckets = timeline.Build(std::clamp<uint32_t>(max_buckets, 1, CTimeline::kMax_Buckets));
  return result;
}

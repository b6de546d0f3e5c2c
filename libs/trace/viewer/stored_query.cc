#include "trace/viewer/stored_query.h"

#include <stdio.h>

#include <algorithm>
#include <deque>
#include <memory>
#include <optional>

#include "trace/decode/trace_file_reader.h"
#include "trace/viewer/message_collector.h"

namespace {

// The host a stored message is shown under: the source directory of its file.
std::string Host_Of(const std::string& relative_file) {
  const size_t slash = relative_file.rfind('/');
  return slash == std::string::npos ? "." : relative_file.substr(0, slash);
}

struct sFile_Closer {
  void operator()(FILE* file) const { fclose(file); }
};

// Whether a scan must stop at a check, `next` being the number of the next message it would
// examine (see the header: the deadline never stops a scan between decoding and progress).
bool Must_Stop(const sScan_Budget& budget, const CStored_Query::sScan& scan, uint64_t next,
               uint64_t after) {
  if (budget.Past_Deadline() && (scan.scanned == 0 || next > after)) return true;
  return budget.Gone();
}

}  // namespace

bool CStored_Query::Cached(const CServed_Directory::sFile& file, sSummary* summary) const {
  CLockGuard guard(&m_Lock);
  auto found = m_Summaries.find(file.absolute);
  if (found == m_Summaries.end() || found->second.bytes != file.bytes ||
      found->second.modified_ns != file.modified_ns)
    return false;
  *summary = found->second;
  return true;
}

void CStored_Query::Remember(const std::string& absolute, const sSummary& summary) const {
  CLockGuard guard(&m_Lock);
  if (m_Summaries.size() >= kMax_Cached) m_Summaries.clear();
  m_Summaries[absolute] = summary;
}

bool CStored_Query::Scan_File(const CServed_Directory::sFile& file, const std::string& host,
                              const CMessage_Filter& filter, uint64_t after, uint64_t* base,
                              const tVisit& visit, bool lines, const sScan_Budget& budget,
                              sScan* scan) const {
  sSummary summary;
  if (Cached(file, &summary) &&
      (*base + summary.messages <= after || summary.last_us < filter.From_us())) {
    *base += summary.messages;
    return true;
  }
  summary = sSummary{};
  summary.bytes = file.bytes;
  summary.modified_ns = file.modified_ns;
  bool stopped = false;
  uint64_t number = *base;
  unsigned unchecked = 0;  // messages decoded since the budget was last checked
  CMessage_Collector collector(host, [&](sViewer_Message& message) {
    if (stopped) return;  // the rest of the current read is decoded but neither counted nor shown
    if (++unchecked >= sScan_Budget::kCheck_Every) {
      unchecked = 0;
      if (Must_Stop(budget, *scan, number, after)) {
        stopped = scan->cut = true;
        return;  // this message is not examined: `number` stays its number
      }
    }
    message.sequence = number++;
    ++summary.messages;
    summary.first_us = std::min(summary.first_us, message.time_us);
    summary.last_us = std::max(summary.last_us, message.time_us);
    ++scan->scanned;
    if (message.sequence < after || !filter.Matches(message)) return;
    if (!visit(message)) stopped = true;
  });
  CTrace_File_Reader reader;
  std::unique_ptr<FILE, sFile_Closer> input(fopen(file.absolute.c_str(), "rb"));
  if (!input || !reader.Init(lines ? nullptr : "%ms", &collector)) {
    scan->problems.push_back({file.path, "cannot be read"});
    return true;
  }
  std::vector<uint8_t> buffer(kRead_Bytes);
  bool damaged = false;
  for (bool first = true; !stopped; first = false) {
    // Reads that decode no message (records of channels the file never described) still cost.
    if (!first && Must_Stop(budget, *scan, number, after)) {
      stopped = scan->cut = true;
      break;
    }
    const size_t got = fread(buffer.data(), 1, buffer.size(), input.get());
    if (got == 0) break;
    if (!reader.Feed(buffer.data(), got)) {
      damaged = true;
      break;
    }
    if (got < buffer.size()) break;  // the end of the file: nothing left to check for
  }
  *base = number;
  if (stopped) return false;  // a file read in part is not remembered
  // A file still being written may end inside a packet: that is reported, like damage.
  if (damaged || !reader.End()) scan->problems.push_back({file.path, reader.Error_Text()});
  if (!damaged) Remember(file.absolute, summary);
  return true;
}

CStored_Query::sScan CStored_Query::Scan(const std::string& source, const CMessage_Filter& filter,
                                         uint64_t after, const tVisit& visit, bool lines,
                                         const sScan_Budget& budget) const {
  sScan scan;
  scan.next = after;
  std::vector<CServed_Directory::sFile> files;
  scan.resolve = m_Directory.Files(source, &files);
  if (scan.resolve != CServed_Directory::eResolve::Ok) return scan;
  uint64_t base = 0;
  bool stopped = false;
  for (const CServed_Directory::sFile& file : files) {
    if (Must_Stop(budget, scan, base, after)) {
      scan.cut = true;
      stopped = true;
      break;
    }
    if (!Scan_File(file, Host_Of(file.path), filter, after, &base, visit, lines, budget, &scan)) {
      stopped = true;
      break;
    }
  }
  scan.next = std::max(after, base);
  scan.complete = !stopped;
  return scan;
}

CStored_Query::sPage CStored_Query::Page(const std::string& source, const CMessage_Filter& filter,
                                         uint64_t after, uint32_t limit,
                                         const sScan_Budget& budget) const {
  sPage page;
  limit = std::clamp<uint32_t>(limit, 1, kMax_Page);
  if (filter.Order() == CMessage_Filter::eOrder::Newest)
    return Newest_Page(source, filter, after, limit, budget);
  std::optional<uint64_t> refused;  // the first match beyond `limit`: where the next page starts
  page.scan = Scan(
      source, filter, after,
      [&](const sViewer_Message& message) {
        // One more than asked tells whether a next page exists.
        if (page.messages.size() == limit) {
          refused = message.sequence;
          return false;
        }
        page.messages.push_back(message);
        return true;
      },
      false, budget);
  page.more = refused.has_value() || page.scan.cut;
  page.next = refused.value_or(page.scan.next);
  return page;
}

CStored_Query::sPage CStored_Query::Newest_Page(const std::string& source,
                                                const CMessage_Filter& filter, uint64_t before,
                                                uint32_t limit, const sScan_Budget& budget) const {
  sPage page;
  std::deque<sViewer_Message> last;  // the newest limit + 1 matches seen so far, oldest first
  page.scan = Scan(
      source, filter, 0,
      [&](const sViewer_Message& message) {
        if (before != 0 && message.sequence >= before) return false;
        last.push_back(message);
        if (last.size() > limit + 1u) last.pop_front();
        return true;
      },
      false, budget);
  if (page.scan.cut) {
    page.more = true;
    page.next = before;
    return page;
  }
  page.more = last.size() > limit;
  if (page.more) last.pop_front();
  page.messages.assign(last.rbegin(), last.rend());
  page.next = page.messages.empty() ? 0 : page.messages.back().sequence;
  if (page.messages.empty()) page.more = false;
  return page;
}

CStored_Query::sContext CStored_Query::Context(const std::string& source, uint64_t sequence,
                                               uint32_t lines, const sScan_Budget& budget) const {
  sContext context;
  std::deque<sViewer_Message> before;  // the last `lines` messages before it (of every host)
  const CMessage_Filter all;
  const uint64_t from = sequence > kMax_Context_Window ? sequence - kMax_Context_Window : 0;
  context.scan = Scan(
      source, all, from,
      [&](const sViewer_Message& message) {
        if (message.sequence < sequence) {
          // Kept for every host, since the message's own is not known yet; a message of the same
          // host lies at most `lines` messages of that host back, so the queue is filtered once
          // it is.
          before.push_back(message);
          if (before.size() > kMax_Context_Window) before.pop_front();
          return true;
        }
        if (message.sequence == sequence) {
          context.found = true;
          context.message = message;
          return lines > 0;
        }
        if (!context.found) return false;
        if (message.host == context.message.host) context.after.push_back(message);
        return context.after.size() < lines;
      },
      false, budget);
  if (!context.found) return context;
  for (auto it = before.rbegin(); it != before.rend() && context.before.size() < lines; ++it)
    if (it->host == context.message.host) context.before.push_back(*it);
  std::reverse(context.before.begin(), context.before.end());
  return context;
}

CStored_Query::sTimeline CStored_Query::Timeline(const std::string& source,
                                                 const CMessage_Filter& filter,
                                                 uint32_t max_buckets,
                                                 const sScan_Budget& budget) const {
  sTimeline result;
  CTimeline timeline;
  result.scan = Scan(
      source, filter, 0,
      [&](const sViewer_Message& message) {
        timeline.Add(message.time_us, message.level);
        return true;
      },
      false, budget);
  result.total = timeline.Total();
  result.buckets = timeline.Build(std::clamp<uint32_t>(max_buckets, 1, CTimeline::kMax_Buckets));
  return result;
}

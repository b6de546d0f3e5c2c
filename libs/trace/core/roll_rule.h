// CRoll_Rule: when a rolling output file (binary trace file or text file) is closed and a new
// one begun ("/TR.Roll="), and the checks that say a roll is due.
//
// Forms: "<n>mb" (n megabytes per file), "<n>hr" (n hours per file, at most 1000), or a list
// of times of day "H:MM[,H:MM...]tm"; the suffix is compared without regard to case. The number
// is read as base-10 text (strtol rules). A value that does not fit these forms, a size whose
// byte count does not fit in 64 bits and a time that never occurs on a clock leave the rule
// empty (no rolling) and report what was wrong; sizes never wrap.
//
// Times of day are checked over the span between two looks at the clock. A span that crosses
// midnight covers the end of the old day and the start of the new one, so "0:00tm" rolls at
// midnight and a check at 23:59:59 followed by one at 00:00:01 passes 23:59:59 < T and T < 1 s.
//
// Thread-safety: none; a sink parses it once at construction, and afterwards only the thread
// that rolls (the sink's worker) reads it and keeps the last-check state.
#ifndef TRACE_CORE_ROLL_RULE_H_
#define TRACE_CORE_ROLL_RULE_H_

#include <stddef.h>
#include <stdint.h>

#include "trace/base/list_pool.h"

class CRoll_Rule {
 public:
  enum eKind : uint32_t { eNone = 0, eMegabytes = 1, eHours = 2, eTimes = 3 };
  enum eParse : uint32_t {
    eParse_Ok = 0,
    eParse_Cut = 1,      // hours above 1000: cut to 1000 hours, rule in force
    eParse_Invalid = 2,  // no rolling; `shown` holds the text to report
  };

  static constexpr uint64_t kMegabyte = 1048576;
  static constexpr uint64_t kHour_ms = 3600000;
  static constexpr uint32_t kMaxHours = 1000;
  static constexpr uint32_t kDay_s = 86400;

  CRoll_Rule() = default;
  CRoll_Rule(const CRoll_Rule&) = delete;
  CRoll_Rule& operator=(const CRoll_Rule&) = delete;

  // Parses `text` (null: no rule, eParse_Ok). On eParse_Invalid, `shown` (of `shown_size`
  // bytes) receives the part of the value a report shows: the whole value when it is shorter
  // than 3 characters, otherwise the value without its two-letter suffix.
  eParse Parse(const char* text, char* shown, size_t shown_size);

  eKind Kind() const { return m_Kind; }
  // Bytes per file ("mb") or milliseconds per file ("hr"); 0 otherwise.
  uint64_t Value() const { return m_Value; }
  // Roll times in seconds since local midnight, in the given order ("tm").
  CUintList& Times() { return m_Times; }

  // "mb": the current file holds `file_bytes` and must be closed before more is written.
  bool Size_Due(uint64_t file_bytes) const { return m_Kind == eMegabytes && file_bytes >= m_Value; }
  // "hr": more than the rule's milliseconds have passed since `created_ms` (32-bit monotonic
  // milliseconds; a wrapped clock counts on from 0xFFFFFFFF).
  bool Age_Due(uint32_t created_ms, uint32_t now_ms) const;
  // "tm": whether a roll time was passed between two looks at the clock, `previous` and `now`
  // (seconds since local midnight); previous <= T < now, across midnight when now < previous.
  bool Time_Passed(uint32_t previous, uint32_t now) const;
  // "tm": Time_Passed since the last check, which then becomes `now`.
  bool Check_Times(uint32_t now);
  void Set_Last_Check(uint32_t seconds) { m_LastCheck = seconds; }

  // Seconds since local midnight now; 0 when the local time is unavailable.
  static uint32_t Time_Of_Day();

 private:
  // The "tm" list: "H:M" items separated by single commas, one or more digits on each side.
  bool Parse_Rolling_Time(const char* text, size_t length);

  eKind m_Kind = eNone;
  uint64_t m_Value = 0;
  CUintList m_Times;
  uint32_t m_LastCheck = Time_Of_Day();
};

#endif  // TRACE_CORE_ROLL_RULE_H_

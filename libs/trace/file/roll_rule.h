// CRoll_Rule: when a binary trace file is closed and a new one begun ("/TR.Roll=").
//
// Forms: "<n>mb" (n megabytes per file), "<n>hr" (n hours per file, at most 1000), or a list
// of times of day "H:MM[,H:MM...]tm"; the suffix is compared without regard to case. A value
// that does not fit these forms leaves the rule empty (no rolling) and reports what was wrong.
//
// Thread-safety: none; the sink parses it once at construction and its writer thread reads it.
#ifndef TRACE_FILE_ROLL_RULE_H_
#define TRACE_FILE_ROLL_RULE_H_

#include <stddef.h>
#include <stdint.h>

#include "trace/base/list_pool.h"

class CRoll_Rule {
 public:
  enum eKind : uint32_t { eNone = 0, eMegabytes = 1, eHours = 2, eTimes = 3 };
  enum eParse : uint32_t {
    eParse_Ok = 0,
    eParse_Cut = 1,        // hours above 1000: cut to 1000 hours, rule in force
    eParse_Invalid = 2,    // no rolling; `shown` holds the text to report
  };

  static constexpr uint64_t kMegabyte = 1048576;
  static constexpr uint64_t kHour_ms = 3600000;
  static constexpr uint32_t kMaxHours = 1000;
  static constexpr uint32_t kDay_s = 86400;

  CRoll_Rule() = default;
  CRoll_Rule(const CRoll_Rule&) = delete;
  CRoll_Rule& operator=(const CRoll_Rule&) = delete;

  // Parses `text` (null: no rule, eParse_Ok). On eParse_Invalid, `shown` (of `shown_size`
  // bytes) receives the part of the value the report shows.
  eParse Parse(const char* text, char* shown, size_t shown_size);

  eKind Kind() const { return m_Kind; }
  // Bytes per file ("mb") or milliseconds per file ("hr"); 0 otherwise.
  uint64_t Value() const { return m_Value; }
  // Roll times in seconds since local midnight, in the given order ("tm").
  CUintList& Times() { return m_Times; }

  // "tm": whether a roll time was passed between two looks at the clock, `previous` and `now`
  // (seconds since local midnight). A clock that went past midnight in between covers the end
  // of the old day and the start of the new one.
  bool Time_Passed(uint32_t previous, uint32_t now);

 private:
  bool Parse_Times(const char* text, size_t length);

  eKind m_Kind = eNone;
  uint64_t m_Value = 0;
  CUintList m_Times;
};

#endif  // TRACE_FILE_ROLL_RULE_H_

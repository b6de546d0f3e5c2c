// CMemory_Budget: one account of the memory that a party outside the process (a trace server's
// client) makes us keep. Every piece of state kept on that party's behalf is charged before it
// is created and released when it goes, so that the party's share of the process stays under
// one limit however its data is shaped.
//
// A charge that would take the account over its limit is refused whole: nothing is charged, the
// caller must not create what it asked for, and the account stays exceeded from then on (the
// owner then ends the party, see Exceeded). Release never goes below zero.
//
// Charges are estimates of what a structure costs (its payload plus a fixed overhead per node),
// not the allocator's exact figures; kNode_Overhead is the figure callers add per map entry or
// separate allocation.
//
// Thread-safety: none; one owner thread charges and releases.
#ifndef TRACE_BASE_MEMORY_BUDGET_H_
#define TRACE_BASE_MEMORY_BUDGET_H_

#include <stdint.h>

class CMemory_Budget {
 public:
  // A map entry or one heap block: header, pointers and the allocator's rounding.
  static constexpr uint64_t kNode_Overhead = 64;

  // `limit_bytes` of 0 refuses every charge.
  explicit CMemory_Budget(uint64_t limit_bytes) : m_Limit(limit_bytes) {}

  CMemory_Budget(const CMemory_Budget&) = delete;
  CMemory_Budget& operator=(const CMemory_Budget&) = delete;

  // Charges `bytes`; false (nothing charged, the account now exceeded) when the limit would be
  // passed.
  bool Charge(uint64_t bytes) {
    if (bytes > m_Limit - m_Used) {
      m_Exceeded = true;
      return false;
    }
    m_Used += bytes;
    if (m_Used > m_Peak) m_Peak = m_Used;
    return true;
  }
  // Gives back `bytes` charged before.
  void Release(uint64_t bytes) { m_Used = bytes > m_Used ? 0 : m_Used - bytes; }
  // Forgets every charge (the party started over and its state was dropped); Exceeded stays.
  void Reset() { m_Used = 0; }

  // A charge was refused: the party asked for more than its share.
  bool Exceeded() const { return m_Exceeded; }
  uint64_t Used() const { return m_Used; }
  uint64_t Peak() const { return m_Peak; }
  uint64_t Limit() const { return m_Limit; }

 private:
  const uint64_t m_Limit;
  uint64_t m_Used = 0;  // invariant: m_Used <= m_Limit
  uint64_t m_Peak = 0;
  bool m_Exceeded = false;
};

#endif  // TRACE_BASE_MEMORY_BUDGET_H_

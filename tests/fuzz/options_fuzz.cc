// Option values of the buffering sinks: "/TR.Roll=" through CRoll_Rule::Parse and "/TR.Pool="
// through Plan_Pool under each sink's cap. Whatever the text, the rule is consistent with its
// verdict and the pool plan stays within its stated bounds.
//
// Input: roll value, NUL, pool value.
#include <stddef.h>
#include <stdint.h>
#include <string.h>

#include <string>

#include "fuzz_support.h"
#include "trace/core/pool_plan.h"
#include "trace/core/roll_rule.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const void* zero = memchr(data, 0, size);
  size_t split = zero ? static_cast<size_t>(static_cast<const uint8_t*>(zero) - data) : size;
  std::string roll(reinterpret_cast<const char*>(data), split);
  std::string pool =
      split < size ? std::string(reinterpret_cast<const char*>(data) + split + 1, size - split - 1)
                   : "";

  CRoll_Rule rule;
  char shown[64];
  memset(shown, 'x', sizeof(shown));
  CRoll_Rule::eParse verdict = rule.Parse(roll.c_str(), shown, sizeof(shown));
  switch (verdict) {
    case CRoll_Rule::eParse_Invalid:
      fuzz::Check(rule.Kind() == CRoll_Rule::eNone, "an invalid roll value left a rule in force");
      fuzz::Check(memchr(shown, 0, sizeof(shown)) != nullptr,
                  "the reported value is not terminated");
      break;
    case CRoll_Rule::eParse_Cut:
      fuzz::Check(rule.Kind() == CRoll_Rule::eHours &&
                      rule.Value() == CRoll_Rule::kMaxHours * CRoll_Rule::kHour_ms,
                  "a cut roll value is not the longest period");
      break;
    case CRoll_Rule::eParse_Ok:
      fuzz::Check(
          rule.Kind() == CRoll_Rule::eNone || rule.Kind() == CRoll_Rule::eTimes || rule.Value() > 0,
          "a size or period rule of 0");
      fuzz::Check(rule.Kind() != CRoll_Rule::eTimes || rule.Times().Count() > 0,
                  "a times rule without times");
      break;
  }
  // Checking the clock against the rule never fails, whatever the two looks at it.
  if (rule.Kind() == CRoll_Rule::eTimes && size >= 2)
    rule.Time_Passed(data[0] * 400u, data[size - 1] * 400u);

  for (uint64_t cap : {kPool_File_Cap, kPool_Text_Cap}) {
    sPool_Plan plan = Plan_Pool(pool.c_str(), cap);
    if (plan.buffer_size < kPool_Min_Buffer) continue;
    fuzz::Check((plan.buffer_size & (plan.buffer_size - 1)) == 0 && plan.buffer_size <= 131072,
                "a buffer size that is no power of two up to 128 KiB");
    fuzz::Check(plan.buffer_count >= 3, "fewer than three buffers");
    fuzz::Check(static_cast<uint64_t>(plan.buffer_size) * plan.buffer_count <= cap,
                "a pool beyond its cap");
  }
  return 0;
}

#include "trace/decode/trace_descriptor.h"

#include <stdlib.h>
#include <string.h>

#include <new>

#include "trace/base/memory_budget.h"
#include "trace/base/utf.h"
#include "trace/format/trace_format.h"

namespace {

// Length of the zero-terminated text at `text`, at most up to `end` (where it is cut).
uint32_t Bounded_Length(const uint8_t* text, const uint8_t* end) {
  const void* zero = memchr(text, 0, static_cast<size_t>(end - text));
  return static_cast<uint32_t>((zero ? static_cast<const uint8_t*>(zero) : end) - text);
}

}  // namespace

uint64_t CTraceDescriptor::Cost(const uint8_t* record, uint32_t size) {
  constexpr uint64_t kBlock = CMemory_Budget::kNode_Overhead;
  uint64_t cost = sizeof(CTraceDescriptor) + sizeof(CFormatter) + 3 * kBlock + size + 4;
  if (!record || size < sizeof(sTRTrace_Format)) return cost;
  sTRTrace_Format fixed;
  memcpy(&fixed, record, sizeof(fixed));
  const uint64_t table_end = sizeof(sTRTrace_Format) + 2ull * fixed.args_count;
  if (table_end > size) return cost;
  // The format's units: each becomes at most 3 UTF-8 bytes, kept once as the format text and
  // at most once more as the segments' literals; every '%' may start one segment.
  uint64_t units = 0;
  uint64_t percents = 0;
  for (uint64_t at = table_end; at + 2 <= size; at += 2) {
    const uint16_t unit = static_cast<uint16_t>(record[at] | (record[at + 1] << 8));
    if (unit == 0) break;
    ++units;
    percents += unit == '%';
  }
  cost += units * 6 + 8 + kBlock;
  // A segment: its node, its literal block and its floating-point conversion text.
  cost += (percents + 1) * (sizeof(CFormatter::sArg) + 2 * kBlock + 32);
  return cost;
}

CTraceDescriptor* CTraceDescriptor::Create(const uint8_t* record, uint32_t size,
                                           CFormatter::sBuffer* digits) {
  if (!record || size < sizeof(sTRTrace_Format)) return nullptr;
  sTRTrace_Format fixed;
  memcpy(&fixed, record, sizeof(fixed));
  uint64_t table_end = sizeof(sTRTrace_Format) + 2ull * fixed.args_count;
  if (table_end > size) return nullptr;

  CTraceDescriptor* desc = new (std::nothrow) CTraceDescriptor();
  if (!desc) return nullptr;
  // The copy gets four extra zero bytes so that every text in it is terminated even when the
  // record was cut.
  desc->m_Copy = static_cast<uint8_t*>(calloc(1, size + 4ull));
  if (!desc->m_Copy) {
    delete desc;
    return nullptr;
  }
  memcpy(desc->m_Copy, record, size);
  desc->m_CopySize = size;
  desc->m_Id = fixed.id;
  desc->line = fixed.line;
  desc->module_id = fixed.module_id;
  desc->m_Args = desc->m_Copy + sizeof(sTRTrace_Format);
  desc->m_ArgsCount = fixed.args_count;

  const uint8_t* end = desc->m_Copy + size;
  const uint8_t* p = desc->m_Copy + table_end;
  // UTF-16 format: copy its units to an aligned block, then convert.
  uint32_t units = 0;
  while (p + 2 * (units + 1) <= end && (p[2 * units] | p[2 * units + 1]) != 0) ++units;
  uint16_t* wide = static_cast<uint16_t*>(malloc((units + 1) * sizeof(uint16_t)));
  // Each UTF-16 unit becomes at most 3 bytes (a surrogate pair 4 bytes for two units).
  uint32_t utf8_size = units * 3 + 8;
  desc->m_Format = static_cast<char*>(malloc(utf8_size));
  if (!wide || !desc->m_Format) {
    free(wide);
    delete desc;
    return nullptr;
  }
  memcpy(wide, p, units * sizeof(uint16_t));
  wide[units] = 0;
  if (Convert_UTF16_To_UTF8(wide, desc->m_Format, utf8_size) < 0) desc->m_Format[0] = '\0';
  free(wide);
  p += 2 * (units + 1);
  if (p > end) p = end;

  desc->file_path = reinterpret_cast<const char*>(p);
  desc->file_path_length = Bounded_Length(p, end);
  p += desc->file_path_length + 1;
  if (p > end) p = end;
  desc->function = reinterpret_cast<const char*>(p);
  desc->function_length = Bounded_Length(p, end);

  const char* name = desc->file_path;
  const char* slash = strrchr(desc->file_path, '\\');
  if (!slash) slash = strrchr(desc->file_path, '/');
  if (slash) name = slash + 1;
  desc->file_name = name;
  desc->file_name_length = desc->file_path_length - static_cast<uint64_t>(name - desc->file_path);

  desc->m_Formatter =
      new (std::nothrow) CFormatter(desc->m_Format, desc->m_Args, desc->m_ArgsCount, digits);
  if (!desc->m_Formatter) {
    delete desc;
    return nullptr;
  }
  return desc;
}

CTraceDescriptor::~CTraceDescriptor() {
  delete m_Formatter;
  free(m_Format);
  free(m_Copy);
}

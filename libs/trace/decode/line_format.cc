#include "trace/decode/line_format.h"

#include <stdarg.h>
#include <stdlib.h>
#include <string.h>

#include <new>

#include "trace/base/psprint.h"

namespace {

using sLog = CLineFormat::sLog;

// Literals up to this length are copied as one fixed-size block.
constexpr uint64_t kLiteral_Block = 16;

// Writes `value` in decimal at `w`, padded with leading zeros to `width` characters, and returns
// the end of the text. The digits go straight to their place, two at a time, from the last one.
char* Put_Decimal(char* w, uint64_t value, int width) {
  static const char kPairs[] =
      "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
      "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
      "8081828384858687888990919293949596979899";
  int count = 1;
  for (uint64_t rest = value; rest >= 10; rest /= 10) ++count;
  char* const end = w + (count > width ? count : width);
  char* p = end;
  while (value >= 100) {
    uint32_t pair = static_cast<uint32_t>(value % 100);
    value /= 100;
    p -= 2;
    memcpy(p, kPairs + pair * 2, 2);
  }
  if (value >= 10) {
    p -= 2;
    memcpy(p, kPairs + value * 2, 2);
  } else {
    *--p = static_cast<char>('0' + value);
  }
  while (p > w) *--p = '0';
  return end;
}

constexpr const char* kLevelNames[] = {"TRACE", "DEBUG", "INFO ", "WARN.", "ERROR", "PANIC"};

void Element_cn(CLineFormat* f, const sLog* l) {
  f->Append_Text(l->channel_name, l->channel_name_length);
}
void Element_id(CLineFormat* f, const sLog* l) {
  f->Append_Fields({{static_cast<int32_t>(l->format_id), 4, 0}});
}
void Element_ix(CLineFormat* f, const sLog* l) {
  f->Append_Fields({{static_cast<int64_t>(l->sequence), 4, 0}});
}
// Calendar and sub-second fields are always in range, so they render as "%02d" and the like.
void Element_tf(CLineFormat* f, const sLog* l) { f->Append_Full_Time(l); }
void Element_tm(CLineFormat* f, const sLog* l) {
  f->Append_Fields({{l->hour, 2, ':'},
                    {l->minute, 2, ':'},
                    {l->second, 2, '.'},
                    {l->millisecond, 3, '\''},
                    {l->microsecond, 3, '"'},
                    {l->hundred_ns, 1, 0}});
}
void Element_ts(CLineFormat* f, const sLog* l) {
  f->Append_Fields({{l->minute, 2, ':'},
                    {l->second, 2, '.'},
                    {l->millisecond, 3, '\''},
                    {l->microsecond, 3, '"'},
                    {l->hundred_ns, 1, 0}});
}
void Element_td(CLineFormat* f, const sLog* l) {
  uint64_t d = l->since_start;
  uint64_t whole = d - d % 10000;
  f->Append_Number("+%06d.%03d'%03d\"%d", static_cast<int>(whole / 10000000),
                   static_cast<int>((whole % 10000000) / 10000), static_cast<int>((d % 10000) / 10),
                   static_cast<int>(d % 10));
}
void Element_tc(CLineFormat* f, const sLog* l) {
  f->Append_Number("%019lld", static_cast<long long>(l->absolute_time));
}
void Element_lv(CLineFormat* f, const sLog* l) { f->Append_Level(l->level); }
void Element_ti(CLineFormat* f, const sLog* l) { f->Append_Hex(l->thread_id, 5); }
void Element_tn(CLineFormat* f, const sLog* l) {
  f->Append_Text(l->thread_name, l->thread_name_length);
}
void Element_cc(CLineFormat* f, const sLog* l) {
  f->Append_Fields({{static_cast<int32_t>(l->cpu), 2, 0}});
}
void Element_mi(CLineFormat* f, const sLog* l) {
  f->Append_Fields({{static_cast<int32_t>(l->module_id), 3, 0}});
}
void Element_mn(CLineFormat* f, const sLog* l) {
  f->Append_Text(l->module_name, l->module_name_length);
}
void Element_ff(CLineFormat* f, const sLog* l) {
  if (l->descriptor) f->Append_Text(l->descriptor->file_path, l->descriptor->file_path_length);
}
void Element_fs(CLineFormat* f, const sLog* l) {
  if (l->descriptor) f->Append_Text(l->descriptor->file_name, l->descriptor->file_name_length);
}
void Element_fl(CLineFormat* f, const sLog* l) {
  if (l->descriptor) f->Append_Fields({{static_cast<int32_t>(l->descriptor->line), 3, 0}});
}
void Element_fn(CLineFormat* f, const sLog* l) {
  if (l->descriptor) f->Append_Text(l->descriptor->function, l->descriptor->function_length);
}
void Element_ms(CLineFormat* f, const sLog* l) { f->Append_Text(l->message, l->message_length); }

struct sElementKey {
  char key[3];
  CLineFormat::tElement element;
};

constexpr sElementKey kElements[] = {
    {"cn", Element_cn}, {"id", Element_id}, {"ix", Element_ix}, {"tf", Element_tf},
    {"tm", Element_tm}, {"ts", Element_ts}, {"td", Element_td}, {"tc", Element_tc},
    {"lv", Element_lv}, {"ti", Element_ti}, {"tn", Element_tn}, {"cc", Element_cc},
    {"mi", Element_mi}, {"mn", Element_mn}, {"ff", Element_ff}, {"fs", Element_fs},
    {"fl", Element_fl}, {"fn", Element_fn}, {"ms", Element_ms},
};

}  // namespace

CLineFormat::~CLineFormat() {
  Clear_Nodes();
  free(m_Line);
}

void CLineFormat::Clear_Nodes() {
  while (m_Head) {
    sNode* next = m_Head->next;
    free(m_Head->literal);
    delete m_Head;
    m_Head = next;
  }
  m_Tail = nullptr;
}

bool CLineFormat::Init(const char* format_template) {
  if (ParseFormat(format_template) != 0 && ParseFormat(kDefaultFormat) != 0) return false;
  if (!m_Line) {
    m_Line = static_cast<char*>(malloc(kInitialLineCapacity));
    if (!m_Line) return false;
    m_Capacity = kInitialLineCapacity;
  }
  return true;
}

CLineFormat::tElement CLineFormat::GetFormatFunction(const char* key) {
  if (!key || !key[0] || !key[1]) return nullptr;
  for (const sElementKey& entry : kElements) {
    if (entry.key[0] == key[0] && entry.key[1] == key[1]) return entry.element;
  }
  return nullptr;
}

CLineFormat::sNode* CLineFormat::AddFormatNode(const char* literal, uint64_t length,
                                               tElement element) {
  sNode* node = new (std::nothrow) sNode{nullptr, 0, element, nullptr};
  if (!node) return nullptr;
  if (length) {
    // At least kLiteral_Block bytes, zero-filled after the text: Build copies a short literal
    // as one fixed-size block.
    const uint64_t allocated = length + 1 > kLiteral_Block ? length + 1 : kLiteral_Block;
    node->literal = static_cast<char*>(calloc(allocated, 1));
    if (!node->literal) {
      delete node;
      return nullptr;
    }
    memcpy(node->literal, literal, length);
    node->literal_length = length;
  }
  if (m_Tail) {
    m_Tail->next = node;
  } else {
    m_Head = node;
  }
  m_Tail = node;
  return node;
}

uint32_t CLineFormat::ParseFormat(const char* format_template) {
  Clear_Nodes();
  if (!format_template || !*format_template) return eDecode_Failed;
  const char* literal = format_template;
  bool found = false;
  const char* p = format_template;
  while (*p) {
    tElement element = nullptr;
    if (*p == '%' && p[1] && p[2] && (element = GetFormatFunction(p + 1)) != nullptr) {
      if (!AddFormatNode(literal, static_cast<uint64_t>(p - literal), element)) {
        Clear_Nodes();
        return eDecode_Failed;
      }
      found = true;
      p += 3;
      literal = p;
      continue;
    }
    ++p;
  }
  if (!found) {
    Clear_Nodes();
    return eDecode_Failed;
  }
  if (p > literal && !AddFormatNode(literal, static_cast<uint64_t>(p - literal), nullptr)) {
    Clear_Nodes();
    return eDecode_Failed;
  }
  return eDecode_Ok;
}

bool CLineFormat::Reserve(uint64_t free_bytes, uint64_t grow_by) {
  if (m_Line && m_Capacity - m_End > free_bytes) return true;
  char* bigger = static_cast<char*>(realloc(m_Line, m_Capacity + grow_by));
  if (!bigger) return false;
  m_Line = bigger;
  m_Capacity += grow_by;
  return m_Capacity - m_End > free_bytes;
}

void CLineFormat::Append_Text(const char* text, uint64_t length) {
  if (!text || !length) return;
  if (!Reserve(length + 271, length + 272)) return;
  memcpy(m_Line + m_End, text, length);
  m_End += length;
}

void CLineFormat::Append_Number(const char* format, ...) {
  if (!Reserve(320, 320)) return;
  va_list args;
  va_start(args, format);
  int n = PSPrintV(m_Line + m_End, m_Capacity - m_End, format, args);
  va_end(args);
  if (n > 0 && static_cast<uint64_t>(n) < m_Capacity - m_End) m_End += static_cast<uint64_t>(n);
}

void CLineFormat::Append_Fields(std::initializer_list<sField> fields) {
  if (!Reserve(320, 320)) return;
  char* w = m_Line + m_End;
  for (const sField& field : fields) {
    // Same text as printf's "%0<digits>d" (or "%0<digits>lld"): sign, zeros to the width, digits.
    uint64_t magnitude = field.value < 0 ? 0 - static_cast<uint64_t>(field.value)
                                         : static_cast<uint64_t>(field.value);
    int width = field.digits;
    if (field.value < 0) {
      *w++ = '-';
      --width;
    }
    w = Put_Decimal(w, magnitude, width);
    if (field.separator) *w++ = field.separator;
  }
  m_End = static_cast<uint64_t>(w - m_Line);
}

void CLineFormat::Append_Full_Time(const sLog* l) {
  // "dd.mm.yyyy hh:mm:ss." changes once a second: it is rendered once and reused.
  uint64_t key =
      (((((static_cast<uint64_t>(l->year) * 13 + l->month) * 32 + l->day) * 24 + l->hour) * 60 +
        l->minute) *
           61 +
       l->second);
  if (key != m_DateKey || m_DateLength == 0) {
    uint64_t end = m_End;
    if (!Reserve(320, 320)) return;
    Append_Fields({{l->day, 2, '.'},
                   {l->month, 2, '.'},
                   {l->year, 4, ' '},
                   {l->hour, 2, ':'},
                   {l->minute, 2, ':'},
                   {l->second, 2, '.'}});
    uint64_t length = m_End - end;
    if (length > sizeof(m_Date)) return;
    memcpy(m_Date, m_Line + end, length);
    m_DateLength = static_cast<uint32_t>(length);
    m_DateKey = key;
  } else {
    if (!Reserve(320, 320)) return;
    memcpy(m_Line + m_End, m_Date, m_DateLength);
    m_End += m_DateLength;
  }
  Append_Fields({{l->millisecond, 3, '\''}, {l->microsecond, 3, '"'}, {l->hundred_ns, 1, 0}});
}

void CLineFormat::Append_Hex(uint32_t value, int digits) {
  if (!Reserve(320, 320)) return;
  static const char kDigits[] = "0123456789ABCDEF";
  char text[8];
  int count = 0;
  do {
    text[count++] = kDigits[value & 0xF];
    value >>= 4;
  } while (value);
  char* w = m_Line + m_End;
  *w++ = '0';
  *w++ = 'x';
  for (int i = count; i < digits; ++i) *w++ = '0';
  while (count) *w++ = text[--count];
  m_End = static_cast<uint64_t>(w - m_Line);
}

void CLineFormat::Append_Level(uint32_t level) {
  if (!Reserve(277, 277)) return;
  const char* name = kLevelNames[level > 5 ? 5 : level];
  memcpy(m_Line + m_End, name, 5);
  m_End += 5;
}

const char* CLineFormat::Build(const sLog* log, uint64_t* length) {
  m_End = 0;
  if (!m_Line) {
    if (length) *length = 0;
    return "";
  }
  for (const sNode* node = m_Head; node; node = node->next) {
    if (node->literal_length && Reserve(node->literal_length + 255, node->literal_length + 256)) {
      // The reserve leaves far more than a block free, so a short literal goes as one block;
      // the bytes after it are overwritten by what follows or lie past the end.
      if (node->literal_length <= kLiteral_Block) {
        memcpy(m_Line + m_End, node->literal, kLiteral_Block);
      } else {
        memcpy(m_Line + m_End, node->literal, node->literal_length);
      }
      m_End += node->literal_length;
    }
    if (node->element) node->element(this, log);
  }
  m_Line[m_End] = '\0';
  if (length) *length = m_End;
  return m_Line;
}

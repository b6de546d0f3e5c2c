// CLineFormat: the line template of the text outputs ("/TR.Format=") and the line buffer it
// renders into. A template is literal text with elements, a '%' followed by a two-letter key
// (case-sensitive): cn id ix tf tm ts td tc lv ti tn cc mi mn ff fs fl fn ms. A '%' that is not
// followed by a key is ordinary text ("%%" is no escape). Parsing turns the template into a
// list of nodes (literal text, then at most one element); Build runs them in order.
//
// Thread-safety: none; used by the one thread that renders lines.
#ifndef TRACE_DECODE_LINE_FORMAT_H_
#define TRACE_DECODE_LINE_FORMAT_H_

#include <stdint.h>

#include <initializer_list>

#include <mqtt-wrapper/TRTextSink.h>

#include "trace/decode/decode_result.h"

class CLineFormat {
 public:
  using sLog = CClTextSink::sLog;
  // Appends one element of `log` to the line buffer of `format`.
  using tElement = void (*)(CLineFormat* format, const sLog* log);

  struct sNode {
    char* literal;  // owned, zero-terminated; null when empty
    uint64_t literal_length;
    tElement element;  // null for a trailing literal
    sNode* next;
  };

  static constexpr const char* kDefaultFormat =
      "%cn #%ix [%tf] %lv Tr:#%ti:%tn CPU:%cc Md:%mn {%fs:%fl:%fn} %ms";
  static constexpr uint64_t kInitialLineCapacity = 4096;

  CLineFormat() = default;
  ~CLineFormat();

  CLineFormat(const CLineFormat&) = delete;
  CLineFormat& operator=(const CLineFormat&) = delete;

  // Uses `format_template` when it parses with at least one element, the default format
  // otherwise, and allocates the line buffer. False when memory runs out.
  bool Init(const char* format_template);

  // Replaces the nodes by those of `format_template`: eDecode_Ok when at least one element was
  // found; eDecode_Failed for a null or empty template, a template without elements, or a failed
  // allocation (the previous nodes are then gone too).
  uint32_t ParseFormat(const char* format_template);
  // Appends a node (no literal when `length` is 0); null when it cannot be allocated.
  sNode* AddFormatNode(const char* literal, uint64_t length, tElement element);
  // The element of the two letters at `key`, or null.
  static tElement GetFormatFunction(const char* key);

  // Renders `log` as one zero-terminated line; returns its start and stores its length.
  const char* Build(const sLog* log, uint64_t* length);

  // Used by the element functions. Each makes room first; when the buffer cannot grow the
  // element is skipped, so nothing is ever written beyond the buffer.
  void Append_Text(const char* text, uint64_t length);
  void Append_Number(const char* format, ...) __attribute__((format(printf, 2, 3)));
  void Append_Level(uint32_t level);
  // One zero-padded decimal field ("%0<digits>d") followed by `separator` unless it is 0.
  struct sField {
    int64_t value;
    int digits;
    char separator;
  };
  // Fixed-width fields without going through printf; at most 12 fields per call.
  void Append_Fields(std::initializer_list<sField> fields);
  // "%02d.%02d.%04d %02d:%02d:%02d.%03d'%03d\"%d" of the calendar and sub-second fields.
  void Append_Full_Time(const sLog* log);
  // "0x" and at least `digits` upper-case hexadecimal digits ("0x%05X").
  void Append_Hex(uint32_t value, int digits);

 private:
  bool Reserve(uint64_t free_bytes, uint64_t grow_by);
  void Clear_Nodes();

  sNode* m_Head = nullptr;  // owned nodes in template order
  sNode* m_Tail = nullptr;
  char* m_Line = nullptr;  // line buffer, owned
  uint64_t m_End = 0;      // bytes used
  uint64_t m_Capacity = 0;
  char m_Date[32] = {};       // rendered date and time up to the seconds, with its separator
  uint32_t m_DateLength = 0;  // 0: nothing cached
  uint64_t m_DateKey = 0;     // calendar fields m_Date was rendered from
};

#endif  // TRACE_DECODE_LINE_FORMAT_H_

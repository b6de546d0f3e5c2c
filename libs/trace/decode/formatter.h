// CFormatter: renders the packed arguments of one data record as text, following the printf
// conventions of the call site's format string but reading every value by the argument table
// (one type byte and one size byte per argument) instead of from a variable argument list.
//
// The format string is parsed once, at construction, into segments (literal text followed by at
// most one conversion). Format() only walks the segments: literals are copied, integers are
// rendered through the digits buffer without any allocation, characters and strings are copied or
// converted to UTF-8, and only floating-point conversions go through PSPrint.
//
// Reading is bounded: Format() never reads beyond the argument bytes it is given. A value cut by
// the end of the record reads as zero; a string without its terminator ends at the record's end.
//
// Thread-safety: a formatter and its digits buffer belong to one thread (the text sink's worker,
// or a reader tool's thread); only the digits buffer's reference count is atomic, so the buffer
// may be shared by all formatters of one channel.
#ifndef TRACE_DECODE_FORMATTER_H_
#define TRACE_DECODE_FORMATTER_H_

#include <stdint.h>

#include <atomic>

#include "trace/format/trace_format.h"

class CFormatter {
 public:
  // Conversion classes of a segment.
  enum eClass : uint32_t {
    eFloat = 0,
    eString = 1,
    eChar = 2,
    eSigned = 3,
    eUnsigned = 4,
    eHexLower = 5,
    eHexUpper = 6,
    eOctal = 7,
    ePointer = 8,
    eBinary = 9,
    eLiteral = 10,  // final segment without conversion
  };

  // Scratch space for integer digits, written backwards from its end. Reference counted so that
  // all formatters of one channel share one buffer.
  class sBuffer {
   public:
    static constexpr uint32_t kCapacity = 256;

    sBuffer();
    virtual uint32_t Add_Ref();
    // Deletes the buffer when the count reaches 0; returns the new count.
    virtual uint32_t Release();

    sBuffer(const sBuffer&) = delete;
    sBuffer& operator=(const sBuffer&) = delete;

    char* Data() { return m_Data; }
    uint32_t Capacity() const { return kCapacity; }

   protected:
    virtual ~sBuffer();

   private:
    std::atomic<uint32_t> m_RefCount;  // 1 after construction
    char* m_Data;                      // kCapacity bytes, owned
  };

  // One literal followed by at most one conversion.
  struct sArg {
    uint32_t left;       // '-' flag
    uint32_t plus;       // '+' flag
    uint32_t alternate;  // '#' flag; forced on for pointers
    char padding;        // ' ' or '0'
    char* literal;       // owned, "%%" reduced to "%"; null when empty
    uint32_t literal_length;
    uint32_t type;       // eClass
    int32_t width;       // 0 = not given, -1 = '*'
    int32_t precision;   // 0 = not given, -1 = '*'
    char* float_format;  // owned conversion text for eFloat: flags, cut width and precision, letter
    sArg* next;
  };

  // Parses `format` (UTF-8, may be null) against the argument table `args` (`count` pairs of type
  // byte and size byte; the table must outlive the formatter). `digits` is shared (a reference is
  // taken); null makes the formatter use a buffer of its own. Never fails: a conversion count that
  // differs from `count` makes every message read "Format string error".
  CFormatter(const char* format, const uint8_t* args, uint32_t count, sBuffer* digits);
  virtual ~CFormatter();

  CFormatter(const CFormatter&) = delete;
  CFormatter& operator=(const CFormatter&) = delete;

  // Writes the message for the packed argument bytes `values` (`values_size` bytes) into `out`
  // (`capacity` bytes) and returns its length without the terminator. Returns -1 when the text
  // does not fit with the margins it keeps (the text that fitted is written and zero-terminated); the
  // caller grows the buffer and calls again. A string conversion whose argument is not a string
  // fails with -1 on every call, so callers must bound their retries.
  int32_t Format(char* out, uint32_t capacity, const uint8_t* values, uint32_t values_size);

  bool Has_Error() const { return m_Error; }
  // The last Format returned -1 because a string conversion met an argument that is not a
  // string (a larger buffer would not help), not because the text ran out of room.
  bool Unrenderable() const { return m_Unrenderable; }

  // Largest width or precision taken from a '*' argument; larger values are cut to it.
  static constexpr int32_t kMaxStarValue = 1024;
  // Largest width or precision written in the format string, for every conversion (floating
  // point included: the text handed to PSPrint carries the cut values). Together with the
  // bounded message buffer of the caller this bounds the work one data record can cause.
  static constexpr int32_t kMaxLiteralWidth = 4096;

 private:
  struct sReader;

  void Parse(const char* format);
  bool Append_Segment(const char* literal, uint32_t literal_length, sArg* arg);
  int32_t Format_Integer(const sArg* arg, uint32_t type, uint64_t raw, int32_t width,
                         int32_t precision, char* out, uint32_t remaining);

  sArg* m_Head;  // owned segments in format order
  sArg* m_Tail;
  sBuffer* m_Digits;      // one reference held
  const uint8_t* m_Args;  // argument table (type, size) pairs; not owned
  uint32_t m_ArgsCount;
  bool m_Error;  // conversions do not match the argument count
  bool m_Unrenderable = false;  // see Unrenderable()
};

#endif  // TRACE_DECODE_FORMATTER_H_

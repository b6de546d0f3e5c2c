#include "trace/decode/formatter.h"

#include <stdlib.h>
#include <string.h>

#include <string>

#include "trace/base/psprint.h"
#include "trace/base/utf.h"

namespace {

// Bytes of a numeric slot that carry the value, by argument type (0: none).
uint32_t Natural_Width(uint8_t type) {
  switch (type) {
    case eTRArg_Char:
      return 1;
    case eTRArg_UTF16_Char:
    case eTRArg_Int16:
      return 2;
    case eTRArg_Int32:
    case eTRArg_WChar:
      return 4;
    case eTRArg_Int64:
    case eTRArg_Double:
    case eTRArg_IntMax:
      return 8;
    default:
      return 0;
  }
}

// Terminator width of an inline string argument, 0 for other types.
uint32_t String_Unit(uint8_t type) {
  switch (type) {
    case eTRArg_UTF16_String:
      return 2;
    case eTRArg_String_H:
    case eTRArg_String:
      return 1;
    case eTRArg_WString:
      return 4;
    default:
      return 0;
  }
}

int32_t Clamp_Star(int64_t value) {
  if (value < 0) return 0;
  if (value > CFormatter::kMaxStarValue) return CFormatter::kMaxStarValue;
  return static_cast<int32_t>(value);
}

bool Class_Of(char letter, uint32_t* type) {
  switch (letter) {
    case 'd':
    case 'i':
      *type = CFormatter::eSigned;
      return true;
    case 'u':
      *type = CFormatter::eUnsigned;
      return true;
    case 'x':
      *type = CFormatter::eHexLower;
      return true;
    case 'X':
      *type = CFormatter::eHexUpper;
      return true;
    case 'o':
      *type = CFormatter::eOctal;
      return true;
    case 'p':
      *type = CFormatter::ePointer;
      return true;
    case 'b':
      *type = CFormatter::eBinary;
      return true;
    case 'c':
    case 'C':
      *type = CFormatter::eChar;
      return true;
    case 's':
    case 'S':
      *type = CFormatter::eString;
      return true;
    case 'e':
    case 'f':
    case 'g':
    case 'E':
    case 'G':
    case 'a':
    case 'A':
      *type = CFormatter::eFloat;
      return true;
    default:
      return false;
  }
}

// Reads the decimal digits at *p (advancing past all of them) and returns their value cut to
// CFormatter::kMaxLiteralWidth.
int32_t Parse_Digits(const char** p) {
  int64_t value = 0;
  while (**p >= '0' && **p <= '9') {
    if (value <= CFormatter::kMaxLiteralWidth) value = value * 10 + (**p - '0');
    ++*p;
  }
  return static_cast<int32_t>(value > CFormatter::kMaxLiteralWidth ? CFormatter::kMaxLiteralWidth
                                                                   : value);
}

char* Copy_Text(const char* text, size_t length) {
  char* copy = static_cast<char*>(malloc(length + 1));
  if (copy) {
    memcpy(copy, text, length);
    copy[length] = '\0';
  }
  return copy;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Digits buffer

CFormatter::sBuffer::sBuffer() : m_RefCount(1), m_Data(new char[kCapacity]) {}

CFormatter::sBuffer::~sBuffer() { delete[] m_Data; }

uint32_t CFormatter::sBuffer::Add_Ref() { return ++m_RefCount; }

uint32_t CFormatter::sBuffer::Release() {
  uint32_t count = --m_RefCount;
  if (count == 0) delete this;
  return count;
}

// ---------------------------------------------------------------------------------------------
// Argument reader: walks the packed values in table order, never beyond `end`.

struct CFormatter::sReader {
  const uint8_t* cur;
  const uint8_t* end;
  const uint8_t* table;
  uint32_t count;
  uint32_t index;

  void Skip(uint32_t bytes) {
    size_t left = static_cast<size_t>(end - cur);
    cur += bytes < left ? bytes : left;
  }

  // Next argument as an unsigned value of its natural width (or of its whole slot for a pointer
  // read by 'p'). String arguments are stepped over and read as 0.
  uint64_t Numeric(uint8_t* type, bool full_pointer) {
    *type = 0;
    if (index >= count) return 0;
    *type = table[index * 2];
    uint32_t size = table[index * 2 + 1];
    ++index;
    if (String_Unit(*type) != 0) {
      uint32_t length = 0;
      Skip_String(*type, size, &length);
      return 0;
    }
    uint32_t width = Natural_Width(*type);
    if (full_pointer && *type == eTRArg_Pointer) width = 8;
    if (width > size) width = size;
    size_t left = static_cast<size_t>(end - cur);
    if (width > left) width = static_cast<uint32_t>(left);
    uint64_t value = 0;
    for (uint32_t i = 0; i < width; ++i) value |= static_cast<uint64_t>(cur[i]) << (8 * i);
    Skip(size);
    return value;
  }

  // Next argument as a string: returns its first byte and its length in bytes (without the
  // terminator), or null with *type set when the argument is not a string.
  const uint8_t* String(uint8_t* type, uint32_t* length) {
    *type = 0;
    *length = 0;
    if (index >= count) return nullptr;
    *type = table[index * 2];
    uint32_t size = table[index * 2 + 1];
    if (String_Unit(*type) == 0) {
      uint8_t ignored;
      Numeric(&ignored, false);
      return nullptr;
    }
    ++index;
    return Skip_String(*type, size, length);
  }

  const uint8_t* Skip_String(uint8_t type, uint32_t size, uint32_t* length) {
    uint32_t unit = String_Unit(type);
    const uint8_t* start = cur;
    const uint8_t* p = cur;
    while (static_cast<size_t>(end - p) >= unit) {
      bool zero = true;
      for (uint32_t i = 0; i < unit; ++i) zero = zero && p[i] == 0;
      if (zero) break;
      p += unit;
    }
    *length = static_cast<uint32_t>(p - start);
    cur = p;
    Skip(unit);  // the terminator, when present
    Skip(size);
    return start;
  }
};

// ---------------------------------------------------------------------------------------------

CFormatter::CFormatter(const char* format, const uint8_t* args, uint32_t count, sBuffer* digits)
    : m_Head(nullptr),
      m_Tail(nullptr),
      m_Digits(digits),
      m_Args(args),
      m_ArgsCount(args ? count : 0),
      m_Error(false) {
  if (m_Digits) {
    m_Digits->Add_Ref();
  } else {
    m_Digits = new sBuffer();
  }
  Parse(format);
}

CFormatter::~CFormatter() {
  sArg* arg = m_Head;
  while (arg) {
    sArg* next = arg->next;
    free(arg->literal);
    free(arg->float_format);
    delete arg;
    arg = next;
  }
  m_Digits->Release();
}

bool CFormatter::Append_Segment(const char* literal, uint32_t literal_length, sArg* arg) {
  if (literal_length) {
    arg->literal = Copy_Text(literal, literal_length);
    if (!arg->literal) return false;
    arg->literal_length = literal_length;
  }
  if (m_Tail) {
    m_Tail->next = arg;
  } else {
    m_Head = arg;
  }
  m_Tail = arg;
  return true;
}

void CFormatter::Parse(const char* format) {
  if (!format) {
    m_Error = m_ArgsCount != 0;
    return;
  }
  static const char* const kModifiers[] = {"I64", "I32", "ll", "hh", "h", "w",
                                           "l",   "L",   "I",  "z",  "j", "t"};
  std::string literal;
  uint32_t needed = 0;
  const char* p = format;
  while (*p) {
    if (*p != '%') {
      literal += *p++;
      continue;
    }
    if (p[1] == '%') {
      literal += '%';
      p += 2;
      continue;
    }
    const char* start = p++;
    sArg arg{};
    arg.padding = ' ';
    for (bool more = true; more;) {
      switch (*p) {
        case '-':
          arg.left = 1;
          break;
        case '+':
          arg.plus = 1;
          break;
        case '#':
          arg.alternate = 1;
          break;
        case '0':
          arg.padding = '0';
          break;
        case ' ':
        case '\'':  // digit grouping is not supported; accepted and ignored
          break;
        default:
          more = false;
          continue;
      }
      ++p;
    }
    const char* flags_end = p;
    if (*p == '*') {
      arg.width = -1;
      ++p;
    } else if (*p >= '1' && *p <= '9') {
      arg.width = Parse_Digits(&p);
    }
    bool has_precision = false;
    if (*p == '.') {
      ++p;
      has_precision = true;
      if (*p == '*') {
        arg.precision = -1;
        ++p;
      } else {
        arg.precision = Parse_Digits(&p);
      }
    }
    for (const char* candidate : kModifiers) {
      size_t length = strlen(candidate);
      if (strncmp(p, candidate, length) == 0) {
        p += length;
        break;
      }
    }
    uint32_t type = 0;
    if (!Class_Of(*p, &type)) {
      // Not a conversion: its text stays literal and consumes nothing. A '%' that ends it starts
      // the next conversion.
      if (*p == '\0' || *p == '%') {
        literal.append(start, static_cast<size_t>(p - start));
      } else {
        literal.append(start, static_cast<size_t>(p + 1 - start));
        ++p;
      }
      continue;
    }
    ++p;
    arg.type = type;
    needed += 1 + (arg.width == -1 ? 1 : 0) + (arg.precision == -1 ? 1 : 0);
    if (type == ePointer) arg.alternate = 1;
    sArg* segment = new sArg(arg);
    if (type == eFloat) {
      // Rebuilt from the parsed parts rather than copied: the width and precision are the cut
      // values (the platform formatter would otherwise pad or expand to whatever the record
      // asks, billions of characters), and the length modifier is dropped because the value is
      // always passed as a double.
      std::string text(start, static_cast<size_t>(flags_end - start));
      if (arg.width == -1) {
        text += '*';
      } else if (arg.width > 0) {
        text += std::to_string(arg.width);
      }
      if (has_precision) {
        text += '.';
        text += arg.precision == -1 ? std::string("*") : std::to_string(arg.precision);
      }
      text += p[-1];
      segment->float_format = Copy_Text(text.data(), text.size());
    }
    if ((type == eFloat && !segment->float_format) ||
        !Append_Segment(literal.data(), static_cast<uint32_t>(literal.size()), segment)) {
      free(segment->float_format);
      free(segment->literal);
      delete segment;
      m_Error = true;
      return;
    }
    literal.clear();
  }
  if (!literal.empty()) {
    sArg* segment = new sArg{};
    segment->padding = ' ';
    segment->type = eLiteral;
    if (!Append_Segment(literal.data(), static_cast<uint32_t>(literal.size()), segment)) {
      delete segment;
      m_Error = true;
      return;
    }
  }
  m_Error = needed != m_ArgsCount;
}

int32_t CFormatter::Format_Integer(const sArg* arg, uint32_t type, uint64_t raw, int32_t width,
                                   int32_t precision, char* out, uint32_t remaining) {
  bool negative = false;
  uint64_t magnitude = raw;
  const char* prefix = "";
  if (arg->type == eSigned) {
    int64_t value;
    switch (type) {
      case eTRArg_Int32:
        value = static_cast<int32_t>(static_cast<uint32_t>(raw));
        break;
      case eTRArg_Int16:
        value = static_cast<int16_t>(static_cast<uint16_t>(raw));
        break;
      case eTRArg_Char:
        value = static_cast<int64_t>(raw & 0xFF);
        break;
      default:
        value = static_cast<int64_t>(raw);
        break;
    }
    if (value < 0) {
      negative = true;
      magnitude = 0 - static_cast<uint64_t>(value);
      prefix = "-";
    } else if (arg->plus) {
      prefix = "+";
    }
  } else if (arg->alternate) {
    switch (arg->type) {
      case eHexLower:
      case eHexUpper:
      case ePointer:
        prefix = "0x";
        break;
      case eOctal:
        prefix = "0";
        break;
      case eBinary:
        prefix = "b";
        break;
      default:
        break;
    }
  }
  (void)negative;
  uint32_t base = 10;
  const char* digit_set = "0123456789abcdef";
  switch (arg->type) {
    case eHexLower:
      base = 16;
      break;
    case eHexUpper:
    case ePointer:
      base = 16;
      digit_set = "0123456789ABCDEF";
      break;
    case eOctal:
      base = 8;
      break;
    case eBinary:
      base = 2;
      break;
    default:
      break;
  }
  char* digits_end = m_Digits->Data() + m_Digits->Capacity();
  char* digits = digits_end;
  switch (base) {
    case 10:
      do {
        *--digits = static_cast<char>('0' + magnitude % 10);
        magnitude /= 10;
      } while (magnitude);
      break;
    default: {
      // Powers of two: shifts instead of divisions.
      const uint32_t shift = base == 16 ? 4 : base == 8 ? 3 : 1;
      const uint64_t mask = base - 1;
      do {
        *--digits = digit_set[magnitude & mask];
        magnitude >>= shift;
      } while (magnitude);
      break;
    }
  }
  int32_t count = static_cast<int32_t>(digits_end - digits);
  int32_t prefix_length = static_cast<int32_t>(strlen(prefix));
  int32_t zeros = precision > count ? precision - count : 0;
  int32_t pad = width - count - zeros - prefix_length;
  if (pad < 0) pad = 0;
  int64_t total = static_cast<int64_t>(prefix_length) + zeros + pad + count;
  if (total + 8 >= remaining) return -1;
  char* w = out;
  if (pad && !arg->left && arg->padding == ' ') {
    memset(w, ' ', static_cast<size_t>(pad));
    w += pad;
  }
  for (int32_t i = 0; i < prefix_length; ++i) *w++ = prefix[i];
  if (pad && !arg->left && arg->padding == '0') {
    memset(w, '0', static_cast<size_t>(pad));
    w += pad;
  }
  if (zeros) {
    memset(w, '0', static_cast<size_t>(zeros));
    w += zeros;
  }
  if (pad && arg->left && arg->padding == '0') {
    memset(w, '0', static_cast<size_t>(pad));
    w += pad;
  }
  for (int32_t i = 0; i < count; ++i) *w++ = digits[i];
  if (pad && arg->left && arg->padding == ' ') {
    memset(w, ' ', static_cast<size_t>(pad));
    w += pad;
  }
  return static_cast<int32_t>(w - out);
}

int32_t CFormatter::Format(char* out, uint32_t capacity, const uint8_t* values,
                           uint32_t values_size) {
  m_Unrenderable = false;
  if (!out || capacity == 0) return -1;
  out[0] = '\0';
  if (m_Error) return PSPrint(out, capacity, "Format string error");
  sReader reader{values, values ? values + values_size : values, m_Args, m_ArgsCount, 0};
  uint32_t pos = 0;
  for (const sArg* arg = m_Head; arg; arg = arg->next) {
    if (arg->literal_length) {
      if (pos + arg->literal_length >= capacity) {
        const uint32_t room = capacity - pos - 1;
        memcpy(out + pos, arg->literal, room);
        out[pos + room] = '\0';
        return -1;
      }
      memcpy(out + pos, arg->literal, arg->literal_length);
      pos += arg->literal_length;
    }
    if (arg->type == eLiteral) continue;
    int32_t width = arg->width;
    int32_t precision = arg->precision;
    uint8_t type = 0;
    if (width == -1) {
      width = Clamp_Star(static_cast<int32_t>(static_cast<uint32_t>(reader.Numeric(&type, false))));
    }
    if (precision == -1) {
      precision =
          Clamp_Star(static_cast<int32_t>(static_cast<uint32_t>(reader.Numeric(&type, false))));
    }
    uint32_t remaining = capacity - pos;
    char* w = out + pos;
    switch (arg->type) {
      case eFloat: {
        uint64_t bits = reader.Numeric(&type, false);
        double value;
        memcpy(&value, &bits, sizeof(value));
        int n;
        if (arg->width == -1 && arg->precision == -1) {
          n = PSPrint(w, remaining, arg->float_format, width, precision, value);
        } else if (arg->width == -1) {
          n = PSPrint(w, remaining, arg->float_format, width, value);
        } else if (arg->precision == -1) {
          n = PSPrint(w, remaining, arg->float_format, precision, value);
        } else {
          n = PSPrint(w, remaining, arg->float_format, value);
        }
        if (n <= 0 || static_cast<uint32_t>(n) >= remaining) {
          out[pos] = '\0';
          return -1;
        }
        pos += static_cast<uint32_t>(n);
        break;
      }
      case eChar: {
        if (remaining < 7) {
          out[pos] = '\0';
          return -1;
        }
        uint64_t value = reader.Numeric(&type, false);
        int32_t n = 0;
        if (type == eTRArg_Char) {
          if (value & 0xFF) {  // a NUL character would end the text early; it is not written
            w[0] = static_cast<char>(value & 0xFF);
            n = 1;
          }
        } else if (type == eTRArg_UTF16_Char) {
          uint16_t units[3] = {static_cast<uint16_t>(value), 0, 0};
          n = value ? Convert_UTF16_To_UTF8(units, w, remaining) : 0;
        } else if (type == eTRArg_WChar) {
          uint32_t units[2] = {static_cast<uint32_t>(value), 0};
          n = value ? Convert_UTF32_To_UTF8(units, w, remaining) : 0;
        }
        if (n > 0) pos += static_cast<uint32_t>(n);
        break;
      }
      case eString: {
        uint32_t length = 0;
        const uint8_t* text = reader.String(&type, &length);
        if (!text) {
          out[pos] = '\0';
          m_Unrenderable = true;
          return -1;
        }
        if (type == eTRArg_String_H || type == eTRArg_String) {
          if (static_cast<uint64_t>(pos) + length + 8 >= capacity) {
            // What fits is kept, so that a caller that stops growing can cut the text there.
            const uint32_t room = capacity - pos > 9 ? capacity - pos - 9 : 0;
            memcpy(w, text, room);
            out[pos + room] = '\0';
            return -1;
          }
          memcpy(w, text, length);
          pos += length;
          break;
        }
        // Wide texts are converted one code point at a time from aligned copies of the units.
        char encoded[8];
        // Appends the `n` bytes in `encoded`; false when the line has no room left for them.
        auto append_encoded = [&](int32_t n) {
          if (static_cast<uint64_t>(pos) + static_cast<uint32_t>(n) + 8 >= capacity) return false;
          memcpy(out + pos, encoded, static_cast<size_t>(n));
          pos += static_cast<uint32_t>(n);
          return true;
        };
        if (type == eTRArg_UTF16_String) {
          uint32_t units = length / 2;
          for (uint32_t i = 0; i < units;) {
            uint16_t local[3] = {0, 0, 0};
            memcpy(&local[0], text + 2 * i, 2);
            uint32_t used = 1;
            if (local[0] >= 0xD800 && local[0] <= 0xDFFF && i + 1 < units) {
              memcpy(&local[1], text + 2 * (i + 1), 2);
              used = 2;
            }
            int32_t n = Convert_UTF16_To_UTF8(local, encoded, sizeof(encoded));
            i += used;
            if (n <= 0) continue;
            if (!append_encoded(n)) {
              out[pos] = '\0';
              return -1;
            }
          }
        } else {
          uint32_t units = length / 4;
          for (uint32_t i = 0; i < units; ++i) {
            uint32_t local[2] = {0, 0};
            memcpy(&local[0], text + 4 * i, 4);
            int32_t n = Convert_UTF32_To_UTF8(local, encoded, sizeof(encoded));
            if (n <= 0) continue;
            if (!append_encoded(n)) {
              out[pos] = '\0';
              return -1;
            }
          }
        }
        if (static_cast<uint64_t>(pos) + 8 >= capacity) {
          out[pos] = '\0';
          return -1;
        }
        break;
      }
      default: {
        uint64_t raw = reader.Numeric(&type, arg->type == ePointer);
        int32_t n = Format_Integer(arg, type, raw, width, precision, w, remaining);
        if (n < 0) {
          out[pos] = '\0';
          return -1;
        }
        pos += static_cast<uint32_t>(n);
        break;
      }
    }
  }
  out[pos] = '\0';
  return static_cast<int32_t>(pos);
}

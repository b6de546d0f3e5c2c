#include "trace/channel/trace_desc.h"

#include <string.h>

#include "trace/base/utf.h"

namespace {

enum eModifier {
  eMod_None,
  eMod_I64,
  eMod_I32,
  eMod_LongLong,
  eMod_Char,
  eMod_Short,
  eMod_Long,
  eMod_Size,
  eMod_Wide,
  eMod_IntMax,
};

struct sModifier {
  const char* text;
  uint32_t length;
  eModifier modifier;
};

// Matched in this order; the first entry whose characters all match wins.
constexpr sModifier kModifiers[] = {
    {"I64", 3, eMod_I64}, {"I32", 3, eMod_I32}, {"ll", 2, eMod_LongLong}, {"hh", 2, eMod_Char},
    {"h", 1, eMod_Short}, {"l", 1, eMod_Long},  {"I", 1, eMod_Size},      {"z", 1, eMod_Size},
    {"t", 1, eMod_Size},  {"w", 1, eMod_Wide},  {"j", 1, eMod_IntMax},
};

uint8_t Integer_Type(eModifier modifier) {
  switch (modifier) {
    case eMod_I64:
    case eMod_LongLong:
    case eMod_Long:
    case eMod_Size:
      return eTRArg_Int64;
    case eMod_Short:
      return eTRArg_Int16;
    case eMod_Char:
      return eTRArg_Char;
    case eMod_IntMax:
      return eTRArg_IntMax;
    case eMod_None:
    case eMod_I32:
    case eMod_Wide:
      break;
  }
  return eTRArg_Int32;
}

constexpr uint32_t kArgs_Growth = 16;

size_t Text_Size(const char* text) { return text ? strlen(text) + 1 : 1; }

}  // namespace

CTRTrace_Desc::CTRTrace_Desc(CMemoryManager* arena, uint16_t id, uint16_t line, uint16_t module_id,
                             const char* file, const char* function, const char** format,
                             const uint64_t* key)
    : m_ID(id), m_Module_ID(module_id), m_Key{key[0], key[1]} {
  if (!format || !*format) return;
  int64_t count = Parse(arena, *format);
  if (count < 0) return;
  const sTRTrace_Arg* parsed =
      static_cast<const sTRTrace_Arg*>(arena->Get(CMemoryManager::eBuffer_Arguments));
  m_Initialized = Build(arena, parsed, static_cast<uint32_t>(count), *format, file, function, line);
}

CTRTrace_Desc::CTRTrace_Desc(CMemoryManager* arena, uint16_t id, uint16_t line, uint16_t module_id,
                             const char* file, const char* function, const uint64_t* key)
    : m_ID(id), m_Module_ID(module_id), m_Key{key[0], key[1]}, m_Managed(true) {
  const sTRTrace_Arg message{eTRArg_String, 0};
  m_Initialized = Build(arena, &message, 1, "%s", file, function, line);
}

void CTRTrace_Desc::Make_Managed_Key(const char* file, uint16_t line, uint64_t key[2]) {
  uint64_t hash = 0x811C9DC5ULL;
  uint64_t length = 0;
  if (file) {
    for (const unsigned char* byte = reinterpret_cast<const unsigned char*>(file); *byte; ++byte) {
      hash = (hash ^ *byte) * 0x01000193ULL;
      ++length;
    }
  }
  key[0] = length * 65536 + line;
  key[1] = hash;
}

bool CTRTrace_Desc::Accepts_Format(CMemoryManager* arena, const char* format) const {
  if (!format) return false;
  if (!m_Managed && m_Key[1] == reinterpret_cast<uintptr_t>(format)) return true;
  int64_t count = Parse(arena, format);
  if (count < m_Args_Count) return false;
  const sTRTrace_Arg* parsed =
      static_cast<const sTRTrace_Arg*>(arena->Get(CMemoryManager::eBuffer_Arguments));
  for (uint32_t i = 0; i < m_Args_Count; ++i) {
    if (parsed[i].type != m_Args[i].type) return false;
  }
  return true;
}

bool CTRTrace_Desc::Accepts_Message() const {
  return m_Args_Count == 1 &&
         (m_Args[0].type == eTRArg_String || m_Args[0].type == eTRArg_String_H) &&
         m_Blocks[0] == eBlock_String;
}

int64_t CTRTrace_Desc::Parse(CMemoryManager* arena, const char* format) {
  uint32_t count = 0;
  uint32_t capacity = 0;
  sTRTrace_Arg* args = nullptr;
  // Appends one argument, growing the scratch list by kArgs_Growth entries when full.
  auto append = [&](uint8_t type, uint8_t size) -> bool {
    if (count == capacity) {
      void* grown = arena->Reuse(CMemoryManager::eBuffer_Arguments,
                                 (size_t{capacity} + kArgs_Growth) * sizeof(sTRTrace_Arg));
      if (!grown) return false;
      capacity = static_cast<uint32_t>(arena->Get_Capacity(CMemoryManager::eBuffer_Arguments) /
                                       sizeof(sTRTrace_Arg));
      args = static_cast<sTRTrace_Arg*>(grown);
    }
    args[count].type = type;
    args[count].size = size;
    ++count;
    return true;
  };

  bool inside = false;
  eModifier modifier = eMod_None;
  bool width = false;
  for (const char* cursor = format; *cursor; ++cursor) {
    char c = *cursor;
    if (!inside) {
      if (c == '%') {
        inside = true;
        modifier = eMod_None;
        width = false;
      }
      continue;
    }
    bool ok = true;
    switch (c) {
      case '%':
        inside = false;
        break;
      case '*':
        ok = append(eTRArg_Int32, kTRTrace_Numeric_Size);
        width = true;
        break;
      case 'I':
      case 'h':
      case 'j':
      case 'l':
      case 't':
      case 'w':
      case 'z':
        for (const sModifier& entry : kModifiers) {
          if (strncmp(cursor, entry.text, entry.length) == 0) {
            modifier = entry.modifier;
            cursor += entry.length - 1;
            break;
          }
        }
        break;
      case 'd':
      case 'i':
      case 'u':
      case 'o':
      case 'x':
      case 'X':
      case 'b':
        ok = append(Integer_Type(modifier), kTRTrace_Numeric_Size);
        inside = false;
        break;
      case 'c':
      case 'C':
        ok = append(modifier == eMod_Long ? eTRArg_WChar : eTRArg_Char, kTRTrace_Numeric_Size);
        inside = false;
        break;
      case 'a':
      case 'A':
      case 'e':
      case 'E':
      case 'f':
      case 'g':
      case 'G':
        ok = append(eTRArg_Double, kTRTrace_Numeric_Size);
        inside = false;
        break;
      case 'p':
        ok = append(eTRArg_Pointer, kTRTrace_Numeric_Size);
        inside = false;
        break;
      case 's':
      case 'S': {
        uint8_t type = eTRArg_String;
        if (modifier == eMod_Short) {
          type = eTRArg_String_H;
        } else if (c == 'S' || modifier == eMod_Long) {
          type = eTRArg_WString;
        }
        // The size byte carries the width-or-precision flag until the plan is built.
        ok = append(type, width ? 1 : 0);
        inside = false;
        break;
      }
      default:
        if (c >= '0' && c <= '9') width = true;
        break;
    }
    if (!ok) return -1;
  }
  return count;
}

bool CTRTrace_Desc::Build(CMemoryManager* arena, const sTRTrace_Arg* parsed, uint32_t count,
                          const char* format, const char* file, const char* function,
                          uint16_t line) {
  if (count > 0xFFFF) return false;

  // Plan: runs of numeric arguments merge into one block; every string is a block of its own.
  uint32_t blocks_count = 0;
  bool in_run = false;
  for (uint32_t i = 0; i < count; ++i) {
    bool numeric = TRTrace_Is_Numeric(parsed[i].type);
    if (!numeric || !in_run) ++blocks_count;
    in_run = numeric;
  }
  int32_t* blocks = nullptr;
  if (blocks_count) {
    blocks = static_cast<int32_t*>(arena->Alloc(sizeof(int32_t) * blocks_count));
    if (!blocks) return false;
  }

  uint64_t units = uint64_t{UTF8_Code_Points(format)} + 1;
  uint64_t file_size = Text_Size(file);
  uint64_t function_size = Text_Size(function);
  uint64_t size = sizeof(sTRTrace_Format) + uint64_t{count} * sizeof(sTRTrace_Arg) + units * 2 +
                  file_size + function_size;
  if (size > kTRTrace_Max_Record) return false;
  uint8_t* record = static_cast<uint8_t*>(arena->Alloc(size));
  if (!record) return false;

  sTRTrace_Format head;
  head.header = TRTrace_Make_Header(static_cast<uint32_t>(size), eTRTrace_Format);
  head.id = m_ID;
  head.line = line;
  head.module_id = m_Module_ID;
  head.args_count = static_cast<uint16_t>(count);
  memcpy(record, &head, sizeof(head));

  sTRTrace_Arg* args = reinterpret_cast<sTRTrace_Arg*>(record + sizeof(head));
  uint32_t block = 0;
  in_run = false;
  for (uint32_t i = 0; i < count; ++i) {
    sTRTrace_Arg arg = parsed[i];
    if (TRTrace_Is_Numeric(arg.type)) {
      if (in_run) {
        blocks[block - 1] += arg.size;
      } else {
        blocks[block++] = arg.size;
      }
      in_run = true;
    } else {
      bool unsupported = arg.size != 0;
      bool wide = arg.type == eTRArg_WString;
      if (wide) {
        blocks[block++] = unsupported ? eBlock_WString_Unsupported : eBlock_WString;
      } else {
        blocks[block++] = unsupported ? eBlock_String_Unsupported : eBlock_String;
      }
      arg.size = 0;
      in_run = false;
    }
    args[i] = arg;
  }

  uint8_t* cursor = record + sizeof(head) + sizeof(sTRTrace_Arg) * count;
  // The record is zero-filled arena memory; the conversion writes at most `units` units.
  uint16_t* text = reinterpret_cast<uint16_t*>(cursor);
  Convert_UTF8_To_UTF16(format, text, static_cast<uint32_t>(units));
  cursor += units * 2;
  if (file) memcpy(cursor, file, file_size);
  cursor += file_size;
  if (function) memcpy(cursor, function, function_size);

  m_Record = record;
  m_Record_Size = static_cast<uint32_t>(size);
  m_Args = args;
  m_Args_Count = count;
  m_Blocks = blocks;
  m_Blocks_Count = blocks_count;
  return true;
}

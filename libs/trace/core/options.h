// Option lists of the trace engine: command-line style arguments beginning with "/TR.".
//
// A lookup takes the first argument that begins with the prefix (case-sensitive), so arguments
// placed earlier in a list (the process command line) override later ones (a caller's string).
// CArguments owns an array of argument copies; it is built by splitting a string, by reading
// the process command line, or by merging lists.
//
// Thread-safety: CArguments has one owner at a time; the free functions have no shared state.
#ifndef TRACE_CORE_OPTIONS_H_
#define TRACE_CORE_OPTIONS_H_

#include <stdint.h>

// Text after `prefix` in the first argument that begins with it, or null (also for a null
// prefix or list). Null entries of the list are skipped.
const char* Get_Argument_Text_Value(char** args, int count, const char* prefix);

// Base-10 value of the option: `fallback` when absent, 0 when its text does not parse.
long Get_Argument_Long(char** args, int count, const char* prefix, long fallback);

class CArguments {
 public:
  // Size limit of the process command line that is considered.
  static constexpr uint32_t kCommandLineLimit = 4096;

  CArguments() = default;
  ~CArguments();

  CArguments(const CArguments&) = delete;
  CArguments& operator=(const CArguments&) = delete;

  // Replaces `out` with the arguments of `text` (null: none). The whole string including its
  // terminator is walked: a double quote toggles quoting and is dropped; a blank (0x20) outside
  // quotes ends an argument (so two blanks in a row yield an empty one); tabs do not separate.
  // False when memory runs out (`out` is then empty).
  static bool Split(const char* text, CArguments* out);
  // Replaces `out` with the NUL-separated strings of "/proc/self/cmdline" (program path first),
  // at most kCommandLineLimit bytes; a cut last argument is kept, terminated. An unreadable or
  // empty file yields no arguments (true). False only when memory runs out.
  static bool From_Command_Line(CArguments* out);

  // Appends a copy of `text`; false when memory runs out.
  bool Append(const char* text);
  // Appends copies of all arguments of `other` (in order); false when memory runs out (the
  // arguments appended so far stay).
  bool Append(const CArguments& other);
  void Clear();

  // The argument array (`Count()` entries followed by a null), or null when empty.
  char** Args() const { return m_Args; }
  int Count() const { return m_Count; }
  const char* Get(const char* prefix) const {
    return Get_Argument_Text_Value(m_Args, m_Count, prefix);
  }

 private:
  bool Append_Owned(char* text);

  char** m_Args = nullptr;  // owned strings, null-terminated array
  int m_Count = 0;
  int m_Capacity = 0;  // slots of m_Args excluding the final null
};

#endif  // TRACE_CORE_OPTIONS_H_

// The help text printed for the "/TR.Help" option.
//
// Thread-safety: safe to call from any thread (one printf call; lines of concurrent writers to
// standard output may interleave with it).
#ifndef TRACE_FACTORY_HELP_TEXT_H_
#define TRACE_FACTORY_HELP_TEXT_H_

// Prints the help text to standard output and flushes it.
void Print_Help_Text();

#endif  // TRACE_FACTORY_HELP_TEXT_H_

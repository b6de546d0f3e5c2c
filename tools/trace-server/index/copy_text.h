// Texts as the index stores them, and their encoding in COPY's text format.
//
// The database holds only valid UTF-8 without NUL, and a row must read back as the viewer shows
// the message: every invalid UTF-8 sequence becomes U+FFFD exactly as the viewer's JSON replaces
// it, and a NUL byte (which the viewer shows as nothing visible, and a text column cannot hold)
// becomes U+FFFD too. Quotes, backslashes, tabs and line ends are kept as they are: COPY's
// escapes carry them.
//
// Thread-safety: pure functions.
#ifndef TOOLS_TRACE_SERVER_INDEX_COPY_TEXT_H_
#define TOOLS_TRACE_SERVER_INDEX_COPY_TEXT_H_

#include <string>
#include <string_view>

// `text` as stored: valid UTF-8, no NUL.
std::string Index_Text(std::string_view text);

// Appends `text` (already as stored) to `out` with COPY's text-format escapes (backslash, tab,
// line feed, carriage return), as one field.
void Append_Copy_Field(std::string_view text, std::string* out);

#endif  // TOOLS_TRACE_SERVER_INDEX_COPY_TEXT_H_

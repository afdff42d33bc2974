#pragma once
// Text from outside the program (a firmware description, a name typed on the
// command line or found in a script) made safe to print: every control
// character (0x01-0x1F, 0x7F and the C1 controls 0x80-0x9F; line breaks
// and escape sequences included) becomes \xNN, so such text can neither move the cursor nor start a
// line that looks like one of the program's own. Shared by the console, the file reader, the ports
// and the trace's own complaints.

#include <cstddef>

// A control character takes this many characters once escaped.
inline constexpr size_t TEXT_ESCAPED_CHAR_SIZE = 4;

// Room for a name with control characters once escaped; a longer one is cut
// (a name without any is never copied, so never cut).
inline constexpr size_t TEXT_SHOWN_NAME_SIZE = 256 * TEXT_ESCAPED_CHAR_SIZE + 1;

// Copies `text` up to its first NUL or `length` bytes into `out`, every
// control character as \xNN, cut before the first character that would not
// fit in `cap` bytes with the terminating NUL (`cap` > 0). Returns `out`.
const char* text_EscapeControls(const char* text, size_t length, char* out, size_t cap);

// How long `text` is once escaped by text_EscapeControls, without the NUL.
size_t text_EscapedLength(const char* text);

// `name` itself when it holds no control character (printed exactly as
// typed, whatever its length), else its escaped copy in `out` as
// text_EscapeControls makes it. Returns what to print.
const char* text_ShownName(const char* name, char* out, size_t cap);

// As text_ShownName, but never longer than `cap` - 1 characters: a name that
// does not fit is cut and ends in "...", so that what a line prints after
// it (a reason, the line's end) always fits too (`cap` > 3). Returns what
// to print.
const char* text_ShownCut(const char* name, char* out, size_t cap);

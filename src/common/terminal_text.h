#pragma once
#include <string>
#include <string_view>

// Text that a torrent brings (names, paths, comments, URLs) is bytes in no promised encoding,
// possibly chosen to drive the terminal that shows it. These make such bytes safe to show.

// Valid UTF-8 as it stands; every byte that is not part of a valid UTF-8 sequence as \xHH
// (lower-case hex), so that the result is always valid UTF-8, e.g. for JSON.
std::string utf8_escaped(std::string_view bytes);

// As utf8_escaped, and control characters (C0, DEL, and C1 as their two UTF-8 bytes) as \xHH
// too, so that nothing a torrent says can move the cursor, recolour or retitle a terminal.
std::string terminal_escaped(std::string_view bytes);

// terminal_escaped, appended to `out`: for output built a line at a time.
void append_terminal_escaped(std::string &out, std::string_view bytes);

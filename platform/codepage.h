// The code pages of the system's texts. Names (in patch files, on command
// lines, in directory listings) are Windows ANSI code page 1252; console
// texts are OEM code page 850; POSIX hosts speak UTF-8. The conversions are
// the same on every platform; files.h converts at the host boundary.
#pragma once

#include <cstddef>
#include <string>

namespace platform {

// Code page 1252 to UTF-8. Every byte stands for a character (the five bytes
// the code page leaves undefined, 0x81 0x8D 0x8F 0x90 0x9D, for U+0081 and
// so on), so that utf8ToCp1252 gives every byte string back unchanged.
std::string cp1252ToUtf8(const std::string& text);
// UTF-8 to code page 1252. A character the code page lacks becomes '?', one
// for each UTF-16 unit as the Windows API gives it (two past U+FFFF), and so
// does each byte that is not part of valid UTF-8. '?' is never part of a
// Windows file name: a name holding one is a name Windows could not hold.
std::string utf8ToCp1252(const std::string& text);
// A name (code page 1252) for a console text (code page 850); what 850 lacks
// becomes '?'.
std::string cp1252ToCp850(const std::string& text);

// CP850 to UTF-8. A byte sequence that already is valid multi-byte UTF-8 (a
// patch comment written on a UTF-8 system, say) is copied unchanged; every
// other byte of 0x80 and above is taken as CP850. German CP850 text never
// forms such a sequence in practice: its umlauts are continuation bytes or a
// lone 0xE1 (ß).
std::string cp850ToUtf8(const std::string& text);
// UTF-8 to CP850 for characters CP850 has; others become '?'. Lets source
// code hold German texts readably.
std::string utf8ToCp850(const std::string& text);

// Length of the character that begins at text[i] (i < text.size()): that of
// a valid UTF-8 sequence, else 1, so that a byte that is no part of UTF-8
// counts as a character of its own.
std::size_t utf8CharacterLength(const std::string& text, std::size_t i);
// `text` (UTF-8) with one '?' for each byte that is no part of valid UTF-8
// and, with `cp850Only`, for each character code page 850 lacks: what a
// console shows of it (console.h).
std::string utf8Marked(const std::string& text, bool cp850Only);

}  // namespace platform

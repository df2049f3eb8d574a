#include "platform/codepage.h"

#include <cstdint>

namespace platform {
namespace {

// Unicode code points of CP850 bytes 0x80..0xFF.
const std::uint16_t kCp850High[128] = {
    0x00C7, 0x00FC, 0x00E9, 0x00E2, 0x00E4, 0x00E0, 0x00E5, 0x00E7,
    0x00EA, 0x00EB, 0x00E8, 0x00EF, 0x00EE, 0x00EC, 0x00C4, 0x00C5,
    0x00C9, 0x00E6, 0x00C6, 0x00F4, 0x00F6, 0x00F2, 0x00FB, 0x00F9,
    0x00FF, 0x00D6, 0x00DC, 0x00F8, 0x00A3, 0x00D8, 0x00D7, 0x0192,
    0x00E1, 0x00ED, 0x00F3, 0x00FA, 0x00F1, 0x00D1, 0x00AA, 0x00BA,
    0x00BF, 0x00AE, 0x00AC, 0x00BD, 0x00BC, 0x00A1, 0x00AB, 0x00BB,
    0x2591, 0x2592, 0x2593, 0x2502, 0x2524, 0x00C1, 0x00C2, 0x00C0,
    0x00A9, 0x2563, 0x2551, 0x2557, 0x255D, 0x00A2, 0x00A5, 0x2510,
    0x2514, 0x2534, 0x252C, 0x251C, 0x2500, 0x253C, 0x00E3, 0x00C3,
    0x255A, 0x2554, 0x2569, 0x2566, 0x2560, 0x2550, 0x256C, 0x00A4,
    0x00F0, 0x00D0, 0x00CA, 0x00CB, 0x00C8, 0x0131, 0x00CD, 0x00CE,
    0x00CF, 0x2518, 0x250C, 0x2588, 0x2584, 0x00A6, 0x00CC, 0x2580,
    0x00D3, 0x00DF, 0x00D4, 0x00D2, 0x00F5, 0x00D5, 0x00B5, 0x00FE,
    0x00DE, 0x00DA, 0x00DB, 0x00D9, 0x00FD, 0x00DD, 0x00AF, 0x00B4,
    0x00AD, 0x00B1, 0x2017, 0x00BE, 0x00B6, 0x00A7, 0x00F7, 0x00B8,
    0x00B0, 0x00A8, 0x00B7, 0x00B9, 0x00B3, 0x00B2, 0x25A0, 0x00A0,
};

// Unicode code points of CP1252 bytes 0x80..0x9F; from 0xA0 on a byte is
// its own code point. The undefined bytes stand for the C1 controls of
// their value, as Windows' conversion tables have them.
const std::uint16_t kCp1252Row80[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
    0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F,
    0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
    0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178,
};

std::uint32_t cp1252CodePoint(unsigned char c) { return c >= 0x80 && c < 0xA0 ? kCp1252Row80[c - 0x80] : c; }

// The CP1252 byte of code point `cp`, or '?'.
char cp1252Byte(std::uint32_t cp) {
  if (cp < 0x80 || (cp >= 0xA0 && cp <= 0xFF)) return static_cast<char>(cp);
  for (int k = 0; k < 32; ++k) {
    if (kCp1252Row80[k] == cp) return static_cast<char>(0x80 + k);
  }
  return '?';
}

// The CP850 byte of code point `cp`, or '?'.
char cp850Byte(std::uint32_t cp) {
  if (cp < 0x80) return static_cast<char>(cp);
  for (int k = 0; k < 128; ++k) {
    if (kCp850High[k] == cp) return static_cast<char>(0x80 + k);
  }
  return '?';
}

void appendUtf8(std::string* out, std::uint32_t cp) {
  if (cp < 0x80) {
    out->push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out->push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out->push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out->push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

// Length of a valid UTF-8 multi-byte sequence at text[i], or 0.
std::size_t utf8SequenceAt(const std::string& text, std::size_t i, std::uint32_t* cp) {
  const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
  const unsigned char lead = byte(i);
  std::size_t n;
  std::uint32_t value;
  if (lead >= 0xC2 && lead <= 0xDF) {
    n = 2, value = lead & 0x1F;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    n = 3, value = lead & 0x0F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    n = 4, value = lead & 0x07;
  } else {
    return 0;
  }
  if (i + n > text.size()) return 0;
  for (std::size_t k = 1; k < n; ++k) {
    if ((byte(i + k) & 0xC0) != 0x80) return 0;
    value = (value << 6) | (byte(i + k) & 0x3F);
  }
  // Overlong forms, surrogates and values past U+10FFFF are not UTF-8.
  static const std::uint32_t kMinimum[5] = {0, 0, 0x80, 0x800, 0x10000};
  if (value < kMinimum[n] || (value >= 0xD800 && value <= 0xDFFF) || value > 0x10FFFF) return 0;
  *cp = value;
  return n;
}

// What forEachCharacter gives for a byte that is no part of valid UTF-8.
constexpr std::uint32_t kNotUtf8 = 0xFFFFFFFF;

// Calls visit(i, n, cp) for each character of `text` in turn: the one that
// begins at text[i], n bytes long, with code point cp; a byte that is no
// part of valid UTF-8 is a character of its own (n 1, cp kNotUtf8).
template <typename Visit>
void forEachCharacter(const std::string& text, Visit visit) {
  for (std::size_t i = 0; i < text.size();) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    std::uint32_t cp = c;
    std::size_t n = c < 0x80 ? 1 : utf8SequenceAt(text, i, &cp);
    if (n == 0) {
      n = 1;
      cp = kNotUtf8;
    }
    visit(i, n, cp);
    i += n;
  }
}

}  // namespace

std::string cp850ToUtf8(const std::string& text) {
  std::string out;
  out.reserve(text.size() + text.size() / 4);
  forEachCharacter(text, [&](std::size_t i, std::size_t n, std::uint32_t cp) {
    if (cp == kNotUtf8) {
      appendUtf8(&out, kCp850High[static_cast<unsigned char>(text[i]) - 0x80]);
    } else {
      out.append(text, i, n);
    }
  });
  return out;
}

std::string utf8ToCp850(const std::string& text) {
  std::string out;
  // A byte that is no UTF-8 stays as it is.
  forEachCharacter(text, [&](std::size_t i, std::size_t, std::uint32_t cp) {
    out.push_back(cp == kNotUtf8 ? text[i] : cp850Byte(cp));
  });
  return out;
}

std::string cp1252ToUtf8(const std::string& text) {
  std::string out;
  out.reserve(text.size() + text.size() / 4);
  for (char c : text) appendUtf8(&out, cp1252CodePoint(static_cast<unsigned char>(c)));
  return out;
}

std::string utf8ToCp1252(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  forEachCharacter(text, [&](std::size_t, std::size_t, std::uint32_t cp) {
    out.push_back(cp == kNotUtf8 ? '?' : cp1252Byte(cp));
    if (cp != kNotUtf8 && cp > 0xFFFF) out.push_back('?');  // a surrogate pair: two units, two marks
  });
  return out;
}

std::size_t utf8CharacterLength(const std::string& text, std::size_t i) {
  std::uint32_t cp = 0;
  const std::size_t n = utf8SequenceAt(text, i, &cp);
  return n == 0 ? 1 : n;
}

std::string utf8Marked(const std::string& text, bool cp850Only) {
  std::string out;
  out.reserve(text.size());
  forEachCharacter(text, [&](std::size_t i, std::size_t n, std::uint32_t cp) {
    if (cp == kNotUtf8 || (cp850Only && cp850Byte(cp) == '?')) {
      out.push_back('?');
    } else {
      out.append(text, i, n);
    }
  });
  return out;
}

std::string cp1252ToCp850(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) out.push_back(cp850Byte(cp1252CodePoint(static_cast<unsigned char>(c))));
  return out;
}

}  // namespace platform

// The builder's regular expressions, on PCRE2: every pattern is compiled
// case-insensitive, multi-line and with "." matching line ends, and through
// PCRE2's JIT where the library has one (the results are the same).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace packaging {

// Extra compile options, added to the fixed ones.
constexpr std::uint32_t kRegexAnchored = 0x80000000u;  // PCRE2_ANCHORED: the match must start at the subject's start

// A subject: `length` bytes from `start`; a length of 0 means up to the
// terminating zero. Every match searches from the subject's first byte.
struct Subject {
  const char* start;
  std::size_t length;
  Subject(const char* s, std::size_t n = 0);
  Subject(const std::string& s) : start(s.c_str()), length(s.size()) {}  // NOLINT: implicit by design
};

class Regex {
 public:
  Regex();
  ~Regex();
  Regex(Regex&&) noexcept;
  Regex& operator=(Regex&&) noexcept;

  // Compiles `pattern`; false, with the library's error text, when it fails.
  bool compile(const std::string& pattern, std::uint32_t extraOptions, std::string* error);

  // The whole match as start offset and length; false when there is none.
  bool match(Subject subject, std::size_t* start, std::size_t* length) const;
  // The whole match and the first group (empty when it took no part).
  bool match(Subject subject, std::string* whole, std::string* group1) const;
  // The whole match and the first two groups.
  bool match(Subject subject, std::string* whole, std::string* group1, std::string* group2) const;
  // Copies the whole match into `out`, of at most `limit` bytes (0: no
  // limit): 0 when there is no match (`out` empty), -1 when the match is
  // longer than `limit`, 1 otherwise.
  int copy(Subject subject, std::string* out, std::size_t limit) const;

 private:
  // Group `n`'s offsets in the last match; false when it took no part.
  bool run(Subject subject) const;
  bool group(Subject subject, int n, std::string* text) const;

  struct Compiled;
  std::unique_ptr<Compiled> compiled_;
};

// One-shot forms: compile and match in one call. A pattern that does not
// compile gives false (or 0) with its error text in `error`.
bool regexMatch(const std::string& pattern, Subject subject, std::size_t* start, std::size_t* length,
                std::string* error);
bool regexMatch(const std::string& pattern, Subject subject, std::string* whole, std::string* group1,
                std::string* error);
bool regexMatch(const std::string& pattern, Subject subject, std::string* whole, std::string* group1,
                std::string* group2, std::string* error);
int regexCopy(const std::string& pattern, Subject subject, std::string* out, std::size_t limit, std::string* error);

}  // namespace packaging

#include "packaging/regex.h"

#include <cstring>

#define PCRE2_CODE_UNIT_WIDTH 8
#include <pcre2.h>

namespace packaging {

static_assert(kRegexAnchored == PCRE2_ANCHORED, "the anchored option is PCRE2's");

Subject::Subject(const char* s, std::size_t n) : start(s), length(n == 0 ? std::strlen(s) : n) {}

struct Regex::Compiled {
  pcre2_code* code = nullptr;
  pcre2_match_data* data = nullptr;
  ~Compiled() {
    pcre2_match_data_free(data);
    pcre2_code_free(code);
  }
};

Regex::Regex() = default;
Regex::~Regex() = default;
Regex::Regex(Regex&&) noexcept = default;
Regex& Regex::operator=(Regex&&) noexcept = default;

bool Regex::compile(const std::string& pattern, std::uint32_t extraOptions, std::string* error) {
  compiled_.reset();
  int code = 0;
  PCRE2_SIZE offset = 0;
  auto c = std::make_unique<Compiled>();
  c->code = pcre2_compile(reinterpret_cast<PCRE2_SPTR>(pattern.data()), pattern.size(),
                          PCRE2_CASELESS | PCRE2_MULTILINE | PCRE2_DOTALL | extraOptions, &code, &offset, nullptr);
  if (c->code == nullptr) {
    PCRE2_UCHAR text[256];
    pcre2_get_error_message(code, text, sizeof text);
    *error = reinterpret_cast<const char*>(text);
    return false;
  }
  // Without JIT support the interpreter gives the same matches.
  pcre2_jit_compile(c->code, PCRE2_JIT_COMPLETE);
  c->data = pcre2_match_data_create_from_pattern(c->code, nullptr);
  if (c->data == nullptr) {
    *error = "out of memory";
    return false;
  }
  compiled_ = std::move(c);
  return true;
}

bool Regex::run(Subject subject) const {
  if (!compiled_) return false;
  return pcre2_match(compiled_->code, reinterpret_cast<PCRE2_SPTR>(subject.start), subject.length, 0, 0,
                     compiled_->data, nullptr) > 0;
}

bool Regex::group(Subject subject, int n, std::string* text) const {
  text->clear();
  if (n >= static_cast<int>(pcre2_get_ovector_count(compiled_->data))) return false;
  const PCRE2_SIZE* v = pcre2_get_ovector_pointer(compiled_->data);
  if (v[2 * n] == PCRE2_UNSET) return false;
  text->assign(subject.start + v[2 * n], v[2 * n + 1] - v[2 * n]);
  return true;
}

bool Regex::match(Subject subject, std::size_t* start, std::size_t* length) const {
  if (!run(subject)) return false;
  const PCRE2_SIZE* v = pcre2_get_ovector_pointer(compiled_->data);
  *start = v[0];
  *length = v[1] - v[0];
  return true;
}

bool Regex::match(Subject subject, std::string* whole, std::string* group1) const {
  if (!run(subject)) return false;
  group(subject, 0, whole);
  group(subject, 1, group1);
  return true;
}

bool Regex::match(Subject subject, std::string* whole, std::string* group1, std::string* group2) const {
  if (!match(subject, whole, group1)) return false;
  group(subject, 2, group2);
  return true;
}

int Regex::copy(Subject subject, std::string* out, std::size_t limit) const {
  out->clear();
  std::string whole;
  if (!run(subject)) return 0;
  group(subject, 0, &whole);
  if (limit > 0 && whole.size() > limit) return -1;
  *out = whole;
  return 1;
}

bool regexMatch(const std::string& pattern, Subject subject, std::size_t* start, std::size_t* length,
                std::string* error) {
  Regex r;
  return r.compile(pattern, 0, error) && r.match(subject, start, length);
}

bool regexMatch(const std::string& pattern, Subject subject, std::string* whole, std::string* group1,
                std::string* error) {
  Regex r;
  return r.compile(pattern, 0, error) && r.match(subject, whole, group1);
}

bool regexMatch(const std::string& pattern, Subject subject, std::string* whole, std::string* group1,
                std::string* group2, std::string* error) {
  Regex r;
  return r.compile(pattern, 0, error) && r.match(subject, whole, group1, group2);
}

int regexCopy(const std::string& pattern, Subject subject, std::string* out, std::size_t limit, std::string* error) {
  Regex r;
  if (!r.compile(pattern, 0, error)) {
    out->clear();
    return 0;
  }
  return r.copy(subject, out, limit);
}

}  // namespace packaging

// The C++ runtime's throw helpers and terminate handler, as the appliers
// built for Windows link them. The library's own helpers build their
// exceptions from its reference-counted strings and its formatter, and its
// terminate handler demangles type names: with their dependencies about
// 100 KB that every self-applying patch would carry. These throw a small
// error of this program with the library's texts, or the very standard
// exception where the appliers catch one (std::bad_alloc: out of memory);
// any other is an unexpected error, reported with what(). A program that
// ends through std::terminate ends at once, as it does after the message.
#include <cstdlib>
#include <exception>
#include <new>
#include <typeinfo>

namespace {

class RuntimeFault final : public std::exception {
 public:
  explicit RuntimeFault(const char* what) noexcept : what_(what) {}
  const char* what() const noexcept override { return what_; }

 private:
  const char* what_;  // the library's texts are literals
};

}  // namespace

namespace std {

void __throw_bad_exception() { throw bad_exception(); }
void __throw_bad_alloc() { throw bad_alloc(); }
void __throw_bad_array_new_length() { throw bad_array_new_length(); }
void __throw_bad_cast() { throw bad_cast(); }
void __throw_bad_typeid() { throw bad_typeid(); }
void __throw_logic_error(const char* what) { throw RuntimeFault(what); }
void __throw_domain_error(const char* what) { throw RuntimeFault(what); }
void __throw_invalid_argument(const char* what) { throw RuntimeFault(what); }
void __throw_length_error(const char* what) { throw RuntimeFault(what); }
void __throw_out_of_range(const char* what) { throw RuntimeFault(what); }
// The text keeps its placeholders: formatting it would bring the formatter back.
void __throw_out_of_range_fmt(const char* what, ...) { throw RuntimeFault(what); }
void __throw_runtime_error(const char* what) { throw RuntimeFault(what); }
void __throw_range_error(const char* what) { throw RuntimeFault(what); }
void __throw_overflow_error(const char* what) { throw RuntimeFault(what); }
void __throw_underflow_error(const char* what) { throw RuntimeFault(what); }
void __throw_system_error(int) { throw RuntimeFault("a system call of the thread library failed"); }

}  // namespace std

namespace __gnu_cxx {

void __verbose_terminate_handler() { std::abort(); }

}  // namespace __gnu_cxx


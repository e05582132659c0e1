// Stand-ins that keep parts of the compiler's runtime out of SelfUpdate.exe.
// Linked into the executable only; the tests keep the full runtime. They
// name private parts of libstdc++ and mingw-w64, so CMakeLists.txt links
// them only with the toolchain they were written for, and checks the size
// they buy after every link.
//
// The updater must stay small, and with the i686 toolchain the linker keeps
// every function of a runtime object file it pulls in (each has unwind
// information, and unwind information is always kept). These definitions
// stop four such chains at their first link.

// 4 (first, because it must precede every standard header). The standard
//    library declares its std::string members as instantiated in its own
//    binary, whose one object file holds all of them. Here that declaration
//    is switched off, so the members the updater uses are instantiated below
//    (with whatever they call), and that object file is never needed.
#include <bits/c++config.h>
#undef _GLIBCXX_EXTERN_TEMPLATE
#define _GLIBCXX_EXTERN_TEMPLATE 0

#include <windows.h>

#include <bits/functexcept.h>

#include <cstdarg>
#include <cstddef>
#include <cstdio>
#include <string>

#include "platform/win32/win32_services.h"

// 1. The standard library reports misuse and exhaustion through these
//    functions, which throw its exception classes. Nothing in the updater
//    catches an exception, so each of them ends the process just as the
//    uncaught exception would, with exit code 3.
//    Defining them all keeps the exception classes out, and with them a
//    second, reference-counted string implementation that they use.
namespace std {
void __throw_bad_exception() { win32::EndAbnormally(); }
void __throw_bad_alloc() { win32::EndAbnormally(); }
void __throw_bad_array_new_length() { win32::EndAbnormally(); }
void __throw_bad_cast() { win32::EndAbnormally(); }
void __throw_bad_typeid() { win32::EndAbnormally(); }
void __throw_logic_error(const char*) { win32::EndAbnormally(); }
void __throw_domain_error(const char*) { win32::EndAbnormally(); }
void __throw_invalid_argument(const char*) { win32::EndAbnormally(); }
void __throw_length_error(const char*) { win32::EndAbnormally(); }
void __throw_out_of_range(const char*) { win32::EndAbnormally(); }
void __throw_out_of_range_fmt(const char*, ...) { win32::EndAbnormally(); }
void __throw_runtime_error(const char*) { win32::EndAbnormally(); }
void __throw_range_error(const char*) { win32::EndAbnormally(); }
void __throw_overflow_error(const char*) { win32::EndAbnormally(); }
void __throw_underflow_error(const char*) { win32::EndAbnormally(); }
}  // namespace std

// 2. The runtime's default terminate handler names the exception's type,
//    demangled, which links in a demangler several times the size of this
//    program. The link renames its calls to this stand-in (--wrap), which
//    answers "not a mangled name", so the handler would print the raw name.
//    It never runs: the entry replaces it before anything can throw.
extern "C" char* __wrap___cxa_demangle(const char*, char*, std::size_t*, int* status) {
  if (status != nullptr) *status = -2;
  return nullptr;
}

// 3. The C++ headers select MinGW's own printf family, which brings a
//    floating-point formatter the updater never uses. Its vsnprintf is
//    renamed to this one (--wrap), on the system C runtime's formatter, with
//    the C99 result: the full length, the output cut to fit and terminated.
extern "C" int __wrap___mingw_vsnprintf(char* buffer, std::size_t size, const char* format,
                                        va_list args) {
  va_list again;
  va_copy(again, args);
  const int length = _vscprintf(format, args);
  if (length >= 0 && buffer != nullptr && size > 0) {
    const std::size_t room = size - 1;
    _vsnprintf(buffer, room, format, again);
    buffer[static_cast<std::size_t>(length) < room ? static_cast<std::size_t>(length) : room] = '\0';
  }
  va_end(again);
  return length;
}

// 4. The members of std::string the updater's code calls out of line (as
//    the linker reports them). One left out still links, from the library,
//    but brings all the others along; the build's size check notices.
using String = std::string;
using Size = String::size_type;
template String::basic_string(const String&);
template String::basic_string(String&&);
template String& String::_M_append(const char*, Size);
template void String::_M_assign(const String&);
template char* String::_M_create(Size&, Size);
template void String::_M_dispose();
template String& String::_M_replace(Size, Size, const char*, Size);
template String& String::_M_replace_aux(Size, Size, Size, char);
template void String::_S_copy(char*, const char*, Size);
template String& String::append(const String&);
template String& String::append(const char*);
template String& String::insert(Size, const String&);
template void String::push_back(char);
template void String::reserve(Size);
template void String::resize(Size);
template String String::substr(Size, Size) const;

// _S_copy_chars has a member template of the same shape beside it, which
// makes a plain explicit instantiation ambiguous; naming its address as a
// template argument picks the ordinary function (and, like an explicit
// instantiation, is exempt from access checking).
template <void (*Function)(char*, const char*, const char*)>
struct EmitFunction {
  static void (*const address)(char*, const char*, const char*);
};
template <void (*Function)(char*, const char*, const char*)>
void (*const EmitFunction<Function>::address)(char*, const char*, const char*) = Function;
template struct EmitFunction<&String::_S_copy_chars>;

// quiet_output.cpp - the wrapped stdio functions (see quiet_output.h and the
// --wrap list in CMakeLists.txt, which must name every function defined here).
#include "quiet_output.h"

#include <cstdarg>
#include <cstdio>

namespace datalink_python {
namespace {
thread_local bool quiet_thread = false;
}  // namespace

QuietScope::QuietScope(bool quiet) : previous_(quiet_thread) { quiet_thread = quiet_thread || quiet; }
QuietScope::~QuietScope() { quiet_thread = previous_; }

}  // namespace datalink_python

using datalink_python::quiet_thread;

extern "C" {
int __real_vfprintf(FILE* stream, const char* format, va_list args);
int __real_fputc(int c, FILE* stream);
int __real_fputs(const char* text, FILE* stream);
int __real_puts(const char* text);
int __real_putchar(int c);
size_t __real_fwrite(const void* data, size_t size, size_t count, FILE* stream);
void __real_perror(const char* text);

int __wrap_vfprintf(FILE* stream, const char* format, va_list args) {
  return quiet_thread ? 0 : __real_vfprintf(stream, format, args);
}
int __wrap_vprintf(const char* format, va_list args) { return __wrap_vfprintf(stdout, format, args); }
int __wrap_fprintf(FILE* stream, const char* format, ...) {
  va_list args;
  va_start(args, format);
  int n = __wrap_vfprintf(stream, format, args);
  va_end(args);
  return n;
}
int __wrap_printf(const char* format, ...) {
  va_list args;
  va_start(args, format);
  int n = __wrap_vfprintf(stdout, format, args);
  va_end(args);
  return n;
}
int __wrap_fputc(int c, FILE* stream) { return quiet_thread ? c : __real_fputc(c, stream); }
int __wrap_fputs(const char* text, FILE* stream) { return quiet_thread ? 0 : __real_fputs(text, stream); }
int __wrap_puts(const char* text) { return quiet_thread ? 0 : __real_puts(text); }
int __wrap_putchar(int c) { return quiet_thread ? c : __real_putchar(c); }
size_t __wrap_fwrite(const void* data, size_t size, size_t count, FILE* stream) {
  return quiet_thread ? count : __real_fwrite(data, size, count, stream);
}
void __wrap_perror(const char* text) {
  if (!quiet_thread) __real_perror(text);
}
}

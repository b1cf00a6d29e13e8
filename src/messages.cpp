// messages.cpp - the four output styles of the library's diagnostics.
#include "messages.h"

#include <cstdarg>
#include <cstdio>

namespace datalink {

namespace {
void line_to(FILE* stream, const char* fmt, va_list args) {
  std::vfprintf(stream, fmt, args);
  std::fputc('\n', stream);
  std::fflush(stream);
}
}  // namespace

void err_line(const char* fmt, ...) {
  va_list args;
  va_start(args, fmt);
  line_to(stderr, fmt, args);
  va_end(args);
}

void out_line(const char* fmt, ...) {
  va_list args;
  va_start(args, fmt);
  line_to(stdout, fmt, args);
  va_end(args);
}

void sys_error(const char* text) { std::perror(text); }

void out_print(const char* fmt, ...) {
  va_list args;
  va_start(args, fmt);
  std::vprintf(fmt, args);
  va_end(args);
}

}  // namespace datalink

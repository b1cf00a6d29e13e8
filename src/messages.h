// messages.h - the library's four output styles. Every diagnostic goes
// through one of these, so each message site is one line with its literal
// text and the texts can be checked with grep.
#ifndef DATALINK_MESSAGES_H
#define DATALINK_MESSAGES_H

namespace datalink {

// A line on standard error: the formatted text, a newline, a flush.
void err_line(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
// A line on standard output: the formatted text, a newline, a flush.
void out_line(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
// The system error printer: text, ": ", the description of errno, newline,
// on standard error.
void sys_error(const char* text);
// A formatted print to buffered standard output, not flushed.
void out_print(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

}  // namespace datalink

#endif  // DATALINK_MESSAGES_H

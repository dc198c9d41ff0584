// The daemon's one bounded formatter and bounded copy. Every piece of text
// the daemon builds goes through these: the result is always terminated
// inside its buffer, and what does not fit is cut, never overflowed.
#pragma once

#include <cstdarg>
#include <cstddef>

// Formats into buffer (size bytes, size > 0). Returns 1 when the whole text
// fitted, 0 when it was cut. The formats are the system C library's
// (ms_printf): %d, %x, %X and %s with flags and widths are all we use.
int format_text(char* buffer, size_t size, const char* format, ...)
    __attribute__((format(ms_printf, 3, 4)));
// The same for callers that take their own argument list.
int vformat_text(char* buffer, size_t size, const char* format, va_list args)
    __attribute__((format(ms_printf, 3, 0)));

// Appends the formatted text to the terminated text in buffer, within size
// bytes. Returns 1 when it fitted whole, 0 when it was cut.
int append_format(char* buffer, size_t size, const char* format, ...)
    __attribute__((format(ms_printf, 3, 4)));

// Copies the text into buffer (size bytes, size > 0), cut to size - 1
// characters. Returns 1 when the whole text fitted, 0 when it was cut.
int copy_text(char* buffer, size_t size, const char* text);

// Appends text to the terminated text in buffer, within size bytes.
// Returns 1 when it fitted whole, 0 when it was cut.
int append_text(char* buffer, size_t size, const char* text);

// Appends item to the list of items in buffer, after ", " when the list
// has one already.
void append_item(char* buffer, size_t size, const char* item);

// Copies at most length bytes of a text up to its first line end, anything
// unprintable (and any byte above 126) as '?', cut to fit: a text that a
// server sent, made fit for a log line.
void copy_printable(char* buffer, size_t size, const char* text, size_t length);

// Milliseconds as seconds with three decimals, "2.345".
struct Seconds {
    char text[24];
};
Seconds seconds_of(unsigned long long ms);

// The ending of a counted noun: "1 day", "2 days".
inline const char* plural(long long n) { return n == 1 ? "" : "s"; }

template <size_t N>
inline int copy_text(char (&buffer)[N], const char* text) { return copy_text(buffer, N, text); }
template <size_t N>
inline int append_text(char (&buffer)[N], const char* text) { return append_text(buffer, N, text); }

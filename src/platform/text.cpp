// Built on msvcrt's _vsnprintf rather than the C99 vsnprintf: MinGW's own
// printf would bring its floating-point formatting into the DLL, and the
// daemon formats only %d, %x, %X and %s.
#include "platform/text.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "platform/platform.h"

int vformat_text(char* buffer, size_t size, const char* format, va_list args)
{
    // _vsnprintf gives -1 when the text is longer than the buffer and
    // leaves the terminator out when it fills the buffer exactly: both are
    // a cut text, terminated here in the last byte.
    int n = _vsnprintf(buffer, size, format, args);
    if (n >= 0 && static_cast<size_t>(n) < size)
        return 1;
    buffer[size - 1] = '\0';
    return 0;
}

int format_text(char* buffer, size_t size, const char* format, ...)
{
    va_list args;
    va_start(args, format);
    int whole = vformat_text(buffer, size, format, args);
    va_end(args);
    return whole;
}

int append_format(char* buffer, size_t size, const char* format, ...)
{
    size_t used = strnlen(buffer, size - 1);
    va_list args;
    va_start(args, format);
    int whole = vformat_text(buffer + used, size - used, format, args);
    va_end(args);
    return whole;
}

int copy_text(char* buffer, size_t size, const char* text)
{
    size_t n = text ? strnlen(text, size) : 0;
    int whole = n < size;
    if (!whole)
        n = size - 1;
    memcpy(buffer, text ? text : "", n);
    buffer[n] = '\0';
    return whole;
}

int append_text(char* buffer, size_t size, const char* text)
{
    size_t used = strnlen(buffer, size);
    if (used >= size) {
        buffer[size - 1] = '\0';
        return 0;
    }
    return copy_text(buffer + used, size - used, text);
}

void append_item(char* buffer, size_t size, const char* item)
{
    append_text(buffer, size, buffer[0] ? ", " : "");
    append_text(buffer, size, item);
}

void copy_printable(char* buffer, size_t size, const char* text, size_t length)
{
    size_t n = 0;
    for (; n + 1 < size && n < length && text[n] != '\r' && text[n] != '\n'; ++n) {
        unsigned char c = static_cast<unsigned char>(text[n]);
        buffer[n] = c < ' ' || c > '~' ? '?' : static_cast<char>(c);
    }
    buffer[n] = '\0';
}

Seconds seconds_of(unsigned long long ms)
{
    Seconds s;
    uint64_t thousandths;
    uint64_t whole = divide(ms, 1000, thousandths);
    format_text(s.text, sizeof s.text, "%I64u.%03u", whole, static_cast<unsigned>(thousandths));
    return s;
}

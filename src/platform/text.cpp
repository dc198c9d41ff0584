#include "platform/text.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

int vformat_text(char* buffer, size_t size, const char* format, va_list args)
{
    int n = vsnprintf(buffer, size, format, args);
    buffer[size - 1] = '\0';
    if (n < 0) {
        buffer[0] = '\0';
        return 0;
    }
    return static_cast<size_t>(n) < size;
}

int format_text(char* buffer, size_t size, const char* format, ...)
{
    va_list args;
    va_start(args, format);
    int whole = vformat_text(buffer, size, format, args);
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

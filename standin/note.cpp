#include "note.h"

#include <cstdarg>
#include <cstdio>

void note(const char* format, ...)
{
    char line[1024];
    va_list args;
    va_start(args, format);
    vsnprintf(line, sizeof line, format, args);
    va_end(args);
    printf("standin: %s\n", line);
    fflush(stdout);
}

#include "HelperLog.h"

#include <cstdarg>
#include <cstdio>

void helperLog(const char *format, ...)
{
    std::fputs("QuillonHelper: ", stderr);
    va_list args;
    va_start(args, format);
    std::vfprintf(stderr, format, args);
    va_end(args);
    std::fputc('\n', stderr);
    std::fflush(stderr);
}

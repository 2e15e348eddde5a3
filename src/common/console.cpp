#include "common/console.h"

#include "common/progress.h"

#include <cerrno>
#include <cstdarg>

namespace {
// A run reports one failure: the first, whichever layer meets it, since what follows from it
// would only repeat it. Every layer reports through the console, so the console is what keeps
// that one fact for the process.
bool failure_seen = false;

void say(std::FILE *stream, const char *format, std::va_list args) {
    // %m in the format must see the errno of the failure being reported.
    const int saved_errno = errno;
    progress_erase();
    errno = saved_errno;
    std::vfprintf(stream, format, args);
}
} // namespace

void say_out(const char *format, ...) {
    std::va_list args;
    va_start(args, format);
    say(stdout, format, args);
    va_end(args);
}

void say_err(const char *format, ...) {
    std::va_list args;
    va_start(args, format);
    say(stderr, format, args);
    va_end(args);
}

void report_failure(const char *format, ...) {
    if (failure_seen) {
        return;
    }
    failure_seen = true;
    std::va_list args;
    va_start(args, format);
    say(stderr, format, args);
    va_end(args);
}

void flush_out() {
    std::fflush(stdout);
}

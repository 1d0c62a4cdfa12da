#include "ZUVLog.h"

#include <cstdarg>
#include <cstdio>

ZUVLog::ZUVLog() : sink(stderr) {}

ZUVLog::ZUVLog(std::FILE* sink) : sink(sink) {}

ZUVLog::~ZUVLog() = default;

void ZUVLog::error(const char* format, ...) {
    ++errorCount;
    va_list args;
    va_start(args, format);
    report("error: ", format, args);
    va_end(args);
}

void ZUVLog::warning(const char* format, ...) {
    ++warningCount;
    va_list args;
    va_start(args, format);
    report("warning: ", format, args);
    va_end(args);
}

void ZUVLog::reset() {
    errorCount = 0;
    warningCount = 0;
    lastMessage.empty();
}

void ZUVLog::report(const char* kind, const char* format, va_list args) {
    char text[1024];
    int n = std::vsnprintf(text, sizeof text, format, args);
    if (n < 0) n = 0;
    if (n >= static_cast<int>(sizeof text))
        n = sizeof text - 1;  // long messages are cut, never split
    lastMessage = kind;
    lastMessage.append(text, n);
    // One message, one line: a line break inside would forge a second message.
    char* p = const_cast<char*>(lastMessage.getText());
    for (int i = 0; i < lastMessage.getLength(); ++i)
        if (p[i] == '\n' || p[i] == '\r') p[i] = ' ';
    write(lastMessage);
}

void ZUVLog::write(const ZUVString& line) {
    if (!sink) return;
    // One call per line keeps lines whole when several logs share a stream.
    char buffer[1100];
    int n = line.getLength();
    if (n > static_cast<int>(sizeof buffer) - 1) n = sizeof buffer - 1;
    std::memcpy(buffer, line.getText(), static_cast<size_t>(n));
    buffer[n] = '\n';
    std::fwrite(buffer, 1, static_cast<size_t>(n) + 1, sink);
    std::fflush(sink);
}

// ZUVLog: where the libraries report errors and warnings.
#ifndef ZUVLOG_H
#define ZUVLOG_H

#include <cstdarg>
#include <cstdio>

#include "ZUVStdExport.h"
#include "ZUVString.h"

// A message sink. Each message is written as one line (a line feed is added;
// line breaks inside a message are turned into spaces) and counted. The log
// keeps the last message in memory, so callers can show or test it whatever
// the sink. Not shared between threads: give each thread its own log.
class ZUVSTD_API ZUVLog {
public:
    // Writes each message as one line to standard error.
    ZUVLog();
    // Writes each message as one line to `sink`, which stays the caller's; a
    // null sink keeps messages in memory only.
    explicit ZUVLog(std::FILE* sink);
    ZUVLog(const ZUVLog&) = delete;
    ZUVLog& operator=(const ZUVLog&) = delete;
    virtual ~ZUVLog();

    // Reports an error: "error: " followed by the formatted message.
    void error(const char* format, ...) __attribute__((format(printf, 2, 3)));
    // Reports a warning: "warning: " followed by the formatted message.
    void warning(const char* format, ...) __attribute__((format(printf, 2, 3)));

    // Number of errors reported since construction or the last reset().
    int getErrorCount() const { return errorCount; }
    // Number of warnings reported since construction or the last reset().
    int getWarningCount() const { return warningCount; }
    // The last message as written, without its line feed; empty if none.
    const ZUVString& getLastMessage() const { return lastMessage; }
    // Forgets the counts and the last message.
    void reset();

protected:
    // Receives every finished line (without its line feed); writes it to the
    // sink. Override to send messages elsewhere.
    virtual void write(const ZUVString& line);

private:
    void report(const char* kind, const char* format, va_list args);

    std::FILE* sink;
    int errorCount = 0;
    int warningCount = 0;
    ZUVString lastMessage;
};

#endif

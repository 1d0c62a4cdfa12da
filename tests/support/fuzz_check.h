// How a fuzzer's failed check ends. Under libFuzzer the process must stop
// where the check failed, so the input is saved and the stack shown. The test
// suite sets the hook to record the failure and throw, ending only that input.
#ifndef ZUVDOM_FUZZ_CHECK_H
#define ZUVDOM_FUZZ_CHECK_H

#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "string_bytes.h"

inline void (*onFailedCheck)(const std::string& reason) = nullptr;

[[noreturn]] inline void checkFailed(const std::string& reason) {
    if (onFailedCheck) onFailedCheck(reason);
    std::fprintf(stderr, "%s\n", reason.c_str());
    std::abort();
}

// A per-process in-memory file for the writer, reachable by name through /proc.
struct MemoryFile {
    int fd;
    std::string path;
    explicit MemoryFile(const char* name) : fd(memfd_create(name, 0)) {
        if (fd < 0) checkFailed(std::string("memfd_create: ") + std::strerror(errno));
        path = "/proc/self/fd/" + std::to_string(fd);
    }
    std::string contents() const { return contentsOf(fd); }
};

#endif

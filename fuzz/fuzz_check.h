// How a fuzzer's failed check ends. Under libFuzzer the process must stop
// where the check failed, so the input is saved and the stack shown. The test
// suite sets the hook to record the failure and throw, ending only that input.
#ifndef ZUVDOM_FUZZ_CHECK_H
#define ZUVDOM_FUZZ_CHECK_H

#include <cstdio>
#include <cstdlib>
#include <string>

inline void (*onFailedCheck)(const std::string& reason) = nullptr;

[[noreturn]] inline void checkFailed(const std::string& reason) {
    if (onFailedCheck) onFailedCheck(reason);
    std::fprintf(stderr, "%s\n", reason.c_str());
    std::abort();
}

#endif

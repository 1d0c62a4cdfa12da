// Feeds arbitrary bytes to ZUVDOM::parseString: whatever the input, the call
// returns, every error is one log line, and deleting the root frees it all.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "ZUVDOM.h"
#include "ZUVLog.h"
#include "ZUVString.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > static_cast<size_t>(ZUVString::kMaxLength)) return 0;
    ZUVLog log(nullptr);
    ZUVDOMElement* root;
    {
        ZUVDOM dom(&log);
        root =
            dom.parseString(ZUVString(reinterpret_cast<const char*>(data), static_cast<int>(size)));
        if (root != dom.getRoot()) std::abort();
    }
    // A refused document is reported once, never more.
    if (log.getErrorCount() > 1) {
        std::fprintf(stderr, "%d errors for one parse; last: %s\n", log.getErrorCount(),
                     log.getLastMessage().getText());
        std::abort();
    }
    delete root;
    return 0;
}

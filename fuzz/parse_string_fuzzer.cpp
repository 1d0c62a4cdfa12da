// Feeds arbitrary bytes to ZUVDOM::parseString: whatever the input, the call
// returns, every error is one log line, and deleting the root frees it all.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "ZUVDOM.h"
#include "ZUVLog.h"
#include "ZUVString.h"
#include "fuzz_check.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > static_cast<size_t>(ZUVString::kMaxLength)) return 0;
    ZUVLog log(nullptr);
    std::unique_ptr<ZUVDOMElement> root;
    {
        ZUVDOM dom(&log);
        root.reset(dom.parseString(
            ZUVString(reinterpret_cast<const char*>(data), static_cast<int>(size))));
        if (root.get() != dom.getRoot()) checkFailed("the root returned is not the DOM's root");
    }
    // A refused document is reported once, never more.
    if (log.getErrorCount() > 1)
        checkFailed(std::to_string(log.getErrorCount()) +
                    " errors for one parse; last: " + log.getLastMessage().getText());
    return 0;
}

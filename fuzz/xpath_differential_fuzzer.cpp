// The bytes choose a document, an expression and a context (tests/support/xpath_oracle.h);
// a difference from libxml2 is printed as a fixture of tests/data/xpath, ready to keep.
#include <cstdint>
#include <string>

#include "fuzz_check.h"
#include "xpath_oracle.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    xpathoracle::Choices choices(data, size);
    std::string document = xpathoracle::makeDocument(choices);
    std::string expression = xpathoracle::makeExpression(choices);
    unsigned context = choices.below(8);
    std::string difference = xpathoracle::compare(document, expression, context);
    if (!difference.empty())
        checkFailed(difference + "\n--- fixture:\n" + std::to_string(context) + "\n" + expression +
                    "\n" + document);
    return 0;
}

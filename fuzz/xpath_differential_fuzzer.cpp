// The fuzzer's bytes choose a small document, an expression from the
// grammar of tests/support/xpath_oracle.h and a context element; libxml2 and we
// evaluate it, and any difference is a finding. The finding is printed in
// the form of the fixtures in tests/data/xpath (context, expression,
// document), ready to be kept.
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

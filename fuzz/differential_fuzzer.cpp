// Every input goes to both engines of the parser, our tokenizer and Expat;
// any difference in verdict, events or error line is a finding.
#include <string>

#include "differential.h"
#include "fuzz_check.h"

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, size_t size) {
    std::string document(reinterpret_cast<const char*>(data), size);
    std::string difference = differential::compare(document);
    if (!difference.empty()) checkFailed("engines differ:\n" + difference);
    return 0;
}

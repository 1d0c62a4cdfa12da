// Every input goes to both engines of the parser, our tokenizer and Expat;
// any difference in verdict, events or error line is a finding.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "../tests/differential.h"

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, size_t size) {
    std::string document(reinterpret_cast<const char*>(data), size);
    std::string difference = differential::compare(document);
    if (!difference.empty()) {
        std::fprintf(stderr, "engines differ:\n%s\n", difference.c_str());
        std::abort();
    }
    return 0;
}

// Every input goes to both engines of the parser, our tokenizer and Expat;
// any difference in verdict, events or error line is a finding, and so is
// any in the start tags' positions asked later, as the builder asks them.
#include <string>

#include "differential.h"
#include "fuzz_check.h"

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, size_t size) {
    std::string document(reinterpret_cast<const char*>(data), size);
    std::string difference = differential::compare(document);
    if (!difference.empty()) checkFailed("engines differ:\n" + difference);
    difference = differential::whereTheyPart(
        differential::laterPositions(document, ZUVSAX2Parser::Engine::Automatic),
        "tokenizer: ", differential::laterPositions(document, ZUVSAX2Parser::Engine::Expat),
        "expat:     ");
    if (!difference.empty()) checkFailed("positions asked later differ:\n" + difference);
    return 0;
}

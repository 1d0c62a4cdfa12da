// Runs one parse of one document for scripts/count-instructions.sh, which
// counts instructions under callgrind inside measuredParse() only, so that
// making the document and the program's start-up are left out.
//
// Usage: count_instructions DOCUMENT ENGINE
//   DOCUMENT: records | wide | balanced | deep | a path to an XML file
//   ENGINE:   sax2 (our parser, callbacks doing nothing) | dom (parse+build)
//             | expat (callbacks doing nothing) | pugixml (whole parse)
// Prints the number of elements, then whether the parse succeeded.
#include <expat.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

#ifdef ZUVDOM_BENCH_PUGIXML
#include <pugixml.hpp>
#endif

#include "ZUVDOM.h"
#include "ZUVDOMElement.h"
#include "ZUVLog.h"
#include "ZUVSAX2Parser.h"
#include "ZUVString.h"
#include "bench_documents.h"

namespace {

void onStart(void*, const char*, const char**) {}
void onEnd(void*, const char*) {}
void onText(void*, const char*, int) {}

// Freed after the count: freeing a tree is not building it.
ZUVDOMElement* built = nullptr;

size_t elementsIn(const std::string& text) {
    size_t count = 0;
    XML_Parser parser = XML_ParserCreate(nullptr);
    XML_SetUserData(parser, &count);
    XML_SetStartElementHandler(parser, [](void* data, const XML_Char*, const XML_Char**) {
        ++*static_cast<size_t*>(data);
    });
    XML_Parse(parser, text.data(), static_cast<int>(text.size()), XML_TRUE);
    XML_ParserFree(parser);
    return count;
}

}  // namespace

// The only function callgrind counts (with everything it calls). Not inlined
// and with C linkage, so the script can name it.
extern "C" __attribute__((noinline)) bool measuredParse(const char* engine,
                                                        const std::string& text) {
    if (std::strcmp(engine, "sax2") == 0) {
        ZUVLog log(nullptr);
        ZUVSAX2Parser parser(nullptr, &log, onStart, onEnd, onText, nullptr);
        ZUVString input;
        input.init(text.data(), static_cast<int>(text.size()));
        return parser.parseString(input) && log.getErrorCount() == 0;
    }
    if (std::strcmp(engine, "dom") == 0) {
        ZUVLog log(nullptr);
        ZUVDOM dom(&log);
        ZUVString input;
        input.init(text.data(), static_cast<int>(text.size()));
        built = dom.parseString(input);
        dom.setRoot(nullptr);
        return built && log.getErrorCount() == 0;
    }
    if (std::strcmp(engine, "expat") == 0) {
        XML_Parser parser = XML_ParserCreate(nullptr);
        XML_SetElementHandler(parser, onStart, onEnd);
        XML_SetCharacterDataHandler(parser, onText);
        bool ok = XML_Parse(parser, text.data(), static_cast<int>(text.size()), XML_TRUE) ==
                  XML_STATUS_OK;
        XML_ParserFree(parser);
        return ok;
    }
#ifdef ZUVDOM_BENCH_PUGIXML
    if (std::strcmp(engine, "pugixml") == 0) {
        // Held past the function: freeing the tree is not building it.
        static pugi::xml_document document;
        return document.load_buffer(text.data(), text.size());
    }
#endif
    return false;
}

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s records|wide|balanced|deep|FILE sax2|dom|expat|pugixml\n",
                     argv[0]);
        return 2;
    }
    std::string which = argv[1];
    std::string text;
    // The sizes of the benchmark's documents of these names; the shapes are
    // cut to a fifth or so, which keeps a callgrind run short and the count
    // per element the same.
    if (which == "records")
        text = makeRecords(20 * 1000 * 1000, 20240601);
    else if (which == "wide")
        text = makeWide(200 * 1000);
    else if (which == "balanced")
        text = makeBalanced(10, 5);
    else if (which == "deep")
        text = makeDeep(2000, 95);
    else {
        std::ifstream file(which, std::ios::binary);
        if (!file) {
            std::fprintf(stderr, "cannot read %s\n", which.c_str());
            return 2;
        }
        std::ostringstream bytes;
        bytes << file.rdbuf();
        text = bytes.str();
    }
    std::printf("elements %zu\n", elementsIn(text));
    bool ok = measuredParse(argv[2], text);
    delete built;
    std::printf("parsed %s\n", ok ? "yes" : "no");
    return ok ? 0 : 1;
}

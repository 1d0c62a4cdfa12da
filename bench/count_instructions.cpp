// Runs one parse of one document for scripts/count-instructions.sh, which
// counts instructions under callgrind inside measuredParse() only, so that
// making the document and the program's start-up are left out.
//
// Usage: count_instructions DOCUMENT ENGINE
//   DOCUMENT: records | wide | balanced | deep | small-300 | a path to an XML file
//             small-300 is the benchmark's many small documents: each engine
//             reads them all once unmeasured, then once counted, with one
//             parser object kept across them as the benchmark keeps one per
//             document (the count is of all 300).
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

// With `keep`, one parser object serves every parse, as for the benchmark's
// many small documents; otherwise each parse makes its own.
bool keep = false;

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

// One parse of `text` by `engine`; true when accepted.
static bool parseOnce(const char* engine, const std::string& text, const ZUVString& input) {
    if (std::strcmp(engine, "sax2") == 0) {
        static ZUVLog keptLog(nullptr);
        static ZUVSAX2Parser keptParser(nullptr, &keptLog, onStart, onEnd, onText, nullptr);
        if (keep) return keptParser.parseString(input) && keptLog.getErrorCount() == 0;
        ZUVLog log(nullptr);
        ZUVSAX2Parser parser(nullptr, &log, onStart, onEnd, onText, nullptr);
        return parser.parseString(input) && log.getErrorCount() == 0;
    }
    if (std::strcmp(engine, "dom") == 0) {
        ZUVLog log(nullptr);
        ZUVDOM dom(&log);
        built = dom.parseString(input);
        dom.setRoot(nullptr);
        return built && log.getErrorCount() == 0;
    }
    if (std::strcmp(engine, "expat") == 0) {
        static XML_Parser kept = XML_ParserCreate(nullptr);
        XML_Parser parser = kept;
        if (keep)
            XML_ParserReset(parser, nullptr);
        else
            parser = XML_ParserCreate(nullptr);
        XML_SetElementHandler(parser, onStart, onEnd);
        XML_SetCharacterDataHandler(parser, onText);
        bool ok = XML_Parse(parser, text.data(), static_cast<int>(text.size()), XML_TRUE) ==
                  XML_STATUS_OK;
        if (!keep) XML_ParserFree(parser);
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

// The only function callgrind counts (with everything it calls). Not inlined
// and with C linkage, so the script can name it.
// `input` holds the bytes of `text`, made before the count as the benchmark
// makes it before its clock starts.
extern "C" __attribute__((noinline)) bool measuredParse(const char* engine, const std::string& text,
                                                        const ZUVString& input) {
    return parseOnce(engine, text, input);
}

// The same parse, not counted: what warms the kept parser objects.
__attribute__((noinline)) bool warmParse(const char* engine, const std::string& text,
                                         const ZUVString& input) {
    bool ok = parseOnce(engine, text, input);
    delete built;
    built = nullptr;
    return ok;
}

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s records|wide|balanced|deep|FILE sax2|dom|expat|pugixml\n",
                     argv[0]);
        return 2;
    }
    std::string which = argv[1];
    if (which == "small-300") {
        keep = true;
        std::vector<std::string> texts = makeSmallDocuments(300, 20240602);
        std::vector<ZUVString> inputs(texts.size());
        size_t elements = 0;
        bool ok = true;
        for (size_t i = 0; i < texts.size(); ++i) {
            inputs[i].init(texts[i].data(), static_cast<int>(texts[i].size()));
            elements += elementsIn(texts[i]);
            ok &= warmParse(argv[2], texts[i], inputs[i]);
        }
        for (size_t i = 0; i < texts.size(); ++i) {
            ok &= measuredParse(argv[2], texts[i], inputs[i]);
            delete built;
            built = nullptr;
        }
        std::printf("elements %zu\ndocuments %zu\nparsed %s\n", elements, texts.size(),
                    ok ? "yes" : "no");
        return ok ? 0 : 1;
    }
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
    ZUVString input;
    input.init(text.data(), static_cast<int>(text.size()));
    bool ok = measuredParse(argv[2], text, input);
    delete built;
    std::printf("parsed %s\n", ok ? "yes" : "no");
    return ok ? 0 : 1;
}

// Path queries: ours, pugixml's and libxml2's XPath on the same trees in the
// same run. Each library parses the document once; an iteration evaluates
// an expression compiled beforehand and reads the size of the result (or
// the number), so what is timed is the evaluation alone. Each benchmark
// reports `result` so the three can be seen to agree; a library that gives
// another answer than ours is marked with an error.
//
// Registered at start-up, so the benchmark program needs no call; the
// documents are made and parsed only when one of their benchmarks runs.
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "ZUVDOM.h"
#include "ZUVDOMElement.h"
#include "ZUVXPath.h"
#include "bench_documents.h"

#ifdef ZUVDOM_BENCH_PUGIXML
#include <pugixml.hpp>
#endif
#ifdef ZUVDOM_BENCH_LIBXML2
#include <libxml/parser.h>
#include <libxml/tree.h>
#include <libxml/xpath.h>
#include <libxml/xpathInternals.h>
#endif

namespace {

// The MIME database names its elements in a default namespace; libxml2
// sees them only through a prefix, pugixml and we by their plain names.
const char kMimeNamespace[] = "http://www.freedesktop.org/standards/shared-mime-info";

struct Query {
    const char* label;
    const char* plain;     // ours and pugixml's
    const char* prefixed;  // libxml2's, when the document has a default namespace
};

struct Source {
    const char* name;
    std::function<std::string()> make;
    bool mimeNamespace;
    std::vector<Query> queries;
};

// One document as each library holds it, parsed on first use.
struct Trees {
    std::string text;
    ZUVDOMElement* ours = nullptr;
#ifdef ZUVDOM_BENCH_PUGIXML
    pugi::xml_document pugi;
#endif
#ifdef ZUVDOM_BENCH_LIBXML2
    xmlDocPtr libxml2 = nullptr;
#endif
};

Trees& trees(const Source& source) {
    static std::vector<std::pair<std::string, std::unique_ptr<Trees>>> all;
    for (auto& entry : all)
        if (entry.first == source.name) return *entry.second;
    std::unique_ptr<Trees> t(new Trees);
    t->text = source.make();
    ZUVDOM dom(nullptr);
    t->ours = dom.parseString(ZUVString(t->text.data(), static_cast<int>(t->text.size())));
#ifdef ZUVDOM_BENCH_PUGIXML
    t->pugi.load_buffer(t->text.data(), t->text.size());
#endif
#ifdef ZUVDOM_BENCH_LIBXML2
    t->libxml2 = xmlReadMemory(t->text.data(), static_cast<int>(t->text.size()), "bench.xml",
                               nullptr, XML_PARSE_NONET | XML_PARSE_HUGE);
#endif
    // Kept to the end of the run; the trees are freed with the process.
    all.emplace_back(source.name, std::move(t));
    return *all.back().second;
}

// Size of a node-set, or the number.
double ourAnswer(const ZUVXPathResult& r) {
    return r.getType() == ZUVXPathResult::kNodeSet ? r.size() : r.getNumber();
}

void runOurs(benchmark::State& state, const Source& source, const Query& query) {
    Trees& t = trees(source);
    ZUVXPath compiled(query.plain);
    if (!compiled.isValid()) return state.SkipWithError(compiled.getErrorMessage().getText());
    double answer = 0;
    for (auto _ : state) {
        ZUVXPathResult r = compiled.evaluate(t.ours);
        answer = ourAnswer(r);
        benchmark::DoNotOptimize(answer);
    }
    state.counters["result"] = answer;
}

double expected(const Source& source, const Query& query) {
    return ourAnswer(ZUVXPath(query.plain).evaluate(trees(source).ours));
}

#ifdef ZUVDOM_BENCH_PUGIXML
void runPugiXml(benchmark::State& state, const Source& source, const Query& query) {
    Trees& t = trees(source);
    pugi::xpath_query compiled(query.plain);
    double answer = 0;
    bool number = compiled.return_type() == pugi::xpath_type_number;
    for (auto _ : state) {
        if (number) {
            answer = compiled.evaluate_number(t.pugi);
        } else {
            pugi::xpath_node_set nodes = compiled.evaluate_node_set(t.pugi);
            answer = static_cast<double>(nodes.size());
        }
        benchmark::DoNotOptimize(answer);
    }
    state.counters["result"] = answer;
    if (answer != expected(source, query)) state.SkipWithError("pugixml's answer differs");
}
#endif

#ifdef ZUVDOM_BENCH_LIBXML2
void runLibXml2(benchmark::State& state, const Source& source, const Query& query) {
    Trees& t = trees(source);
    const char* text = source.mimeNamespace ? query.prefixed : query.plain;
    xmlXPathCompExprPtr compiled = xmlXPathCompile(reinterpret_cast<const xmlChar*>(text));
    xmlXPathContextPtr context = xmlXPathNewContext(t.libxml2);
    xmlXPathRegisterNs(context, reinterpret_cast<const xmlChar*>("m"),
                       reinterpret_cast<const xmlChar*>(kMimeNamespace));
    double answer = 0;
    for (auto _ : state) {
        xmlXPathObjectPtr r = xmlXPathCompiledEval(compiled, context);
        if (!r) break;
        answer =
            r->type == XPATH_NODESET ? (r->nodesetval ? r->nodesetval->nodeNr : 0) : r->floatval;
        benchmark::DoNotOptimize(answer);
        xmlXPathFreeObject(r);
    }
    xmlXPathFreeContext(context);
    xmlXPathFreeCompExpr(compiled);
    state.counters["result"] = answer;
    if (answer != expected(source, query)) state.SkipWithError("libxml2's answer differs");
}
#endif

const char kMimePath[] = "/usr/share/mime/packages/freedesktop.org.xml";

std::string readFile(const char* path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

const std::vector<Source>& sources() {
    static const std::vector<Source> all = {
        {"records-20MB",
         [] { return makeRecords(20 * 1000 * 1000, 20240601); },
         false,
         {{"positional", "/dataset/record[30000]/items/item[1]/@sku", nullptr},
          {"attribute-filter", "/dataset/record[@id='30000']", nullptr},
          {"count", "count(//item)", nullptr},
          {"descendant-value", "//item[@price > 499]", nullptr}}},
        {"freedesktop-mime",
         [] { return readFile(kMimePath); },
         true,
         {{"positional", "/mime-info/mime-type[500]/comment[1]",
           "/m:mime-info/m:mime-type[500]/m:comment[1]"},
          {"attribute-filter", "/mime-info/mime-type[@type='text/html']",
           "/m:mime-info/m:mime-type[@type='text/html']"},
          {"count", "count(//glob)", "count(//m:glob)"},
          {"descendant-value", "//comment[. = 'HTML document']",
           "//m:comment[. = 'HTML document']"}}},
        {"wide-100k",
         [] { return makeWide(100 * 1000); },
         false,
         {{"positional", "/wide/e[99999]", nullptr}, {"last", "/wide/e[last()]", nullptr}}},
    };
    return all;
}

bool registerAll() {
    for (const Source& source : sources()) {
        if (source.mimeNamespace && access(kMimePath, R_OK) != 0) continue;
        for (const Query& query : source.queries) {
            std::string name = std::string("XPath/") + source.name + "/" + query.label + "/";
            benchmark::RegisterBenchmark((name + "ZUVDOM").c_str(), runOurs, source, query);
#ifdef ZUVDOM_BENCH_PUGIXML
            benchmark::RegisterBenchmark((name + "pugixml").c_str(), runPugiXml, source, query);
#endif
#ifdef ZUVDOM_BENCH_LIBXML2
            benchmark::RegisterBenchmark((name + "libxml2").c_str(), runLibXml2, source, query);
#endif
        }
    }
    return true;
}

const bool registered = registerAll();

}  // namespace

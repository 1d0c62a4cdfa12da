#include "bench_documents.h"

#include <expat.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace {

// SplitMix64: tiny, and the same sequence on every platform, unlike the
// distributions of <random>.
class Random {
public:
    explicit Random(uint64_t seed) : state(seed) {}
    uint64_t next() {
        uint64_t z = (state += 0x9e3779b97f4a7c15ull);
        z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
        z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
        return z ^ (z >> 31);
    }
    size_t below(size_t n) { return static_cast<size_t>(next() % n); }

private:
    uint64_t state;
};

const char* const kWords[] = {
    "alpha",  "bravo",  "charlie", "delta",    "echo",    "foxtrot",  "golf",    "hotel",
    "india",  "juliet", "kilo",    "lima",     "mike",    "november", "oscar",   "papa",
    "quebec", "romeo",  "sierra",  "tango",    "uniform", "victor",   "whiskey", "xray",
    "yankee", "zulu",   "river",   "mountain", "station", "harbour",  "meadow",  "lantern"};
constexpr size_t kWordCount = sizeof kWords / sizeof kWords[0];

const char* const kKinds[] = {"order", "invoice", "refund", "quote"};

void words(std::string& out, Random& random, size_t count) {
    for (size_t i = 0; i < count; ++i) {
        if (i) out += ' ';
        out += kWords[random.below(kWordCount)];
    }
}

void number(std::string& out, uint64_t value) {
    out += std::to_string(value);
}

void record(std::string& out, Random& random, uint64_t id) {
    out += "  <record id=\"";
    number(out, id);
    out += "\" kind=\"";
    out += kKinds[random.below(4)];
    out += "\" created=\"2023-";
    number(out, 10 + random.below(3));
    out += "-1";
    number(out, random.below(10));
    out += "T0";
    number(out, random.below(10));
    out += ":00:00Z\" score=\"0.";
    number(out, 1000 + random.below(9000));
    out += "\">\n    <name>";
    words(out, random, 2 + random.below(3));
    out += "</name>\n    <email>user";
    number(out, id);
    out += "@example.org</email>\n    <address><street>";
    number(out, 1 + random.below(200));
    out += ' ';
    words(out, random, 1);
    out += " Street</street><city>";
    words(out, random, 1);
    out += "</city><zip>";
    number(out, 10000 + random.below(90000));
    out += "</zip></address>\n    <tags>";
    for (size_t i = 0, n = 1 + random.below(4); i < n; ++i) {
        out += "<tag>";
        words(out, random, 1);
        out += "</tag>";
    }
    out += "</tags>\n    <items>\n";
    for (size_t i = 0, n = 1 + random.below(5); i < n; ++i) {
        out += "      <item sku=\"A-";
        number(out, 1000 + random.below(9000));
        out += "\" qty=\"";
        number(out, 1 + random.below(9));
        out += "\" price=\"";
        number(out, 1 + random.below(500));
        out += ".";
        number(out, 10 + random.below(90));
        out += "\">";
        words(out, random, 1 + random.below(4));
        out += "</item>\n";
    }
    out += "    </items>\n";
    // Now and then a longer note, with the references real data carries.
    if (random.below(4) == 0) {
        out += "    <note>";
        words(out, random, 8 + random.below(24));
        out += " &amp; ";
        words(out, random, 4);
        out += " &lt;ok&gt;</note>\n";
    }
    out += "  </record>\n";
}

// Leaf, start and end of the small element that the shape documents repeat,
// so that wide, deep and balanced trees cost the same per element.
void leaf(std::string& out, uint64_t id) {
    out += "<e a=\"";
    number(out, id);
    out += "\">t</e>";
}
void open(std::string& out, uint64_t id) {
    out += "<e a=\"";
    number(out, id);
    out += "\">";
}

void balanced(std::string& out, size_t fanout, size_t levels, uint64_t& id) {
    if (levels == 0) return leaf(out, id++);
    open(out, id++);
    for (size_t i = 0; i < fanout; ++i)
        balanced(out, fanout, levels - 1, id);
    out += "t</e>";
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// Counted by Expat, which sees past comments, CDATA and the DOCTYPE.
void XMLCALL countStart(void* data, const XML_Char*, const XML_Char**) {
    ++*static_cast<size_t*>(data);
}

size_t countElements(const std::string& text) {
    size_t count = 0;
    XML_Parser parser = XML_ParserCreate(nullptr);
    XML_SetUserData(parser, &count);
    XML_SetStartElementHandler(parser, countStart);
    XML_Parse(parser, text.data(), static_cast<int>(text.size()), XML_TRUE);
    XML_ParserFree(parser);
    return count;
}

Document* generated(const char* name, unsigned uses, std::function<std::string()> make) {
    return new Document(name, uses, std::move(make));
}

}  // namespace

Document::Document(std::string name, unsigned uses, std::function<std::string()> make)
    : name(std::move(name)), uses(uses), make(std::move(make)) {}

const std::string& Document::getText() {
    if (!made) {
        text = make();
        made = true;
        elements = countElements(text);
    }
    return text;
}

size_t Document::getElementCount() {
    getText();
    return elements;
}

const std::string& Document::getPath() {
    if (!sourcePath.empty()) return sourcePath;
    if (path.empty()) {
        std::string file = scratchDirectory() + "/" + name + ".xml";
        const std::string& bytes = getText();
        std::FILE* out = std::fopen(file.c_str(), "wb");
        if (!out || std::fwrite(bytes.data(), 1, bytes.size(), out) != bytes.size())
            throw std::runtime_error("cannot write " + file);
        std::fclose(out);
        path = file;
    }
    return path;
}

std::string makeRecords(size_t bytes, uint64_t seed) {
    Random random(seed);
    std::string out;
    out.reserve(bytes + 4096);
    out += "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<dataset seed=\"";
    number(out, seed);
    out += "\">\n";
    for (uint64_t id = 1; out.size() < bytes; ++id)
        record(out, random, id);
    out += "</dataset>\n";
    return out;
}

std::string makeWide(size_t children) {
    std::string out = "<wide>\n";
    for (size_t i = 0; i < children; ++i) {
        leaf(out, i);
        out += '\n';
    }
    out += "</wide>\n";
    return out;
}

std::string makeDeep(size_t chains, size_t depth) {
    std::string out = "<deep>\n";
    uint64_t id = 0;
    for (size_t c = 0; c < chains; ++c) {
        for (size_t i = 0; i < depth; ++i)
            open(out, id++);
        for (size_t i = 0; i < depth; ++i)
            out += "t</e>";
        out += '\n';
    }
    out += "</deep>\n";
    return out;
}

std::string makeBalanced(size_t fanout, size_t levels) {
    std::string out = "<balanced>\n";
    uint64_t id = 0;
    for (size_t i = 0; i < fanout; ++i)
        balanced(out, fanout, levels - 1, id);
    out += "\n</balanced>\n";
    return out;
}

// A locale: month and day names, formats, and messages keyed by id, as
// locale and translation files hold them.
void locale(std::string& out, Random& random, size_t bytes) {
    out += "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<locale name=\"";
    out += kWords[random.below(kWordCount)];
    out += "_";
    number(out, random.below(100));
    out += "\">\n  <calendar type=\"gregorian\">\n";
    for (const char* width : {"wide", "abbreviated", "narrow"}) {
        out += "    <months width=\"";
        out += width;
        out += "\">";
        for (int m = 1; m <= 12; ++m) {
            out += "<month type=\"";
            number(out, static_cast<uint64_t>(m));
            out += "\">";
            words(out, random, 1);
            out += "</month>";
        }
        out += "</months>\n";
    }
    out += "  </calendar>\n  <messages>\n";
    for (uint64_t id = 1; out.size() < bytes; ++id) {
        out += "    <msg id=\"";
        words(out, random, 1);
        out += ".";
        number(out, id);
        out += "\">";
        words(out, random, 2 + random.below(12));
        out += "</msg>\n";
    }
    out += "  </messages>\n</locale>\n";
}

// A configuration: nested sections of keys with values in attributes.
void configuration(std::string& out, Random& random, size_t bytes) {
    out += "<?xml version=\"1.0\"?>\n<configuration>\n";
    while (out.size() < bytes) {
        out += "  <section name=\"";
        words(out, random, 1);
        out += "\">\n";
        for (size_t k = 0, n = 2 + random.below(20); k < n; ++k) {
            out += "    <key name=\"";
            words(out, random, 1);
            out += "\" value=\"";
            number(out, random.below(100000));
            out += "\"/>\n";
        }
        if (random.below(3) == 0) {
            out += "    <list>";
            for (size_t i = 0, n = 1 + random.below(6); i < n; ++i) {
                out += "<item>";
                words(out, random, 1);
                out += "</item>";
            }
            out += "</list>\n";
        }
        out += "  </section>\n";
    }
    out += "</configuration>\n";
}

std::vector<std::string> makeSmallDocuments(size_t count, uint64_t seed) {
    Random random(seed);
    std::vector<std::string> documents(count);
    for (std::string& out : documents) {
        // 10 to 200 KB, most of them small, as such files are.
        double unit = static_cast<double>(random.below(1000)) / 1000.0;
        size_t bytes = static_cast<size_t>(10000.0 * std::pow(20.0, unit * unit));
        if (random.below(2))
            locale(out, random, bytes);
        else
            configuration(out, random, bytes);
    }
    return documents;
}

std::vector<Document*> allDocuments(bool large) {
    constexpr size_t kMB = 1000 * 1000;
    constexpr uint64_t kSeed = 20240601;
    std::vector<Document*> documents;
    documents.push_back(
        generated("records-1MB", kUseParseDestroy, [] { return makeRecords(1 * kMB, kSeed); }));
    documents.push_back(
        generated("records-3MB", kUseParseDestroy, [] { return makeRecords(3 * kMB, kSeed); }));
    documents.push_back(
        generated("records-10MB", kUseAll, [] { return makeRecords(10 * kMB, kSeed); }));
    documents.push_back(generated("records-20MB", kUseParseDestroy | kUseFirstParse | kUseStates,
                                  [] { return makeRecords(20 * kMB, kSeed); }));
    if (large) {
        documents.push_back(generated("records-30MB", kUseParseDestroy,
                                      [] { return makeRecords(30 * kMB, kSeed); }));
        documents.push_back(generated("records-100MB", kUseParseDestroy | kUseFile,
                                      [] { return makeRecords(100 * kMB, kSeed); }));
    }
    // The shapes: about a million elements each, all of the same small kind.
    documents.push_back(generated("wide-1M",
                                  kUseParseDestroy | kUseNavigate | kUseWrite | kUseFirstParse,
                                  [] { return makeWide(1000 * 1000); }));
    documents.push_back(generated("balanced-10x6", kUseParseDestroy | kUseNavigate | kUseFirstParse,
                                  [] { return makeBalanced(10, 6); }));
    // 95 below the root, 10,000 times: within tinyxml2's depth limit, so that
    // deep trees can be set against it too.
    documents.push_back(
        generated("deep-10000x95", kUseParseDestroy, [] { return makeDeep(10000, 95); }));
    // 9,999 below the root: the deepest nesting our parser accepts.
    documents.push_back(generated("deep-100x9999", kUseParseDestroy | kUseNavigate,
                                  [] { return makeDeep(100, 9999); }));

    const char* const real[][2] = {
        {"freedesktop-mime", "/usr/share/mime/packages/freedesktop.org.xml"},
        {"iso-639-3", "/usr/share/xml/iso-codes/iso_639-3.xml"},
        // Not well-formed (a bare '&' at 6747:33): Expat, libxml2 and we refuse
        // it, pugixml and tinyxml2 take it; kept to show that difference.
        {"iso-3166-2", "/usr/share/xml/iso-codes/iso_3166-2.xml"},
        {"xkb-base", "/usr/share/X11/xkb/rules/base.xml"},
    };
    for (const auto& entry : real) {
        std::string path = entry[1];
        if (access(path.c_str(), R_OK) != 0) continue;
        // The MIME database also in the states a real program is in.
        unsigned uses =
            std::strcmp(entry[0], "freedesktop-mime") == 0 ? kUseAll | kUseStates : kUseAll;
        Document* document = generated(entry[0], uses, [path] { return readFile(path); });
        document->setSourcePath(path);
        documents.push_back(document);
    }
    return documents;
}

const std::string& scratchDirectory() {
    // Never destroyed: the exit handler that removes the directory may run
    // after the destructors of function-local statics.
    static const std::string* directory = [] {
        const char* base = std::getenv("TMPDIR");
        std::string* pattern =
            new std::string(std::string(base && *base ? base : "/tmp") + "/zuvdom-bench-XXXXXX");
        if (!mkdtemp(&(*pattern)[0])) throw std::runtime_error("cannot create " + *pattern);
        std::atexit([] {
            std::string command = "rm -rf '" + scratchDirectory() + "'";
            if (std::system(command.c_str()) != 0)
                std::fprintf(stderr, "could not remove %s\n", scratchDirectory().c_str());
        });
        return pattern;
    }();
    return *directory;
}

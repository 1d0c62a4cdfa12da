// The benchmark: parse and build, navigate, write and free trees with our
// library and with the peers installed here, on the same documents in the
// same process, so that the ratios hold on a noisy machine.
//
// Timing: each iteration is timed by hand around the work measured alone
// (a parse without the freeing that follows it, a free without the parse
// that preceded it). Run with --benchmark_repetitions and read the medians.
//
// Memory: the heap in use (see heapInUse) just before and just after the
// first parse of a document into a fresh tree object, less what is still in
// use once that tree is freed when that is the parser's (ours: Expat's copy
// of the string; the peers keep only node pools, which are the tree's). The
// difference is what the living tree holds: nodes, strings, indexes, and for
// the peers that parse in place the copy of the input they keep. The
// parser's own state is not counted (ours is reported as parser_kept_bytes).
// Ours is also given as page_bytes_per_element: the pool pages the tree
// holds, with the bytes in them that no block uses.
#include <expat.h>

#include <spawn.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <benchmark/benchmark.h>

#include "ZUVDOM.h"
#include "ZUVDOMElement.h"
#include "ZUVDOMPrinter.h"
#include "ZUVDOMWriter.h"
#include "ZUVFile.h"
#include "ZUVLog.h"
#include "ZUVOrderedVector.h"
#include "ZUVPool.h"
#include "ZUVSAX2Parser.h"
#include "ZUVString.h"
#include "bench_documents.h"
#include "bench_memory.h"

#ifdef ZUVDOM_BENCH_TINYXML2
#include <tinyxml2.h>
#endif
#ifdef ZUVDOM_BENCH_PUGIXML
#include <pugixml.hpp>
#endif
#ifdef ZUVDOM_BENCH_LIBXML2
#include <libxml/parser.h>
#include <libxml/tree.h>
#include <libxml/xmlversion.h>
#endif

namespace {

// The CPU time of this thread: on a shared machine the wall clock also counts
// the time other processes held the core. Page faults and the system calls
// of file reads and writes are on this thread, so they stay counted.
struct Clock {
    using time_point = double;
    static double now() {
        timespec time;
        clock_gettime(CLOCK_THREAD_CPUTIME_ID, &time);
        return static_cast<double>(time.tv_sec) + static_cast<double>(time.tv_nsec) * 1e-9;
    }
};

double secondsSince(Clock::time_point start) {
    return Clock::now() - start;
}

// Bytes of a file, or 0 when it cannot be read.
long fileSize(const std::string& path) {
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (!file) return 0;
    std::fseek(file, 0, SEEK_END);
    long size = std::ftell(file);
    std::fclose(file);
    return size;
}

// ---------------------------------------------------------------------------
// The libraries, each behind the same small interface: prepare the input,
// parse it into a tree held by the adapter, walk the tree, write it, free it.

class Ours {
public:
    static constexpr const char* kName = "ZUVDOM";
    static constexpr bool kBuildsTree = true;
    // What stays in use once our tree is freed is the parser's: Expat keeps
    // its copy of a string it parsed until the next parse. Our pool counts
    // blocks in use, so nothing of the tree's is left in it.
    static constexpr bool kParserKeepsState = true;

    Ours() : log(nullptr), dom(&log) {}
    ~Ours() { destroy(); }

    void prepare(const std::string& text) {
        input.init(text.data(), static_cast<int>(text.size()));
    }
    bool parseString() { return finish(dom.parseString(input)); }
    bool parseFile(const std::string& path) {
        ZUVFile file;
        file = ZUVString(path.c_str());
        return finish(dom.parseFile(file));
    }
    void destroy() {
        delete root;
        root = nullptr;
    }
    size_t walkByPosition() const { return byPosition(root); }
    size_t walkByName() const { return byName(root); }
    void write(const std::string& path) const {
        ZUVDOMWriter writer(ZUVString(path.c_str()), root);
    }
    size_t writeString() const { return ZUVDOMPrinter().toStdString(root).size(); }

private:
    bool finish(ZUVDOMElement* built) {
        // The builder keeps its last root; a refused document must not hand
        // back the tree of the one before.
        dom.setRoot(nullptr);
        root = built;
        bool ok = log.getErrorCount() == 0 && root;
        log.reset();
        return ok;
    }
    static size_t byPosition(const ZUVDOMElement* element) {
        size_t visited = 1;
        for (int i = 0, n = element->getElementCount(); i < n; ++i)
            visited += byPosition(element->getElement(i));
        return visited;
    }
    static size_t byName(const ZUVDOMElement* element) {
        size_t found = 1;
        for (int i = 0, n = element->getElementCount(); i < n; ++i) {
            const ZUVDOMElement* child = element->getElement(i);
            if (element->getFirstElement(child->getTagName())) found += byName(child);
        }
        return found;
    }

    ZUVLog log;
    ZUVDOM dom;
    ZUVString input;
    ZUVDOMElement* root = nullptr;
};

// Expat with handlers that do nothing: the ceiling for any tree built on it.
class ExpatNoOp {
public:
    static constexpr const char* kName = "Expat";
    static constexpr bool kBuildsTree = false;
    static constexpr bool kParserKeepsState = true;

    ExpatNoOp() : parser(XML_ParserCreate(nullptr)) {}
    ~ExpatNoOp() { XML_ParserFree(parser); }

    void prepare(const std::string& text) { input = &text; }
    bool parseString() {
        begin();
        return XML_Parse(parser, input->data(), static_cast<int>(input->size()), XML_TRUE) ==
               XML_STATUS_OK;
    }
    // In chunks of the size our parser reads, through Expat's own buffer.
    bool parseFile(const std::string& path) {
        std::FILE* file = std::fopen(path.c_str(), "rb");
        if (!file) return false;
        begin();
        bool ok = true;
        for (;;) {
            void* buffer = XML_GetBuffer(parser, ZUVSAX2Parser::kChunkSize);
            size_t length = std::fread(buffer, 1, ZUVSAX2Parser::kChunkSize, file);
            bool last = length == 0;
            if (XML_ParseBuffer(parser, static_cast<int>(length), last) != XML_STATUS_OK) {
                ok = false;
                break;
            }
            if (last) break;
        }
        std::fclose(file);
        return ok;
    }
    void destroy() {}
    size_t walkByPosition() const { return 0; }
    size_t walkByName() const { return 0; }
    void write(const std::string&) const {}
    size_t writeString() const { return 0; }

private:
    static void XMLCALL onStart(void*, const XML_Char*, const XML_Char**) {}
    static void XMLCALL onEnd(void*, const XML_Char*) {}
    static void XMLCALL onText(void*, const XML_Char*, int) {}
    void begin() {
        XML_ParserReset(parser, nullptr);
        XML_SetElementHandler(parser, onStart, onEnd);
        XML_SetCharacterDataHandler(parser, onText);
    }

    XML_Parser parser;
    const std::string* input = nullptr;
};

// Our parser with callbacks that do nothing: what parsing costs us before
// any tree is built, so that parse+build minus this is the build alone.
class Sax2NoOp {
public:
    static constexpr const char* kName = "ZUVSAX2";
    static constexpr bool kBuildsTree = false;
    static constexpr bool kParserKeepsState = true;

    Sax2NoOp() : log(nullptr), parser(nullptr, &log, onStart, onEnd, onText, nullptr) {}

    void prepare(const std::string& text) {
        input.init(text.data(), static_cast<int>(text.size()));
    }
    bool parseString() { return finish(parser.parseString(input)); }
    bool parseFile(const std::string& path) {
        ZUVFile file;
        file = ZUVString(path.c_str());
        return finish(parser.parseFile(file));
    }
    void destroy() {}
    size_t walkByPosition() const { return 0; }
    size_t walkByName() const { return 0; }
    void write(const std::string&) const {}
    size_t writeString() const { return 0; }

private:
    static void onStart(void*, const char*, const char**) {}
    static void onEnd(void*, const char*) {}
    static void onText(void*, const char*, int) {}
    bool finish(bool ok) {
        ok = ok && log.getErrorCount() == 0;
        log.reset();
        return ok;
    }

    ZUVLog log;
    ZUVSAX2Parser parser;
    ZUVString input;
};

// The least a tree of copies costs on our parser and our foundation: each
// element a pool block with its name, its text, its attributes' names and
// values copied in one block, and one list of its children. No name index,
// no lookups: whatever a tree that keeps the interface's indexes costs on
// top of this comes from them. Built by hand here, never used by the library.
class CopyFloor {
public:
    static constexpr const char* kName = "CopyFloor";
    static constexpr bool kBuildsTree = false;
    static constexpr bool kParserKeepsState = true;

    CopyFloor() : log(nullptr), parser(this, &log, onStart, onEnd, onText, nullptr) {}
    ~CopyFloor() { destroy(); }

    void prepare(const std::string& text) {
        input.init(text.data(), static_cast<int>(text.size()));
    }
    bool parseString() {
        bool ok = parser.parseString(input) && log.getErrorCount() == 0 && root;
        log.reset();
        text = ZUVString();
        return ok;
    }
    bool parseFile(const std::string&) { return false; }
    void destroy() {
        if (root) release(root);
        root = top = nullptr;
    }
    size_t walkByPosition() const { return 0; }
    size_t walkByName() const { return 0; }
    void write(const std::string&) const {}
    size_t writeString() const { return 0; }

private:
    struct Element {
        ZUVString name;
        ZUVString value;
        Element* parent;
        ZUVString* attributes;  // names and values, in pairs
        int attributeCount;
        ZUVOrderedVector* children;
    };

    static void onStart(void* userData, const char* name, const char** attributes) {
        CopyFloor* self = static_cast<CopyFloor*>(userData);
        self->text.empty();
        Element* element = static_cast<Element*>(ZUVPool::allocate(sizeof(Element)));
        ::new (&element->name) ZUVString(name);
        ::new (&element->value) ZUVString();
        element->parent = self->top;
        element->attributes = nullptr;
        element->children = nullptr;
        int strings = 0;
        while (attributes[strings])
            strings += 2;
        element->attributeCount = strings / 2;
        if (strings) {
            element->attributes =
                static_cast<ZUVString*>(ZUVPool::allocate(sizeof(ZUVString) * strings));
            for (int i = 0; i < strings; ++i)
                ::new (&element->attributes[i]) ZUVString(attributes[i]);
        }
        if (self->top) {
            if (!self->top->children) self->top->children = new ZUVOrderedVector(2);
            self->top->children->addElement(element, true);
        } else {
            self->root = element;
        }
        self->top = element;
    }
    static void onEnd(void* userData, const char*) {
        CopyFloor* self = static_cast<CopyFloor*>(userData);
        if (self->text.getLength() != 0)
            self->top->value.init(self->text.getText(), self->text.getLength());
        self->text.empty();
        self->top = self->top->parent;
    }
    static void onText(void* userData, const char* text, int length) {
        static_cast<CopyFloor*>(userData)->text.append(text, length);
    }
    static void release(Element* element) {
        if (element->children) {
            for (int i = 0; i < element->children->size(); ++i)
                release(static_cast<Element*>(element->children->elementAt(i)));
            delete element->children;
        }
        int strings = 2 * element->attributeCount;
        for (int i = 0; i < strings; ++i)
            element->attributes[i].~ZUVString();
        if (strings) ZUVPool::release(element->attributes, sizeof(ZUVString) * strings);
        element->name.~ZUVString();
        element->value.~ZUVString();
        ZUVPool::release(element, sizeof(Element));
    }

    ZUVLog log;
    ZUVSAX2Parser parser;
    ZUVString input;
    ZUVString text;
    Element* root = nullptr;
    Element* top = nullptr;
};

#ifdef ZUVDOM_BENCH_TINYXML2
class TinyXml2 {
public:
    static constexpr const char* kName = "tinyxml2";
    static constexpr bool kBuildsTree = true;
    // What it keeps after freeing a tree (its node pools) is the tree's.
    static constexpr bool kParserKeepsState = false;

    void prepare(const std::string& text) { input = &text; }
    bool parseString() {
        return document.Parse(input->data(), input->size()) == tinyxml2::XML_SUCCESS;
    }
    bool parseFile(const std::string& path) {
        return document.LoadFile(path.c_str()) == tinyxml2::XML_SUCCESS;
    }
    void destroy() { document.Clear(); }
    size_t walkByPosition() const { return byPosition(document.RootElement()); }
    size_t walkByName() const { return byName(document.RootElement()); }
    void write(const std::string& path) { document.SaveFile(path.c_str()); }
    size_t writeString() const {
        tinyxml2::XMLPrinter printer;
        document.Print(&printer);
        return static_cast<size_t>(printer.CStrSize());
    }

private:
    static size_t byPosition(const tinyxml2::XMLElement* element) {
        size_t visited = 1;
        for (const tinyxml2::XMLElement* child = element->FirstChildElement(); child;
             child = child->NextSiblingElement())
            visited += byPosition(child);
        return visited;
    }
    static size_t byName(const tinyxml2::XMLElement* element) {
        size_t found = 1;
        for (const tinyxml2::XMLElement* child = element->FirstChildElement(); child;
             child = child->NextSiblingElement())
            if (element->FirstChildElement(child->Name())) found += byName(child);
        return found;
    }

    tinyxml2::XMLDocument document;
    const std::string* input = nullptr;
};
#endif

#ifdef ZUVDOM_BENCH_LIBXML2
class LibXml2 {
public:
    static constexpr const char* kName = "libxml2";
    static constexpr bool kBuildsTree = true;
    // What it keeps after freeing a tree (its node pools) is the tree's.
    static constexpr bool kParserKeepsState = false;
    // No blank text nodes, like the other trees; no depth or size limits,
    // like our parser up to its own.
    static constexpr int kOptions = XML_PARSE_NOBLANKS | XML_PARSE_HUGE | XML_PARSE_NONET;

    ~LibXml2() { destroy(); }
    void prepare(const std::string& text) { input = &text; }
    bool parseString() {
        document = xmlReadMemory(input->data(), static_cast<int>(input->size()), "memory.xml",
                                 nullptr, kOptions);
        return document != nullptr;
    }
    bool parseFile(const std::string& path) {
        document = xmlReadFile(path.c_str(), nullptr, kOptions);
        return document != nullptr;
    }
    void destroy() {
        if (document) xmlFreeDoc(document);
        document = nullptr;
    }
    size_t walkByPosition() const { return byPosition(xmlDocGetRootElement(document)); }
    size_t walkByName() const { return byName(xmlDocGetRootElement(document)); }
    void write(const std::string& path) const { xmlSaveFile(path.c_str(), document); }
    size_t writeString() const {
        xmlChar* text = nullptr;
        int size = 0;
        xmlDocDumpMemory(document, &text, &size);
        xmlFree(text);
        return static_cast<size_t>(size);
    }

private:
    static size_t byPosition(const xmlNode* element) {
        size_t visited = 1;
        for (const xmlNode* child = element->children; child; child = child->next)
            if (child->type == XML_ELEMENT_NODE) visited += byPosition(child);
        return visited;
    }
    // libxml2 has no lookup by name: a scan of the children is what its
    // callers write.
    static const xmlNode* firstNamed(const xmlNode* element, const xmlChar* name) {
        for (const xmlNode* child = element->children; child; child = child->next)
            if (child->type == XML_ELEMENT_NODE && xmlStrEqual(child->name, name)) return child;
        return nullptr;
    }
    static size_t byName(const xmlNode* element) {
        size_t found = 1;
        for (const xmlNode* child = element->children; child; child = child->next)
            if (child->type == XML_ELEMENT_NODE && firstNamed(element, child->name))
                found += byName(child);
        return found;
    }

    xmlDocPtr document = nullptr;
    const std::string* input = nullptr;
};
#endif

#ifdef ZUVDOM_BENCH_PUGIXML
class PugiXml {
public:
    static constexpr const char* kName = "pugixml";
    static constexpr bool kBuildsTree = true;
    // What it keeps after freeing a tree (its node pools) is the tree's.
    static constexpr bool kParserKeepsState = false;

    void prepare(const std::string& text) { input = &text; }
    bool parseString() { return document.load_buffer(input->data(), input->size()); }
    bool parseFile(const std::string& path) { return document.load_file(path.c_str()); }
    void destroy() { document.reset(); }
    size_t walkByPosition() const { return byPosition(document.document_element()); }
    size_t walkByName() const { return byName(document.document_element()); }
    void write(const std::string& path) const { document.save_file(path.c_str()); }
    size_t writeString() const {
        std::ostringstream out;
        document.save(out);
        return out.str().size();
    }

private:
    static size_t byPosition(pugi::xml_node element) {
        size_t visited = 1;
        for (pugi::xml_node child = element.first_child(); child; child = child.next_sibling())
            if (child.type() == pugi::node_element) visited += byPosition(child);
        return visited;
    }
    static size_t byName(pugi::xml_node element) {
        size_t found = 1;
        for (pugi::xml_node child = element.first_child(); child; child = child.next_sibling())
            if (child.type() == pugi::node_element && element.child(child.name()))
                found += byName(child);
        return found;
    }

    pugi::xml_document document;
    const std::string* input = nullptr;
};
#endif

// ---------------------------------------------------------------------------
// Workloads

enum class Workload {
    ParseString,
    ParseFile,
    NavigatePosition,
    NavigateName,
    Write,
    WriteString,
    Destroy,
    FirstParse
};

const char* workloadName(Workload workload) {
    switch (workload) {
        case Workload::ParseString:
            return "ParseString";
        case Workload::ParseFile:
            return "ParseFile";
        case Workload::NavigatePosition:
            return "NavigatePosition";
        case Workload::NavigateName:
            return "NavigateName";
        case Workload::Write:
            return "Write";
        case Workload::WriteString:
            return "WriteString";
        case Workload::Destroy:
            return "Destroy";
        case Workload::FirstParse:
            return "FirstParse";
    }
    return "?";
}

unsigned workloadUse(Workload workload) {
    switch (workload) {
        case Workload::ParseString:
            return kUseParse;
        case Workload::ParseFile:
            return kUseFile;
        case Workload::NavigatePosition:
        case Workload::NavigateName:
            return kUseNavigate;
        case Workload::Write:
        case Workload::WriteString:
            return kUseWrite;
        case Workload::Destroy:
            return kUseDestroy;
        case Workload::FirstParse:
            return kUseFirstParse;
    }
    return 0;
}

void setThroughput(benchmark::State& state, Document* document) {
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                            static_cast<int64_t>(document->getText().size()));
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) *
                            static_cast<int64_t>(document->getElementCount()));
    state.counters["elements"] = static_cast<double>(document->getElementCount());
    state.counters["doc_bytes"] = static_cast<double>(document->getText().size());
}

template <class Library>
void runParse(benchmark::State& state, Document* document, bool fromFile) {
    const std::string& text = document->getText();
    const std::string& path = document->getPath();
    auto library = std::make_unique<Library>();
    library->prepare(text);
    auto parse = [&] { return fromFile ? library->parseFile(path) : library->parseString(); };

    // Ours also by the pool's pages the tree holds, dead bytes included:
    // with no page kept empty, every page it takes is counted.
    size_t reserve = ZUVPool::getReserve();
    ZUVPool::setReserve(0);
    ZUVPool::trim();
    size_t pagesBefore = ZUVPool::getSlabBytes();
    long before = static_cast<long>(heapInUse());
    bool ok = parse();
    long after = static_cast<long>(heapInUse());
    size_t pageBytes = ZUVPool::getSlabBytes() - pagesBefore;
    ZUVPool::setReserve(reserve);
    library->destroy();
    long kept = Library::kParserKeepsState ? static_cast<long>(heapInUse()) - before : 0;
    long treeBytes = after - before - kept;
    if (!ok) {
        state.SkipWithError("the library refused the document");
        return;
    }
    for (auto _ : state) {
        Clock::time_point start = Clock::now();
        parse();
        state.SetIterationTime(secondsSince(start));
        library->destroy();
    }
    setThroughput(state, document);
    if (!fromFile && Library::kBuildsTree) {
        state.counters["tree_bytes"] = static_cast<double>(treeBytes);
        state.counters["parser_kept_bytes"] = static_cast<double>(kept);
        state.counters["bytes_per_element"] =
            static_cast<double>(treeBytes) / static_cast<double>(document->getElementCount());
        if (std::strcmp(Library::kName, Ours::kName) == 0)
            state.counters["page_bytes_per_element"] =
                static_cast<double>(pageBytes) / static_cast<double>(document->getElementCount());
    }
}

template <class Library>
void runNavigate(benchmark::State& state, Document* document, bool byName) {
    auto library = std::make_unique<Library>();
    library->prepare(document->getText());
    if (!library->parseString()) {
        state.SkipWithError("the library refused the document");
        return;
    }
    size_t visited = 0;
    for (auto _ : state) {
        Clock::time_point start = Clock::now();
        visited = byName ? library->walkByName() : library->walkByPosition();
        benchmark::DoNotOptimize(visited);
        state.SetIterationTime(secondsSince(start));
    }
    if (visited != document->getElementCount())
        state.SkipWithError("the walk did not reach every element");
    setThroughput(state, document);
}

template <class Library>
void runWrite(benchmark::State& state, Document* document) {
    auto library = std::make_unique<Library>();
    library->prepare(document->getText());
    if (!library->parseString()) {
        state.SkipWithError("the library refused the document");
        return;
    }
    std::string path =
        scratchDirectory() + "/" + Library::kName + "-" + document->getName() + ".out.xml";
    for (auto _ : state) {
        Clock::time_point start = Clock::now();
        library->write(path);
        state.SetIterationTime(secondsSince(start));
    }
    long written = fileSize(path);
    std::remove(path.c_str());
    if (written <= 0) state.SkipWithError("nothing was written");
    setThroughput(state, document);
    state.counters["output_bytes"] = static_cast<double>(written);
}

// The document into a std::string, each library its own way: ours through
// ZUVDOMPrinter, pugixml's save() to a std::ostringstream, tinyxml2's
// XMLPrinter, libxml2's xmlDocDumpMemory().
template <class Library>
void runWriteString(benchmark::State& state, Document* document) {
    auto library = std::make_unique<Library>();
    library->prepare(document->getText());
    if (!library->parseString()) {
        state.SkipWithError("the library refused the document");
        return;
    }
    size_t written = 0;
    for (auto _ : state) {
        Clock::time_point start = Clock::now();
        written = library->writeString();
        benchmark::DoNotOptimize(written);
        state.SetIterationTime(secondsSince(start));
    }
    if (written == 0) state.SkipWithError("nothing was written");
    setThroughput(state, document);
    state.counters["output_bytes"] = static_cast<double>(written);
}

template <class Library>
void runDestroy(benchmark::State& state, Document* document) {
    auto library = std::make_unique<Library>();
    library->prepare(document->getText());
    for (auto _ : state) {
        if (!library->parseString()) {
            state.SkipWithError("the library refused the document");
            break;
        }
        Clock::time_point start = Clock::now();
        library->destroy();
        state.SetIterationTime(secondsSince(start));
    }
    setThroughput(state, document);
}

// A first parse: one parse from a string in a fresh process, the way a
// program that reads one document meets it. Every page of the tree is new
// to that process, where the other workloads reuse the memory that their
// earlier iterations kept. Each iteration runs this program again with
// kFirstParseFlag, which makes it parse once, print the time and exit.
constexpr const char* kFirstParseFlag = "--first-parse=";

template <class Library>
int firstParseChild(Document* document) {
    Library library;
    library.prepare(document->getText());
    Clock::time_point start = Clock::now();
    bool ok = library.parseString();
    double seconds = secondsSince(start);
    if (!ok) return 1;
    std::printf("%.9f\n", seconds);
    std::fflush(stdout);
    // As a one-shot program would, leave without freeing the tree.
    std::_Exit(0);
}

// Memory the system has free is not always memory the machine holds: a
// virtual machine may hand pages it was told are free back to its host, and
// the first touch of one then costs far more than a page fault. Touching and
// freeing this much just before each child starts every child from the same
// state, the one a machine with real free memory is always in.
constexpr size_t kBackedBytes = static_cast<size_t>(1) << 30;

void touchFreeMemory() {
    void* block =
        mmap(nullptr, kBackedBytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (block == MAP_FAILED) return;
    madvise(block, kBackedBytes, MADV_HUGEPAGE);
    for (size_t at = 0; at < kBackedBytes; at += 4096)
        static_cast<volatile char*>(block)[at] = 1;
    munmap(block, kBackedBytes);
}

// The seconds a child printed, or a negative number when it failed.
double runChild(const std::string& argument) {
    int out[2];
    if (pipe(out) != 0) return -1;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, out[0]);
    char self[] = "/proc/self/exe";
    std::string arg = argument;
    char* argv[] = {self, arg.data(), nullptr};
    pid_t pid;
    int spawned = posix_spawn(&pid, self, &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    std::string printed;
    char buffer[64];
    for (ssize_t n; (n = read(out[0], buffer, sizeof buffer)) > 0;)
        printed.append(buffer, static_cast<size_t>(n));
    close(out[0]);
    if (spawned != 0) return -1;
    int status = 0;
    if (waitpid(pid, &status, 0) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
        return -1;
    return std::atof(printed.c_str());
}

template <class Library>
void runFirstParse(benchmark::State& state, Document* document) {
    std::string argument =
        std::string(kFirstParseFlag) + Library::kName + "/" + document->getName();
    for (auto _ : state) {
        touchFreeMemory();
        double seconds = runChild(argument);
        if (seconds <= 0) {
            state.SkipWithError("the first parse failed");
            return;
        }
        state.SetIterationTime(seconds);
    }
    setThroughput(state, document);
}

template <class Library>
void registerOne(Workload workload, Document* document) {
    bool tree = workload != Workload::ParseString && workload != Workload::ParseFile &&
                workload != Workload::FirstParse;
    if (tree && !Library::kBuildsTree) return;
    std::string name =
        std::string(workloadName(workload)) + "/" + Library::kName + "/" + document->getName();
    auto run = [workload, document](benchmark::State& state) {
        switch (workload) {
            case Workload::ParseString:
                return runParse<Library>(state, document, false);
            case Workload::ParseFile:
                return runParse<Library>(state, document, true);
            case Workload::NavigatePosition:
                return runNavigate<Library>(state, document, false);
            case Workload::NavigateName:
                return runNavigate<Library>(state, document, true);
            case Workload::Write:
                return runWrite<Library>(state, document);
            case Workload::WriteString:
                return runWriteString<Library>(state, document);
            case Workload::Destroy:
                return runDestroy<Library>(state, document);
            case Workload::FirstParse:
                return runFirstParse<Library>(state, document);
        }
    };
    benchmark::internal::Benchmark* registered = benchmark::RegisterBenchmark(name.c_str(), run);
    registered->UseManualTime()->Unit(benchmark::kMillisecond);
    // Each free needs an untimed parse before it, and some peers free a whole
    // tree in microseconds: a time target would mean thousands of parses.
    if (workload == Workload::Destroy) registered->Iterations(5);
    // Each first parse is a new process that makes the document again.
    if (workload == Workload::FirstParse) registered->Iterations(2);
}

template <class Library>
struct Tag {
    using Type = Library;
};

// Calls `visit(Tag<L>())` for each library L, ours first.
template <class Visit>
void forEachLibrary(Visit visit) {
    visit(Tag<Ours>());
    visit(Tag<Sax2NoOp>());
    visit(Tag<CopyFloor>());
    visit(Tag<ExpatNoOp>());
#ifdef ZUVDOM_BENCH_TINYXML2
    visit(Tag<TinyXml2>());
#endif
#ifdef ZUVDOM_BENCH_LIBXML2
    visit(Tag<LibXml2>());
#endif
#ifdef ZUVDOM_BENCH_PUGIXML
    visit(Tag<PugiXml>());
#endif
}

// All libraries one after the other on the same document and workload, so
// that they share the machine's mood of the moment.
void registerLibraries(Workload workload, Document* document) {
    forEachLibrary(
        [&](auto tag) { registerOne<typename decltype(tag)::Type>(workload, document); });
}

// The child's side of a first parse: `what` is "library/document".
int firstParseMain(const std::string& what, const std::vector<Document*>& documents) {
    size_t slash = what.find('/');
    std::string library = what.substr(0, slash);
    std::string name = slash == std::string::npos ? "" : what.substr(slash + 1);
    for (Document* document : documents) {
        if (document->getName() != name) continue;
        int status = 2;
        forEachLibrary([&](auto tag) {
            using Library = typename decltype(tag)::Type;
            if (library == Library::kName) status = firstParseChild<Library>(document);
        });
        return status;
    }
    return 2;
}

// ---------------------------------------------------------------------------
// States of the program around the parse: every tree freed before the next
// parse, one earlier tree kept alive through the rounds, and two threads
// parsing at once. Each runs on one big document and on many small ones;
// an iteration parses and frees each document once, and the time is that of
// the parses alone (on two threads, their mean).

enum class StateMode { Freed, Kept, Threads };

const char* stateName(StateMode mode) {
    switch (mode) {
        case StateMode::Freed:
            return "StateFreed";
        case StateMode::Kept:
            return "StateKept";
        case StateMode::Threads:
            return "StateThreads";
    }
    return "?";
}

// Bytes resident in this process: what the rounds left, all libraries
// together, since freed heap memory is kept (see keepFreedMemory).
double residentMegabytes() {
    long pages = 0, resident = 0;
    std::FILE* statm = std::fopen("/proc/self/statm", "r");
    if (!statm) return 0;
    if (std::fscanf(statm, "%ld %ld", &pages, &resident) != 2) resident = 0;
    std::fclose(statm);
    return static_cast<double>(resident) * static_cast<double>(sysconf(_SC_PAGESIZE)) / 1e6;
}

// A few hundred documents of 10 to 200 KB, alike locale and configuration
// files, held in memory.
const std::vector<Document*>& smallDocuments() {
    static const std::vector<Document*> documents = [] {
        std::vector<Document*> made;
        std::vector<std::string> texts = makeSmallDocuments(300, 20240602);
        for (size_t i = 0; i < texts.size(); ++i) {
            auto text = std::make_shared<std::string>(std::move(texts[i]));
            made.push_back(new Document("small-" + std::to_string(i), 0, [text] { return *text; }));
        }
        return made;
    }();
    return documents;
}

template <class Library>
struct StateRun {
    std::vector<std::unique_ptr<Library>> parsers;
    bool failed = false;

    explicit StateRun(const std::vector<Document*>& documents) {
        for (Document* document : documents) {
            parsers.push_back(std::make_unique<Library>());
            parsers.back()->prepare(document->getText());
        }
    }
    // Seconds of the parses of one pass over the documents.
    double pass() {
        double seconds = 0;
        for (auto& parser : parsers) {
            Clock::time_point start = Clock::now();
            failed |= !parser->parseString();
            seconds += secondsSince(start);
            parser->destroy();
        }
        return seconds;
    }
};

template <class Library>
void runState(benchmark::State& state, const std::vector<Document*>& documents, StateMode mode) {
    StateRun<Library> run(documents);
    std::unique_ptr<StateRun<Library>> second;
    if (mode == StateMode::Threads) second = std::make_unique<StateRun<Library>>(documents);
    // The tree kept alive: of the first document, parsed before the rounds.
    auto kept = std::make_unique<Library>();
    kept->prepare(documents.front()->getText());
    if (mode == StateMode::Kept && !kept->parseString()) run.failed = true;
    run.pass();
    for (auto _ : state) {
        if (mode == StateMode::Threads) {
            double seconds[2];
            std::thread other([&] { seconds[1] = second->pass(); });
            seconds[0] = run.pass();
            other.join();
            state.SetIterationTime((seconds[0] + seconds[1]) / 2);
        } else {
            state.SetIterationTime(run.pass());
        }
    }
    kept->destroy();
    if (run.failed || (second && second->failed)) {
        state.SkipWithError("the library refused a document");
        return;
    }
    size_t bytes = 0, elements = 0;
    for (Document* document : documents) {
        bytes += document->getText().size();
        elements += document->getElementCount();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes));
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * elements));
    state.counters["elements"] = static_cast<double>(elements);
    state.counters["doc_bytes"] = static_cast<double>(bytes);
    state.counters["documents"] = static_cast<double>(documents.size());
    state.counters["resident_mb"] = residentMegabytes();
    if (std::strcmp(Library::kName, Ours::kName) == 0)
        state.counters["pool_mb"] = static_cast<double>(ZUVPool::getSlabBytes()) / 1e6;
}

void registerStates(const std::string& name, const std::vector<Document*>& documents) {
    for (StateMode mode : {StateMode::Freed, StateMode::Kept, StateMode::Threads})
        forEachLibrary([&](auto tag) {
            using Library = typename decltype(tag)::Type;
            if (mode == StateMode::Kept && !Library::kBuildsTree) return;
            std::string full = std::string(stateName(mode)) + "/" + Library::kName + "/" + name;
            benchmark::RegisterBenchmark(full.c_str(),
                                         [documents, mode](benchmark::State& state) {
                                             runState<Library>(state, documents, mode);
                                         })
                ->UseManualTime()
                ->Unit(benchmark::kMillisecond);
        });
}

// ---------------------------------------------------------------------------
// Lookups by name against the number of siblings: a root with `children`
// children, all named apart ("distinct") or all alike ("same"); each
// iteration makes kLookups lookups at seeded random places.

constexpr int kLookups = 1024;

std::vector<int> lookupPlaces(int children) {
    std::vector<int> places(kLookups);
    uint64_t state = 12345;
    for (int& place : places) {
        state = state * 6364136223846793005ull + 1442695040888963407ull;
        place = static_cast<int>((state >> 33) % static_cast<uint64_t>(children));
    }
    return places;
}

std::vector<std::string> childNames(int children) {
    std::vector<std::string> names;
    for (int i = 0; i < children; ++i)
        names.push_back("child" + std::to_string(i));
    return names;
}

void lookupOurs(benchmark::State& state, int children, bool distinct) {
    std::vector<std::string> names = childNames(children);
    std::vector<ZUVString> keys;
    for (const std::string& name : names)
        keys.emplace_back(name.c_str());
    const ZUVString same("child");
    ZUVDOMElement* root = new ZUVDOMElement(ZUVString("root"), nullptr);
    for (int i = 0; i < children; ++i)
        new ZUVDOMElement(distinct ? keys[i] : same, root);
    std::vector<int> places = lookupPlaces(children);
    size_t found = 0;
    for (auto _ : state) {
        for (int place : places) {
            const ZUVDOMElement* hit =
                distinct ? root->getFirstElement(keys[place]) : root->getElement(same, place);
            found += hit != nullptr;
        }
        benchmark::DoNotOptimize(found);
    }
    delete root;
    if (found != static_cast<size_t>(state.iterations()) * kLookups)
        state.SkipWithError("a lookup failed");
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * kLookups);
}

#ifdef ZUVDOM_BENCH_PUGIXML
// pugixml finds a child by name with a scan of the siblings; for contrast.
void lookupPugiXml(benchmark::State& state, int children) {
    std::vector<std::string> names = childNames(children);
    pugi::xml_document document;
    pugi::xml_node root = document.append_child("root");
    for (const std::string& name : names)
        root.append_child(name.c_str());
    std::vector<int> places = lookupPlaces(children);
    size_t found = 0;
    for (auto _ : state) {
        for (int place : places)
            found += !root.child(names[place].c_str()).empty();
        benchmark::DoNotOptimize(found);
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * kLookups);
}
#endif

void registerLookups() {
    for (int children : {10, 1000, 100000}) {
        std::string suffix = std::to_string(children);
        benchmark::RegisterBenchmark(
            ("Lookup/ZUVDOM/distinct-" + suffix).c_str(),
            [children](benchmark::State& state) { lookupOurs(state, children, true); });
        benchmark::RegisterBenchmark(
            ("Lookup/ZUVDOM/same-" + suffix).c_str(),
            [children](benchmark::State& state) { lookupOurs(state, children, false); });
#ifdef ZUVDOM_BENCH_PUGIXML
        benchmark::RegisterBenchmark(
            ("Lookup/pugixml/distinct-" + suffix).c_str(),
            [children](benchmark::State& state) { lookupPugiXml(state, children); });
#endif
    }
}

void describeLibraries() {
    benchmark::AddCustomContext("expat", XML_ExpatVersion());
#ifdef ZUVDOM_BENCH_TINYXML2
    benchmark::AddCustomContext("tinyxml2", std::to_string(TIXML2_MAJOR_VERSION) + "." +
                                                std::to_string(TIXML2_MINOR_VERSION) + "." +
                                                std::to_string(TIXML2_PATCH_VERSION));
#endif
#ifdef ZUVDOM_BENCH_LIBXML2
    benchmark::AddCustomContext("libxml2", LIBXML_DOTTED_VERSION);
#endif
#ifdef ZUVDOM_BENCH_PUGIXML
    benchmark::AddCustomContext("pugixml", std::to_string(PUGIXML_VERSION / 1000) + "." +
                                               std::to_string(PUGIXML_VERSION % 1000 / 10));
#endif
}

#ifdef ZUVDOM_BENCH_LIBXML2
void ignoreLibXml2Error(void*, xmlErrorPtr) {}
#endif

}  // namespace

int main(int argc, char** argv) {
    const char* large = std::getenv("ZUVDOM_BENCH_LARGE");
    std::vector<Document*> documents = allDocuments(large && std::strcmp(large, "1") == 0);
    if (argc == 2 && std::strncmp(argv[1], kFirstParseFlag, std::strlen(kFirstParseFlag)) == 0)
        return firstParseMain(argv[1] + std::strlen(kFirstParseFlag), documents);

    keepFreedMemory();
#ifdef ZUVDOM_BENCH_LIBXML2
    // Its one-time set-up would otherwise be counted in the first tree.
    xmlInitParser();
    xmlSetStructuredErrorFunc(nullptr, ignoreLibXml2Error);
#endif
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    describeLibraries();

    const Workload workloads[] = {
        Workload::ParseString,  Workload::ParseFile, Workload::NavigatePosition,
        Workload::NavigateName, Workload::Write,     Workload::WriteString,
        Workload::Destroy,      Workload::FirstParse};
    for (Document* document : documents)
        for (Workload workload : workloads)
            if (document->getUses() & workloadUse(workload)) registerLibraries(workload, document);
    for (Document* document : documents)
        if (document->getUses() & kUseStates) registerStates(document->getName(), {document});
    registerStates("small-300", smallDocuments());
    registerLookups();

    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
#ifdef ZUVDOM_BENCH_LIBXML2
    xmlCleanupParser();
#endif
    for (Document* document : documents)
        delete document;
    for (Document* document : smallDocuments())
        delete document;
    return 0;
}

// Parse, write, read back. A refused document gets one log line; the tree,
// whole or stopped, is the one a listener on the raw parser events describes;
// an accepted one's file reads back as that tree and writes the same bytes.
// ZUVDOM_FUZZ_PARSE_ONLY=1 stops after the parse, for more inputs a second.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "ZUVDOM.h"
#include "ZUVDOMPrinter.h"
#include "ZUVDOMWriter.h"
#include "ZUVLog.h"
#include "ZUVSAX2Parser.h"
#include "ZUVString.h"
#include "fuzz_check.h"
#include "string_bytes.h"

namespace {

struct Expected {
    std::string tag;
    std::vector<std::pair<std::string, std::string>> attributes;
    std::string value;
    int childCount = 0;
};

// Elements in document order (pre-order), built from the parser's events.
struct Listener {
    std::vector<Expected> elements;
    std::vector<size_t> open;
    std::string text;
};

void onStart(void* user, const char* name, const char** attributes) {
    Listener* l = static_cast<Listener*>(user);
    if (!l->open.empty()) ++l->elements[l->open.back()].childCount;
    Expected e;
    e.tag = name;
    for (; attributes[0]; attributes += 2)
        e.attributes.emplace_back(attributes[0], attributes[1]);
    l->open.push_back(l->elements.size());
    l->elements.push_back(std::move(e));
    l->text.clear();
}

void onEnd(void* user, const char*) {
    Listener* l = static_cast<Listener*>(user);
    l->elements[l->open.back()].value = l->text;
    l->open.pop_back();
    l->text.clear();
}

void onText(void* user, const char* text, int length) {
    static_cast<Listener*>(user)->text.append(text, static_cast<size_t>(length));
}

[[noreturn]] void fail(const std::string& what, size_t at) {
    checkFailed("round trip mismatch: " + what + " (element " + std::to_string(at) +
                " in document order)");
}

// Walks `element` in document order against `expected` from `at` on.
void compare(const ZUVDOMElement* element, const std::vector<Expected>& expected, size_t& at) {
    if (at >= expected.size()) fail("more elements than expected", at);
    const Expected& e = expected[at];
    if (str(element->getTagName()) != e.tag) fail("tag", at);
    if (str(element->getValue()) != e.value) fail("value", at);
    if (element->getElementCount() != e.childCount) fail("child count", at);
    for (const auto& [name, value] : e.attributes) {
        const ZUVString& got = element->getAttribute(zs(name));
        if (&got == &emptyString) fail("attribute missing", at);  // even when empty
        if (str(got) != value) fail("attribute", at);
    }
    size_t self = at++;
    std::map<std::string, int> named;
    for (int i = 0; i < element->getElementCount(); ++i) {
        const ZUVDOMElement* child = element->getElement(i);
        if (!child || child->getParent() != element) fail("child link", self);
        if (element->getElement(child->getTagName(), named[str(child->getTagName())]++) != child)
            fail("child list by name", self);
        compare(child, expected, at);
    }
}

void compareTree(const ZUVDOMElement* root, const std::vector<Expected>& expected) {
    size_t at = 0;
    compare(root, expected, at);
    if (at != expected.size()) fail("fewer elements than expected", at);
}

// The writer keeps its file to itself; this one tells whether writing failed.
class CheckedWriter : public ZUVDOMWriter {
public:
    CheckedWriter(const std::string& path, ZUVDOMElement* root)
        : ZUVDOMWriter(ZUVString(path.c_str()), root) {}
    bool failed() const { return outputFile.hasError(); }
};

std::string writeTree(const MemoryFile& file, ZUVDOMElement* root) {
    CheckedWriter writer(file.path, root);
    if (writer.failed()) fail("write error", 0);
    if (writer.getReplacementCount() != 0) fail("accepted text was replaced", 0);
    return file.contents();
}

// The printer's sinks give the file writer's bytes; its compact form reads back.
void checkPrinter(const MemoryFile& file, ZUVDOMElement* root, const std::string& written,
                  const std::vector<Expected>& expected) {
    ZUVDOMPrinter printer;
    if (printer.toStdString(root) != written) fail("the printer's std::string differs", 0);
    ZUVString text;
    if (!printer.writeString(root, text) || str(text) != written)
        fail("the printer's ZUVString differs", 0);
    if (ftruncate(file.fd, 0) != 0 || lseek(file.fd, 0, SEEK_SET) != 0) fail("ftruncate", 0);
    if (!printer.writeDescriptor(root, file.fd) || file.contents() != written)
        fail("the printer's descriptor output differs", 0);
    printer.setIndent(ZUVString(""));
    ZUVLog log(nullptr);
    ZUVDOM reader(&log);
    std::unique_ptr<ZUVDOMElement> back(reader.parseString(zs(printer.toStdString(root))));
    if (log.getErrorCount() != 0 || !back) fail("the compact document was refused", 0);
    compareTree(back.get(), expected);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static MemoryFile first("zuvdom-round-trip-1");
    static MemoryFile second("zuvdom-round-trip-2");
    static MemoryFile third("zuvdom-round-trip-3");
    static const bool parseOnly = std::getenv("ZUVDOM_FUZZ_PARSE_ONLY") != nullptr;
    if (size > (1u << 20)) return 0;
    ZUVString text(reinterpret_cast<const char*>(data), static_cast<int>(size));

    ZUVLog log(nullptr);
    ZUVDOM dom(&log);
    std::unique_ptr<ZUVDOMElement> root(dom.parseString(text));
    if (root.get() != dom.getRoot()) fail("the root returned is not the builder's", 0);
    if (log.getErrorCount() > 1)
        fail(std::to_string(log.getErrorCount()) + " errors for one parse", 0);
    if (parseOnly) return 0;

    Listener listener;
    ZUVSAX2Parser events(&listener, nullptr, onStart, onEnd, onText, nullptr);
    bool accepted = events.parseString(text);
    if (accepted != (log.getErrorCount() == 0)) fail("the two parses disagree", 0);
    if (!root != listener.elements.empty()) fail("a root without a start tag, or none", 0);
    if (!root) return 0;
    compareTree(root.get(), listener.elements);
    if (!accepted) return 0;

    std::string written = writeTree(first, root.get());
    checkPrinter(third, root.get(), written, listener.elements);
    ZUVFile file;
    file = ZUVString(first.path.c_str());
    ZUVDOM reader(&log);
    std::unique_ptr<ZUVDOMElement> back(reader.parseFile(file));
    if (log.getErrorCount() != 0 || !back)
        fail(std::string("written file refused: ") + log.getLastMessage().getText(), 0);
    compareTree(back.get(), listener.elements);
    if (writeTree(second, back.get()) != written) fail("second write differs from the first", 0);
    return 0;
}

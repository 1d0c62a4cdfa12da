// Edits decoded from the input, on real elements (made one by one or parsed
// from a document the input spells) and on a plain model, compared after each
// step and, at the end, as written files. Edits documented as ignored change
// nothing; attaching an element that has another parent stops by design.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "ZUVDOM.h"
#include "ZUVDOMElement.h"
#include "ZUVDOMWriter.h"
#include "ZUVLog.h"
#include "ZUVString.h"
#include "fuzz_check.h"
#include "string_bytes.h"

namespace {

const char* const kTags[] = {"a", "b", "c", "item"};
const char* const kNames[] = {"id", "x", "y", "class", "a", "b", "c", "d", "e", "f", "g", "h"};
constexpr int kNameCount = 12;  // more than a parsed element carries
const char* const kValues[] = {
    "",    "1",          "two",       "a & b",
    "<q>", "\"quoted\"", "tab\there", "long value that does not fit inline"};
constexpr int kMaxNodes = 64;

struct Node {
    ZUVDOMElement* element = nullptr;  // null once freed
    std::string tag;
    std::string value;
    std::vector<std::pair<std::string, std::string>> attributes;  // first-set order
    std::vector<int> children;
    std::vector<std::string> namesFiled;  // tags that ever had a list here
    bool hadChild = false;
    int parent = -1;
};

struct Input {
    const uint8_t* data;
    size_t left;
    bool more() const { return left != 0; }
    uint8_t next() { return left ? (--left, *data++) : 0; }
};

[[noreturn]] void fail(const std::string& what, int node) {
    checkFailed("tree differs from the model: " + what + " (node " + std::to_string(node) + ")");
}

struct Model {
    std::vector<Node> nodes;

    bool alive(int n) const { return n >= 0 && nodes[n].element; }
    // -1 stands for a null pointer.
    ZUVDOMElement* pointer(int n) const { return n < 0 ? nullptr : nodes[n].element; }
    bool isSelfOrAncestor(int n, int of) const {  // n is `of` or one of its ancestors
        for (int e = of; e >= 0; e = nodes[e].parent)
            if (e == n) return true;
        return false;
    }
    // `child` goes before `ref` among the children of `parent`, or last.
    void attach(int parent, int child, int ref = -1) {
        Node& p = nodes[parent];
        p.hadChild = true;
        if (std::find(p.namesFiled.begin(), p.namesFiled.end(), nodes[child].tag) ==
            p.namesFiled.end())
            p.namesFiled.push_back(nodes[child].tag);
        nodes[child].parent = parent;
        p.children.insert(std::find(p.children.begin(), p.children.end(), ref), child);
    }
    void freeSubtree(int n) {
        for (int c : nodes[n].children)
            freeSubtree(c);
        nodes[n].element = nullptr;
        nodes[n].children.clear();
    }

    void check(int n) const {
        const Node& m = nodes[n];
        const ZUVDOMElement* e = m.element;
        if (str(e->getTagName()) != m.tag) fail("tag", n);
        if (str(e->getValue()) != m.value) fail("value", n);
        if (e->getParent() != pointer(m.parent)) fail("parent", n);
        int count = static_cast<int>(m.children.size());
        if (e->getElementCount() != count) fail("child count", n);
        if ((e->getAllElements() != nullptr) != m.hadChild) fail("child list presence", n);
        for (int i = 0; i < count; ++i)
            if (e->getElement(i) != nodes[m.children[i]].element) fail("child order", n);
        if (e->getElement(-1) || e->getElement(count)) fail("child outside the list", n);
        int walked = 0;  // the ranges programs iterate, all and by name
        for (const ZUVDOMElement* c : e->getChildren())
            if (c != e->getElement(walked++)) fail("children range", n);
        if (walked != count || e->getChildren().isEmpty() != (count == 0))
            fail("children range length", n);
        for (const char* tag : kTags) {
            std::vector<int> named;
            for (int c : m.children)
                if (nodes[c].tag == tag) named.push_back(c);
            bool filed =
                std::find(m.namesFiled.begin(), m.namesFiled.end(), tag) != m.namesFiled.end();
            if ((e->getElements(tag) != nullptr) != filed) fail("name list presence", n);
            if (e->getElementCount(tag) != static_cast<int>(named.size())) fail("name count", n);
            for (size_t i = 0; i < named.size(); ++i)
                if (e->getElement(tag, static_cast<int>(i)) != nodes[named[i]].element)
                    fail("name order", n);
            if (e->getElement(tag, static_cast<int>(named.size()))) fail("name past the end", n);
            size_t ranged = 0;
            for (const ZUVDOMElement* c : e->getChildren(tag))
                if (ranged >= named.size() || c != nodes[named[ranged++]].element)
                    fail("range by name", n);
            ZUVDOMChildren byName = e->getChildren(tag);
            if (ranged != named.size() || (byName.begin() == byName.end()) != named.empty())
                fail("range by name ends early", n);
            const ZUVDOMElement* first = named.empty() ? nullptr : nodes[named[0]].element;
            if (e->getFirstElement(tag) != first) fail("first by name", n);
            std::string firstValue = named.empty() ? "" : nodes[named[0]].value;
            if (str(e->getFirstElementValue(tag)) != firstValue) fail("first value", n);
        }
        for (const char* name : kNames) {
            const std::string* expected = nullptr;
            for (const auto& [k, v] : m.attributes)
                if (k == name) expected = &v;
            const ZUVString& value = e->getAttribute(name);
            if ((&value != &emptyString) != (expected != nullptr)) fail("attribute presence", n);
            if (expected && str(value) != *expected) fail("attribute", n);
            if (e->hasAttribute(name) != (expected != nullptr)) fail("hasAttribute", n);
        }
        size_t i = 0;
        for (ZUVDOMAttribute a : e->getAttributes()) {
            if (i >= m.attributes.size() || str(a.name) != m.attributes[i].first ||
                str(a.value) != m.attributes[i].second)
                fail("attribute order", n);
            ++i;
        }
        if (i != m.attributes.size() || e->getAttributes().isEmpty() != m.attributes.empty())
            fail("attribute count", n);
    }
    void checkAll() const {
        for (size_t n = 0; n < nodes.size(); ++n)
            if (nodes[n].element) check(static_cast<int>(n));
    }

    // What the writer must produce for the tree under root `n`.
    static std::string escape(const std::string& s, bool attribute) {
        std::string out;
        for (char c : s) {
            const char* e = c == '&'                 ? "&amp;"
                            : c == '<'               ? "&lt;"
                            : c == '>' && !attribute ? "&gt;"
                            : c == '"' && attribute  ? "&quot;"
                            : c == '\t' && attribute ? "&#9;"
                                                     : nullptr;
            if (e)
                out += e;
            else
                out += c;
        }
        return out;
    }
    void expectedXml(int n, int depth, std::string& out) const {
        const Node& m = nodes[n];
        if (depth > 0) out += "\n" + std::string(3 * static_cast<size_t>(depth), ' ');
        out += "<" + m.tag;
        for (const auto& [k, v] : m.attributes)
            out += " " + k + "=\"" + escape(v, true) + "\"";
        if (m.children.empty() && m.value.empty()) {
            out += "/>";
            return;
        }
        out += ">";
        for (int c : m.children)
            expectedXml(c, depth + 1, out);
        out += escape(m.value, false) + "</" + m.tag + ">";
    }
};

int pick(Input& in, const Model& model, bool allowNull) {
    int n = static_cast<int>(model.nodes.size());
    if (n == 0 && !allowNull) return -2;
    int choice = in.next() % (n + (allowNull ? 1 : 0));
    if (choice == n) return -1;
    return model.alive(choice) ? choice : -2;  // -2: a freed node, skip the edit
}

void compareWrite(const Model& model, int root) {
    static MemoryFile file("zuvdom-tree-edit");
    { ZUVDOMWriter writer(zs(file.path), model.nodes[root].element); }
    std::string written = file.contents();
    std::string expected = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
    model.expectedXml(root, 0, expected);
    if (written != expected)
        fail("written file\nwritten:\n" + written + "\nexpected:\n" + expected, root);
}

// Spells a document for a new node and its subtree in both the model and
// `doc`: each element with 0..10 attributes, its value after its children.
void spell(Input& in, Model& model, int parent, int depth, std::string& doc) {
    int n = static_cast<int>(model.nodes.size());
    model.nodes.emplace_back();
    Node& node = model.nodes.back();  // stays put: the nodes are reserved
    node.tag = kTags[in.next() % 4];
    int count = in.next() % 11, first = in.next();
    for (int i = 0; i < count; ++i)
        node.attributes.emplace_back(kNames[(first + i) % kNameCount], kValues[in.next() % 8]);
    doc += "<" + node.tag;
    for (const auto& [k, v] : node.attributes)
        doc += " " + k + "=\"" + Model::escape(v, true) + "\"";
    doc += ">";
    if (parent >= 0) model.attach(parent, n);
    for (int c = depth < 3 ? in.next() % 4 : 0; c > 0 && model.nodes.size() < kMaxNodes; --c)
        spell(in, model, n, depth + 1, doc);
    node.value = kValues[in.next() % 8];
    doc += Model::escape(node.value, false) + "</" + node.tag + ">";
}

// Gives the model's nodes under `n` the parsed elements, in document order.
void adopt(Model& model, int n, ZUVDOMElement* e) {
    if (!e) fail("parsed tree smaller than its document", n);
    model.nodes[n].element = e;
    const std::vector<int>& children = model.nodes[n].children;
    for (size_t i = 0; i < children.size(); ++i)
        adopt(model, children[i], e->getElement(static_cast<int>(i)));
}

void dropRoot(Model& model, int n, bool write) {
    if (write) compareWrite(model, n);
    delete model.nodes[n].element;
    model.freeSubtree(n);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Input in{data, size};
    Model model;
    model.nodes.reserve(kMaxNodes);
    while (in.more()) {
        uint8_t op = in.next() % 8;
        if (op == 0) {  // create, attached or not
            if (model.nodes.size() >= kMaxNodes) continue;
            int parent = pick(in, model, true);
            const char* tag = kTags[in.next() % 4];
            if (parent == -2) continue;
            Node node;
            node.tag = tag;
            node.element = new ZUVDOMElement(tag, model.pointer(parent));
            model.nodes.push_back(std::move(node));
            if (parent >= 0) model.attach(parent, static_cast<int>(model.nodes.size()) - 1);
        } else if (op == 1) {  // appendChild
            int parent = pick(in, model, false);
            int child = pick(in, model, true);
            if (parent < 0 || child == -2) continue;
            // Another parent would stop the program by design.
            if (child >= 0 && model.nodes[child].parent >= 0 && model.nodes[child].parent != parent)
                continue;
            model.nodes[parent].element->appendChild(model.pointer(child));
            bool ignored = child < 0 || model.nodes[child].parent == parent ||
                           model.isSelfOrAncestor(child, parent);
            if (!ignored) model.attach(parent, child);
        } else if (op == 2) {  // insertBefore
            int parent = pick(in, model, false);
            int child = pick(in, model, true);
            int ref = pick(in, model, true);
            if (parent < 0 || child == -2 || ref == -2) continue;
            model.nodes[parent].element->insertBefore(model.pointer(child), model.pointer(ref));
            bool ignored = child < 0 || ref < 0 || model.nodes[ref].parent != parent ||
                           model.nodes[child].parent >= 0 || model.isSelfOrAncestor(child, parent);
            if (!ignored) model.attach(parent, child, ref);
        } else if (op == 3) {  // removeChild
            int parent = pick(in, model, false);
            int child = pick(in, model, true);
            if (parent < 0 || child == -2) continue;
            model.nodes[parent].element->removeChild(model.pointer(child));
            if (child >= 0 && model.nodes[child].parent == parent) {
                std::vector<int>& list = model.nodes[parent].children;
                list.erase(std::find(list.begin(), list.end(), child));
                model.nodes[child].parent = -1;
            }
        } else if (op == 4) {  // setAttribute, or removeAttribute
            int n = pick(in, model, false);
            std::string name = kNames[in.next() % kNameCount];
            uint8_t v = in.next();
            std::string value = kValues[v % 8];
            if (n < 0) continue;
            auto& attributes = model.nodes[n].attributes;
            auto it = std::find_if(attributes.begin(), attributes.end(),
                                   [&](const auto& a) { return a.first == name; });
            if (v & 8) {
                bool removed = model.nodes[n].element->removeAttribute(zs(name));
                if (removed != (it != attributes.end())) fail("removeAttribute's answer", n);
                if (removed) attributes.erase(it);
                model.checkAll();
                continue;
            }
            model.nodes[n].element->setAttribute(zs(name), zs(value));
            if (it == attributes.end())
                attributes.emplace_back(name, value);
            else
                it->second = value;
        } else if (op == 5) {  // setValue
            int n = pick(in, model, false);
            std::string value = kValues[in.next() % 8];
            if (n < 0) continue;
            model.nodes[n].element->setValue(zs(value));
            model.nodes[n].value = value;
        } else if (op == 6) {  // delete a root with its subtree
            int n = pick(in, model, false);
            if (n < 0 || model.nodes[n].parent >= 0) continue;
            dropRoot(model, n, in.next() & 1);
        } else {  // parse a new root from a document the input spells
            if (model.nodes.size() >= kMaxNodes) continue;
            int root = static_cast<int>(model.nodes.size());
            std::string doc;
            spell(in, model, -1, 0, doc);
            ZUVLog log(nullptr);
            ZUVDOM dom(&log);
            ZUVDOMElement* parsed = dom.parseString(zs(doc));
            if (log.getErrorCount() != 0) fail("document refused: " + doc, root);
            adopt(model, root, parsed);
            continue;  // the next edit meets elements with no index by name yet
        }
        model.checkAll();
    }
    for (size_t n = 0; n < model.nodes.size(); ++n)
        if (model.nodes[n].element && model.nodes[n].parent < 0)
            dropRoot(model, static_cast<int>(n), true);
    return 0;
}

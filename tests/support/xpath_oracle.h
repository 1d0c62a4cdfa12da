// Checks our path queries against libxml2's: small documents and
// expressions built from a stream of choices (a seeded generator in the
// suite, the fuzzer's bytes in the fuzzer), the same text parsed by both,
// the same expression evaluated by both, results compared. Node-sets are
// compared by position in document order, numbers with NaN and infinities.
//
// The documents carry text only after an element's last child, which is the
// only text our tree keeps, so both see the same text nodes. Numbers reach
// strings only as small integers: libxml2 writes other numbers its own way
// (15 digits, exponents), which the suite covers by hand. No text holds a
// minus sign: libxml2 reads a lone "-" as the number -0, not NaN.
#ifndef ZUVDOM_XPATH_ORACLE_H
#define ZUVDOM_XPATH_ORACLE_H

#include <libxml/parser.h>
#include <libxml/tree.h>
#include <libxml/xpath.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "ZUVDOM.h"
#include "ZUVDOMElement.h"
#include "ZUVXPath.h"

namespace xpathoracle {

// Choices: from bytes (zeros once they run out) or from a seeded generator.
class Choices {
public:
    Choices(const uint8_t* data, size_t size) : data(data), size(size) {}
    explicit Choices(uint64_t seed) : data(nullptr), size(0), state(seed) {}

    // A number in 0..n-1.
    unsigned below(unsigned n) {
        if (n <= 1) return 0;
        if (!data) {
            uint64_t z = (state += 0x9e3779b97f4a7c15ull);
            z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
            z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
            return static_cast<unsigned>((z ^ (z >> 31)) % n);
        }
        if (at >= size) return 0;
        return data[at++] % n;
    }
    bool spent() const { return data && at >= size; }

private:
    const uint8_t* data;
    size_t size;
    size_t at = 0;
    uint64_t state = 0;
};

inline const char* pick(Choices& c, std::initializer_list<const char*> options) {
    return options.begin()[c.below(static_cast<unsigned>(options.size()))];
}

// ------------------------------------------------------------ documents

inline void element(Choices& c, std::string& out, int depth, int& budget) {
    std::string name = pick(c, {"a", "b", "c", "d"});
    out += "<" + name;
    bool used[3] = {false, false, false};
    for (unsigned i = 0, n = c.below(4); i < n; ++i) {
        unsigned a = c.below(3);
        if (used[a]) continue;
        used[a] = true;
        out += std::string(" ") + "xyz"[a] + "=\"" +
               pick(c, {"1", "2", "10", "3.5", " 7 ", "abc", "", "a b", "0", "2"}) + "\"";
    }
    out += ">";
    unsigned children = depth < 4 ? c.below(5) : 0;
    for (unsigned i = 0; i < children && --budget > 0; ++i)
        element(c, out, depth + 1, budget);
    out += pick(c, {"", "", "t", "1", "2.5", "abc", " x ", "10", ".5"});
    out += "</" + name + ">";
}

// A compact document of up to about 40 elements.
inline std::string makeDocument(Choices& c) {
    std::string out;
    int budget = 40;
    element(c, out, 0, budget);
    return out;
}

// ------------------------------------------------------------ expressions

enum Type { kNodes, kNumber, kString, kBoolean };

std::string expression(Choices& c, Type type, int depth);

// An attribute step only where `attribute` allows it, last in its path and
// with no predicate: libxml2 puts an element's children outside the
// following axis of its attributes (see the suite), so no step or predicate
// ever starts from an attribute.
inline std::string step(Choices& c, int depth, bool attribute) {
    unsigned form = c.below(12);
    if (form == 0) return ".";
    if (form == 1) return "..";
    std::string axis =
        pick(c, {"", "", "", "child::", "descendant::", "descendant-or-self::", "parent::",
                 "ancestor::", "ancestor-or-self::", "following-sibling::", "preceding-sibling::",
                 "following::", "preceding::", "self::", "@", "attribute::"});
    std::string test;
    if ((axis == "@" || axis == "attribute::") && !attribute) axis = "child::";
    if (axis == "@" || axis == "attribute::")
        return axis + pick(c, {"x", "y", "z", "*", "node()"});
    else
        test = pick(c, {"a", "b", "c", "d", "*", "*", "node()", "text()"});
    std::string out = axis + test;
    for (unsigned i = 0, n = depth < 3 ? c.below(3) : 0; i < n; ++i) {
        switch (c.below(6)) {
            case 0:
                out += std::string("[") + pick(c, {"1", "2", "3", "last()", "last() - 1"}) + "]";
                break;
            case 1:
                out += std::string("[position() ") + pick(c, {"<", ">", "=", "!="}) + " " +
                       pick(c, {"1", "2", "last()"}) + "]";
                break;
            case 2:
                out += "[" + expression(c, kNumber, depth + 1) + "]";
                break;
            default:
                out += "[" + expression(c, c.below(2) ? kBoolean : kNodes, depth + 1) + "]";
        }
    }
    return out;
}

inline std::string path(Choices& c, int depth, bool attribute) {
    std::string out;
    unsigned steps = c.below(3);
    switch (c.below(5)) {
        case 0:
            out = "/";
            if (c.below(3) == 0) return out;
            break;
        case 1:
            out = "//";
            out += step(c, depth, attribute);
            if (out == "//.") out = "//self::node()";
            return out;
        default:
            break;
    }
    out += step(c, depth, attribute && steps == 0);
    for (unsigned i = 0; i < steps; ++i) {
        bool deep = c.below(3) == 0;
        std::string next = step(c, depth, attribute && i + 1 == steps);
        // libxml2 reads "//." as the descendants alone (see the suite).
        if (deep && next == ".") next = "self::node()";
        out += (deep ? "//" : "/") + next;
    }
    return out;
}

inline std::string nodes(Choices& c, int depth, bool attribute = true) {
    if (depth > 4) return path(c, depth, attribute);
    switch (c.below(8)) {
        case 0:
            return nodes(c, depth + 1, attribute) + " | " + nodes(c, depth + 1, attribute);
        case 1:
            return "(" + nodes(c, depth + 1, attribute) + ")[" + pick(c, {"1", "2", "last()"}) +
                   "]";
        case 2:
            return "(" + nodes(c, depth + 1, false) + ")/" + step(c, depth + 1, attribute);
        default:
            return path(c, depth, attribute);
    }
}

// A number that is a small integer or NaN, safe to turn into a string.
inline std::string smallInteger(Choices& c, int depth) {
    return "(round(" + expression(c, kNumber, depth + 1) + ") mod 100)";
}

inline std::string number(Choices& c, int depth) {
    if (depth > 4) return pick(c, {"1", "2", "0.5", "3", "-1", "0"});
    switch (c.below(14)) {
        case 0:
            return "count(" + nodes(c, depth + 1) + ")";
        case 1:
            return "sum(" + nodes(c, depth + 1) + ")";
        case 2:
            return "string-length(" + expression(c, kString, depth + 1) + ")";
        case 3:
            return "number(" + expression(c, c.below(2) ? kString : kNodes, depth + 1) + ")";
        case 4:
            return expression(c, kNumber, depth + 1) + " " +
                   pick(c, {"+", "-", "*", "div", "mod"}) + " " + expression(c, kNumber, depth + 1);
        case 5:
            return "-" + expression(c, kNumber, depth + 1);
        case 6:
            return std::string(pick(c, {"floor", "ceiling", "round"})) + "(" +
                   expression(c, kNumber, depth + 1) + ")";
        case 7:
            return "number(" + expression(c, kBoolean, depth + 1) + ")";
        case 8:
            return pick(c, {"position()", "last()"});
        default:
            return pick(c, {"1", "2", "0.5", "3", "-1", "0", "10", "2.5", "1 div 0", "0 div 0"});
    }
}

inline std::string string(Choices& c, int depth) {
    if (depth > 4) return pick(c, {"'1'", "'abc'", "''", "' 7 '", "'t'", "'a b'"});
    switch (c.below(14)) {
        case 0:
            return "string(" + nodes(c, depth + 1) + ")";
        case 1:
            return std::string(pick(c, {"name", "local-name", "namespace-uri"})) + "(" +
                   (c.below(4) ? nodes(c, depth + 1) : "") + ")";
        case 2:
            return "concat(" + expression(c, kString, depth + 1) + ", " +
                   expression(c, kString, depth + 1) + ")";
        case 3:
            return "substring(" + expression(c, kString, depth + 1) + ", " +
                   expression(c, kNumber, depth + 1) +
                   (c.below(2) ? ", " + expression(c, kNumber, depth + 1) : std::string()) + ")";
        case 4:
            return std::string(pick(c, {"substring-before", "substring-after"})) + "(" +
                   expression(c, kString, depth + 1) + ", " + expression(c, kString, depth + 1) +
                   ")";
        case 5:
            return "normalize-space(" + expression(c, kString, depth + 1) + ")";
        case 6:
            return "translate(" + expression(c, kString, depth + 1) + ", " +
                   pick(c, {"'abc'", "'a '", "'1'"}) + ", " + pick(c, {"'AB'", "''", "'xyz'"}) +
                   ")";
        case 7:
            return "translate(string(" + smallInteger(c, depth) + "), '-', '')";
        case 8:
            return "string(" + expression(c, kBoolean, depth + 1) + ")";
        case 9:
            return "string()";
        default:
            return pick(c, {"'1'", "'abc'", "''", "' 7 '", "'t'", "'a b'", "'10'", "'3.5'"});
    }
}

inline std::string boolean(Choices& c, int depth) {
    if (depth > 4) return pick(c, {"true()", "false()"});
    Type types[] = {kNodes, kNumber, kString, kBoolean};
    switch (c.below(9)) {
        case 0:
        case 1:
        case 2:
            return expression(c, types[c.below(4)], depth + 1) + " " +
                   pick(c, {"=", "!=", "<", "<=", ">", ">="}) + " " +
                   expression(c, types[c.below(4)], depth + 1);
        case 3:
            return expression(c, kBoolean, depth + 1) + pick(c, {" and ", " or "}) +
                   expression(c, kBoolean, depth + 1);
        case 4:
            return "not(" + expression(c, types[c.below(4)], depth + 1) + ")";
        case 5:
            return std::string(pick(c, {"contains", "starts-with"})) + "(" +
                   expression(c, kString, depth + 1) + ", " + expression(c, kString, depth + 1) +
                   ")";
        case 6:
            return "boolean(" + expression(c, types[c.below(4)], depth + 1) + ")";
        case 7:
            return "lang('en')";
        default:
            return pick(c, {"true()", "false()"});
    }
}

inline std::string expression(Choices& c, Type type, int depth) {
    switch (type) {
        case kNodes:
            return nodes(c, depth);
        case kNumber:
            return number(c, depth);
        case kString:
            return string(c, depth);
        default:
            return boolean(c, depth);
    }
}

inline std::string makeExpression(Choices& c) {
    return expression(c, static_cast<Type>(c.below(4)), 0);
}

// ------------------------------------------------------------ comparison

// Positions in document order of libxml2's nodes.
inline void numberLibXml2(xmlNodePtr node, std::map<const void*, int>& order, int& next) {
    order[node] = next++;
    if (node->type == XML_ELEMENT_NODE)
        for (xmlAttrPtr a = node->properties; a; a = a->next)
            order[a] = next++;
    for (xmlNodePtr child = node->children; child; child = child->next)
        if (child->type == XML_ELEMENT_NODE || child->type == XML_TEXT_NODE)
            numberLibXml2(child, order, next);
}

// Our nodes in document order, listed the same way.
inline void listOurs(const ZUVDOMElement* e, std::vector<ZUVXPathNode>& out) {
    out.push_back(ZUVXPath::select(e, "self::node()")[0]);
    for (const ZUVXPathNode& a : ZUVXPath::select(e, "@*"))
        out.push_back(a);
    for (int i = 0; i < e->getElementCount(); ++i)
        listOurs(e->getElement(i), out);
    if (!e->getValue().isEmpty()) out.push_back(ZUVXPath::select(e, "text()")[0]);
}

inline bool sameNumber(double a, double b) {
    if (std::isnan(a) || std::isnan(b)) return std::isnan(a) && std::isnan(b);
    if (a == b) return true;
    return std::fabs(a - b) <= 1e-9 * std::max(std::fabs(a), std::fabs(b));
}

inline void ignoreError(void*, xmlErrorPtr) {}
inline void ignoreGeneric(void*, const char*, ...) {}

// Evaluates `expr` with libxml2 and with us, on the element at preorder
// position `contextIndex` of the document `text`. Returns "" when they
// agree, else a description of the difference.
inline std::string compare(const std::string& text, const std::string& expr,
                           unsigned contextIndex) {
    xmlSetStructuredErrorFunc(nullptr, ignoreError);
    xmlSetGenericErrorFunc(nullptr, ignoreGeneric);
    xmlDocPtr doc = xmlReadMemory(text.data(), static_cast<int>(text.size()), "doc.xml", nullptr,
                                  XML_PARSE_NONET);
    ZUVDOM dom(nullptr);
    ZUVDOMElement* root = dom.parseString(ZUVString(text.data(), static_cast<int>(text.size())));
    std::string diff;
    if (!doc || !root) {
        if (doc) xmlFreeDoc(doc);
        delete root;
        return doc || root ? "one parser refused the document" : "";
    }
    // The context: the n-th element in preorder, in both trees.
    std::vector<xmlNodePtr> theirElements;
    std::vector<ZUVDOMElement*> ourElements;
    struct Collect {
        static void theirs(xmlNodePtr n, std::vector<xmlNodePtr>& out) {
            out.push_back(n);
            for (xmlNodePtr c = n->children; c; c = c->next)
                if (c->type == XML_ELEMENT_NODE) theirs(c, out);
        }
        static void ours(ZUVDOMElement* e, std::vector<ZUVDOMElement*>& out) {
            out.push_back(e);
            for (int i = 0; i < e->getElementCount(); ++i)
                ours(e->getElement(i), out);
        }
    };
    Collect::theirs(xmlDocGetRootElement(doc), theirElements);
    Collect::ours(root, ourElements);
    if (theirElements.size() != ourElements.size()) {
        diff = "trees differ";
    } else {
        size_t at = contextIndex % ourElements.size();
        xmlXPathContextPtr context = xmlXPathNewContext(doc);
        context->node = theirElements[at];
        context->contextSize = 1;
        context->proximityPosition = 1;
        // libxml2 works nested predicates out again for every candidate:
        // past this many steps the case is left undecided.
        const unsigned long kTheirLimit = 300000;
        context->opLimit = kTheirLimit;
        xmlXPathObjectPtr theirs =
            xmlXPathEvalExpression(reinterpret_cast<const xmlChar*>(expr.c_str()), context);
        ZUVXPath compiled(ZUVString(expr.c_str(), static_cast<int>(expr.size())));
        ZUVXPathResult ours = compiled.evaluate(ourElements[at]);
        if (!theirs && context->opCount >= kTheirLimit) {
            // undecided
        } else if (!theirs || !compiled.isValid() || ours.isError()) {
            if ((theirs != nullptr) != (compiled.isValid() && !ours.isError()))
                diff = std::string("error in one only: libxml2 ") + (theirs ? "ok" : "error") +
                       ", ours " +
                       (compiled.isValid() ? ours.getErrorMessage().getText()
                                           : compiled.getErrorMessage().getText());
        } else {
            switch (theirs->type) {
                case XPATH_NODESET: {
                    std::map<const void*, int> order;
                    int next = 1;
                    order[doc] = 0;
                    numberLibXml2(xmlDocGetRootElement(doc), order, next);
                    std::vector<int> a, b;
                    if (theirs->nodesetval)
                        for (int i = 0; i < theirs->nodesetval->nodeNr; ++i)
                            a.push_back(order.count(theirs->nodesetval->nodeTab[i])
                                            ? order[theirs->nodesetval->nodeTab[i]]
                                            : -1);
                    std::sort(a.begin(), a.end());
                    if (ours.getType() != ZUVXPathResult::kNodeSet) {
                        diff = "libxml2 gives a node-set, we do not";
                        break;
                    }
                    std::vector<ZUVXPathNode> all{ZUVXPath::select(root, "/")[0]};
                    listOurs(root, all);
                    for (const ZUVXPathNode& n : ours)
                        b.push_back(
                            static_cast<int>(std::find(all.begin(), all.end(), n) - all.begin()));
                    if (a != b) {
                        diff = "node-sets differ: libxml2";
                        for (int x : a)
                            diff += " " + std::to_string(x);
                        diff += "; ours";
                        for (int x : b)
                            diff += " " + std::to_string(x);
                    }
                    break;
                }
                case XPATH_BOOLEAN:
                    if (ours.getType() != ZUVXPathResult::kBoolean ||
                        ours.getBoolean() != (theirs->boolval != 0))
                        diff = std::string("booleans differ: libxml2 ") +
                               (theirs->boolval ? "true" : "false") + ", ours " +
                               ours.getString().getText();
                    break;
                case XPATH_NUMBER:
                    if (ours.getType() != ZUVXPathResult::kNumber ||
                        !sameNumber(ours.getNumber(), theirs->floatval))
                        diff = "numbers differ: libxml2 " + std::to_string(theirs->floatval) +
                               ", ours " + ours.getString().getText();
                    break;
                case XPATH_STRING: {
                    std::string s = reinterpret_cast<const char*>(theirs->stringval);
                    if (ours.getType() != ZUVXPathResult::kString ||
                        s != ours.getString().getText())
                        diff = "strings differ: libxml2 '" + s + "', ours '" +
                               ours.getString().getText() + "'";
                    break;
                }
                default:
                    diff = "libxml2 gives an unexpected type";
            }
        }
        if (theirs) xmlXPathFreeObject(theirs);
        xmlXPathFreeContext(context);
    }
    xmlFreeDoc(doc);
    delete root;
    return diff;
}

}  // namespace xpathoracle

#endif

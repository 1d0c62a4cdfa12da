// Our path queries against libxml2's on documents and expressions built from choices.
// Text comes only after an element's last child (the only text our tree keeps); numbers
// reach strings only as small integers: libxml2 writes others its own way.
#ifndef ZUVDOM_XPATH_ORACLE_H
#define ZUVDOM_XPATH_ORACLE_H

#include <libxml/parser.h>
#include <libxml/tree.h>
#include <libxml/xpath.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>
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

private:
    const uint8_t* data;
    size_t size;
    size_t at = 0;
    uint64_t state = 0;
};

// One of the options, which `;` separates.
inline std::string pick(Choices& c, const std::string& options) {
    std::vector<std::string> all(1);
    for (char ch : options)
        if (ch == ';')
            all.emplace_back();
        else
            all.back() += ch;
    return all[c.below(static_cast<unsigned>(all.size()))];
}

inline void element(Choices& c, std::string& out, int depth, int& budget) {
    std::string name = pick(c, "a;b;c;d");
    out += "<" + name;
    bool used[3] = {false, false, false};
    for (unsigned i = 0, n = c.below(4); i < n; ++i) {
        unsigned a = c.below(3);
        if (used[a]) continue;
        used[a] = true;
        out += std::string(" ") + "xyz"[a] + "=\"" +
               pick(c, "1;2;10;3.5; 7 ;abc;;a b;0;\xC3\xA9t\xC3\xA9") + "\"";
    }
    out += ">";
    for (unsigned i = 0, n = depth < 4 ? c.below(5) : 0; i < n && --budget > 0; ++i)
        element(c, out, depth + 1, budget);
    out += pick(c, ";;t;1;2.5;abc; x ;10;.5;h\xC3\xA9llo w\xC3\xB6rld") + "</" + name + ">";
}

// A compact document of up to about 40 elements.
inline std::string makeDocument(Choices& c) {
    std::string out;
    int budget = 40;
    element(c, out, 0, budget);
    return out;
}

std::string expression(Choices& c, char type, int depth);

// One of the `forms`, each capital letter replaced by an expression of that
// type: N a node-set, X a number, S a string, B a boolean, A any of them, I
// a small integer or NaN (safe to write as text).
inline std::string fill(Choices& c, const std::string& forms, int depth) {
    std::string out;
    for (char ch : pick(c, forms))
        out += std::strchr("NXSBAI", ch) ? expression(c, ch, depth + 1) : std::string(1, ch);
    return out;
}

// An attribute step only where `attribute` allows it, last and with no
// predicate: libxml2 reads the following axis of attributes its own way.
inline std::string step(Choices& c, int depth, bool attribute) {
    unsigned form = c.below(12);
    if (form < 2) return form ? ".." : ".";
    std::string axis = pick(c,
                            ";;;child::;descendant::;descendant-or-self::;parent::;ancestor::;"
                            "ancestor-or-self::;following-sibling::;preceding-sibling::;"
                            "following::;preceding::;self::;@;attribute::");
    bool onAttribute = axis == "@" || axis == "attribute::";
    if (onAttribute && attribute) return axis + pick(c, "x;y;z;*;node()");
    if (onAttribute) axis = "child::";
    std::string out = axis + pick(c, "a;b;c;d;*;*;node();text()");
    for (unsigned i = 0, n = depth < 3 ? c.below(3) : 0; i < n; ++i)
        out += fill(c,
                    "[1];[2];[3];[last()];[last() - 1];[position() < 2];[position() > 1];"
                    "[position() = last()];[position() != 1];[@x > 1];[@y <= '3.5'];"
                    "[b = 1];[a != 'abc'];[X];[X];[B];[B];[B];[N];[N]",
                    depth);
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
            out = "//" + step(c, depth, attribute);
            return out == "//." ? "//self::node()" : out;
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
            return "(" + nodes(c, depth + 1, attribute) + ")[" + pick(c, "1;2;last()") + "]";
        case 2:
            return "(" + nodes(c, depth + 1, false) + ")/" + step(c, depth + 1, attribute);
        default:
            return path(c, depth, attribute);
    }
}

inline std::string expression(Choices& c, char type, int depth) {
    if (type == 'A') type = "NXSB"[c.below(4)];
    if (type == 'N') return nodes(c, depth);
    if (type == 'I') return fill(c, "(round(X) mod 100)", depth - 1);
    if (type == 'X' && depth > 4) return pick(c, "1;2;0.5;3;-1;0");
    if (type == 'X')
        return fill(c,
                    "count(N);count(/a);sum(N);string-length(S);number(S);number(N);number(B);"
                    "X + X;X - X;X * X;X div X;X mod X;-X;floor(X);ceiling(X);round(X);"
                    "position();last();1;2;0.5;3;-1;0;10;2.5;1 div 0;0 div 0",
                    depth);
    if (type == 'S' && depth > 4) return pick(c, "'1';'abc';'';' 7 ';'t';'a b'");
    if (type == 'S')
        return fill(c,
                    "string(N);name(N);local-name(N);namespace-uri(N);name();concat(S, S);"
                    "substring(S, X);substring(S, X, X);substring-before(S, S);"
                    "substring-after(S, S);normalize-space(S);translate(S, 'abc', 'xy');"
                    "translate(S, 'a ', '');translate(S, '\xC3\xA9\xC3\xB6', 'o');"
                    "translate(string(I), '-', '');string(B);string();'1';'abc';'';' 7 ';'t';"
                    "'a b';'10';'3.5';'\xC3\xA9t\xC3\xA9'",
                    depth);
    if (depth > 4) return pick(c, "true();false()");
    return fill(c,
                "A = A;A != A;A < A;A <= A;A > A;A >= A;A = A;A != A;N < N;N <= N;N >= N;B and B;"
                "B or B;not(A);contains(S, S);starts-with(S, S);boolean(A);lang('en');true();"
                "false()",
                depth);
}

inline std::string makeExpression(Choices& c) {
    return expression(c, "NXSB"[c.below(4)], 0);
}

// libxml2's nodes in document order.
inline void listTheirs(xmlNodePtr node, std::vector<xmlNodePtr>& out) {
    out.push_back(node);
    for (xmlAttrPtr a = node->properties; a; a = a->next)
        out.push_back(reinterpret_cast<xmlNodePtr>(a));
    for (xmlNodePtr child = node->children; child; child = child->next)
        if (child->type == XML_ELEMENT_NODE || child->type == XML_TEXT_NODE) listTheirs(child, out);
}

// Ours, listed the same way.
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
    return a == b || std::fabs(a - b) <= 1e-9 * std::max(std::fabs(a), std::fabs(b));
}

inline void ignoreError(void*, xmlErrorPtr) {}
inline void ignoreGeneric(void*, const char*, ...) {}

// How libxml2 and we differ on `expr` from the `contextIndex`th element; "" when we agree.
inline std::string compare(const std::string& text, const std::string& expr,
                           unsigned contextIndex) {
    xmlSetStructuredErrorFunc(nullptr, ignoreError);
    xmlSetGenericErrorFunc(nullptr, ignoreGeneric);
    xmlDocPtr doc = xmlReadMemory(text.data(), static_cast<int>(text.size()), "doc.xml", nullptr,
                                  XML_PARSE_NONET);
    std::unique_ptr<ZUVDOMElement> root(
        ZUVDOM(nullptr).parseString(ZUVString(text.data(), static_cast<int>(text.size()))));
    if (!doc || !root) {
        if (doc) xmlFreeDoc(doc);
        return doc || root ? "one parser refused the document" : "";
    }
    // Both trees' nodes, the document first; the context is the n-th element.
    std::vector<xmlNodePtr> all{reinterpret_cast<xmlNodePtr>(doc)}, theirElements;
    listTheirs(xmlDocGetRootElement(doc), all);
    std::vector<ZUVXPathNode> ours{ZUVXPath::select(root.get(), "/")[0]};
    listOurs(root.get(), ours);
    std::vector<const ZUVDOMElement*> ourElements;
    for (size_t i = 0; i < all.size() && i < ours.size(); ++i) {
        if (all[i]->type == XML_ELEMENT_NODE) theirElements.push_back(all[i]);
        if (ours[i].getKind() == ZUVXPathNode::kElement)
            ourElements.push_back(ours[i].getElement());
    }
    if (all.size() != ours.size() || theirElements.size() != ourElements.size())
        return "trees differ";
    size_t at = contextIndex % ourElements.size();
    xmlXPathContextPtr context = xmlXPathNewContext(doc);
    context->node = theirElements[at];
    context->contextSize = 1;
    context->proximityPosition = 1;
    // libxml2 works nested predicates out again for every candidate: past
    // this many steps the case is left undecided.
    const unsigned long kTheirLimit = 300000;
    context->opLimit = kTheirLimit;
    xmlXPathObjectPtr theirs =
        xmlXPathEvalExpression(reinterpret_cast<const xmlChar*>(expr.c_str()), context);
    ZUVXPath compiled(ZUVString(expr.c_str(), static_cast<int>(expr.size())));
    ZUVXPathResult result = compiled.evaluate(ourElements[at]);
    bool ourError = !compiled.isValid() || result.isError();
    std::string diff, mine = result.getString().getText();
    if (!theirs && context->opCount >= kTheirLimit) {
        // undecided
    } else if (!theirs || ourError) {
        if (!theirs != ourError)
            diff = std::string("error in one only: libxml2 ") + (theirs ? "ok" : "error") +
                   ", ours " +
                   (compiled.isValid() ? result.getErrorMessage() : compiled.getErrorMessage())
                       .getText();
    } else {
        // Both as type and value, node-sets as positions in document order;
        // numbers equal but for rounding, as libxml2 writes them its own way.
        const int asTheirs[] = {-1, XPATH_NODESET, XPATH_STRING, XPATH_NUMBER, XPATH_BOOLEAN};
        std::string a = std::to_string(theirs->type) + ":";
        std::string b = std::to_string(asTheirs[result.getType()]) + ":";
        if (theirs->type == XPATH_NODESET) {
            std::vector<long> positions;
            for (int i = 0; theirs->nodesetval && i < theirs->nodesetval->nodeNr; ++i)
                positions.push_back(
                    std::find(all.begin(), all.end(), theirs->nodesetval->nodeTab[i]) -
                    all.begin());
            std::sort(positions.begin(), positions.end());
            for (long p : positions)
                a += " " + std::to_string(p);
            for (const ZUVXPathNode& n : result)
                b += " " + std::to_string(std::find(ours.begin(), ours.end(), n) - ours.begin());
        } else if (theirs->type != XPATH_NUMBER) {
            xmlChar* text = xmlXPathCastToString(theirs);
            a += reinterpret_cast<const char*>(text);
            xmlFree(text);
            b += mine;
        } else if (!sameNumber(result.getNumber(), theirs->floatval)) {
            a += std::to_string(theirs->floatval);
            b += mine;
        }
        if (a != b) diff = "libxml2 " + a + "; ours " + b;
    }
    if (theirs) xmlXPathFreeObject(theirs);
    xmlXPathFreeContext(context);
    xmlFreeDoc(doc);
    return diff;
}

}  // namespace xpathoracle

#endif

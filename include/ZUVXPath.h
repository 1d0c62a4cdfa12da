// ZUVXPath: XPath 1.0 queries over a tree of ZUVDOMElement.
#ifndef ZUVXPATH_H
#define ZUVXPATH_H

#include <vector>

#include "ZUVDOMElement.h"
#include "ZUVDOMExport.h"
#include "ZUVString.h"

struct ZUVXPathTree;

// The language is XPath 1.0 in full over this tree: every axis, name tests,
// `*`, `node()`, `text()`, predicates, unions, the operators with their
// comparison rules between node-sets, strings, numbers and booleans, the core
// function library and variables (`$name`) bound by the caller. The tree has
// no namespace, comment or processing-instruction nodes, so the `namespace`
// axis, `comment()` and `processing-instruction()` select nothing, `id()`
// finds nothing, `lang()` is false and `namespace-uri()` is "". A prefixed
// name such as `a:b` is matched as the tag name "a:b" and `a:*` as the names
// that start with "a:"; `local-name()` is the same as `name()`.
//
// The tree as XPath sees it: a root node above the topmost element; element
// nodes; each element's attribute nodes, in the order their names were first
// set; and, for an element with a non-empty value, one text node holding the
// value as the element's last child (the value is the text after the last
// child). Document order is: an element, its attributes, its children's
// subtrees, its text node. The string-value of an element is the text of
// the text nodes below it in that order.
//
// Strings are UTF-8: string-length(), substring() and translate() count
// characters, not bytes.

// One node of a result: an element, an attribute, a text node or the root.
// A light handle into the tree; valid while the tree is not changed.
class ZUVDOM_API ZUVXPathNode {
public:
    // The kinds of node the tree has (no namespace, comment or instruction).
    enum Kind { kRoot, kElement, kAttribute, kText };

    // A null node: kind kRoot with no element.
    ZUVXPathNode() : element(nullptr), index(kRootIndex) {}

    // What kind of node this is.
    Kind getKind() const {
        return index >= 0               ? kAttribute
               : index == kElementIndex ? kElement
               : index == kTextIndex    ? kText
                                        : kRoot;
    }
    // The element: the node itself, the element holding the attribute or the
    // text, or for the root node the topmost element of the tree. Null only
    // for a null node. Owned by the tree.
    ZUVDOMElement* getElement() const { return const_cast<ZUVDOMElement*>(element); }
    // The tag name or the attribute's name; `emptyString` for a text node and
    // the root. Owned by the tree.
    const ZUVString& getName() const;
    // The element's own value (its text after its last child, not the text of
    // its descendants), the attribute's value or the text; `emptyString` for
    // the root. Owned by the tree.
    const ZUVString& getValue() const;
    // The XPath string-value: for an element or the root, the text of every
    // text node below it in document order. A new string, the caller's.
    ZUVString getStringValue() const;

    //@{
    // The same node of the same tree (or not).
    bool operator==(const ZUVXPathNode& other) const {
        return element == other.element && index == other.index;
    }
    bool operator!=(const ZUVXPathNode& other) const { return !(*this == other); }
    //@}

private:
    friend struct ZUVXPathTree;
    static constexpr int kElementIndex = -1;
    static constexpr int kTextIndex = -2;
    static constexpr int kRootIndex = -3;
    ZUVXPathNode(const ZUVDOMElement* element, int index) : element(element), index(index) {}

    const ZUVDOMElement* element;
    int index;  // attribute position (0, 1, ...) or one of the k...Index
};

// The value of an evaluation: a node-set (in document order, no node twice),
// a string, a number, a boolean, or an error with a message. A node-set is
// read with size() and [] or with range-for over its nodes.
class ZUVDOM_API ZUVXPathResult {
public:
    // What a result holds: an error or one of XPath's four types.
    enum Type { kError, kNodeSet, kString, kNumber, kBoolean };

    // An empty node-set.
    ZUVXPathResult() : type(kNodeSet), boolean(false), number(0) {}
    //@{
    // A string (copied), a number or a boolean, for binding variables.
    static ZUVXPathResult fromString(const ZUVString& value);
    static ZUVXPathResult fromNumber(double value);
    static ZUVXPathResult fromBoolean(bool value);
    //@}

    // What the result holds.
    Type getType() const { return type; }
    // True for an error (see getErrorMessage()).
    bool isError() const { return type == kError; }
    // Why the evaluation failed; `emptyString` when it did not.
    const ZUVString& getErrorMessage() const { return type == kError ? text : emptyString; }

    // Number of nodes; 0 for anything but a node-set.
    int size() const { return static_cast<int>(nodes.size()); }
    // Node `i` (0-based) of a node-set; a null node outside 0..size()-1.
    ZUVXPathNode operator[](int i) const {
        return i >= 0 && i < size() ? nodes[static_cast<size_t>(i)] : ZUVXPathNode();
    }
    //@{
    // The nodes for range-for, in document order; an empty range for anything
    // but a node-set. Owned by the result.
    const ZUVXPathNode* begin() const { return nodes.data(); }
    const ZUVXPathNode* end() const { return nodes.data() + nodes.size(); }
    //@}
    // The first element of a node-set in document order (for an attribute or
    // text node, the element holding it); null when there is none.
    ZUVDOMElement* getFirstElement() const;

    //@{
    // The result converted as XPath's string(), number() and boolean() do:
    // a node-set gives its first node's string-value ("" when empty); an
    // error gives "", NaN and false. The string is a new one, the caller's.
    ZUVString getString() const;
    double getNumber() const;
    bool getBoolean() const;
    //@}

private:
    friend struct ZUVXPathTree;
    Type type;
    bool boolean;
    double number;
    ZUVString text;  // the string, or the error message
    std::vector<ZUVXPathNode> nodes;
};

// Values of the variables an expression refers to as `$name`. Binding input
// this way, rather than pasting it into the expression, keeps it data.
class ZUVDOM_API ZUVXPathVariables {
public:
    // Binds `name` (without the `$`) to a copy of `value`, replacing an earlier
    // binding. A node-set keeps pointing into its tree.
    void set(const ZUVString& name, const ZUVXPathResult& value);
    // The value bound to `name`, or null when there is none. Owned by this
    // object.
    const ZUVXPathResult* get(const ZUVString& name) const;

private:
    std::vector<ZUVString> names;
    std::vector<ZUVXPathResult> values;
};

// A compiled expression. Compiling never throws for a bad expression: it
// gives an object that is not valid, with a message and the column where the
// error was found. A valid one may be evaluated any number of times, against
// any element, from several threads at once on trees that none of them
// changes: it holds no state of its own between evaluations, and nothing is
// cached from one to the next (a changed attribute is seen at once).
//
// Limits: an expression nested deeper than kMaxNesting (parentheses,
// predicates, arguments, operators) does not compile; an evaluation given a
// node budget stops with an error once it has visited that many nodes.
class ZUVDOM_API ZUVXPath {
public:
    // Deepest nesting of an expression: past it compiling fails, so that an
    // expression cannot overflow the stack of the compiler or the evaluator.
    static constexpr int kMaxNesting = 256;

    // Compiles `expression`.
    explicit ZUVXPath(const ZUVString& expression);
    ~ZUVXPath();
    ZUVXPath(const ZUVXPath&) = delete;
    ZUVXPath& operator=(const ZUVXPath&) = delete;

    // True when the expression compiled.
    bool isValid() const { return program != nullptr; }
    // The compile error, or `emptyString` when the expression is valid.
    const ZUVString& getErrorMessage() const { return error; }
    // Column (1-based, in bytes) where the compile error was found; 0 when
    // the expression is valid.
    int getErrorColumn() const { return errorColumn; }

    // Evaluates the expression with `context` as the context node, position
    // and size 1. `variables` may be null when the expression uses none.
    // `maxNodes` is the budget of nodes visited, 0 for none. Gives an error
    // result for an invalid expression, a null context, an unbound variable,
    // a wrong argument type or a spent budget; never throws for these.
    ZUVXPathResult evaluate(const ZUVDOMElement* context,
                            const ZUVXPathVariables* variables = nullptr, long maxNodes = 0) const;

    // Shortcuts, each compiling `expression` and evaluating it on `context`:
    // the result (an error for a bad expression);
    static ZUVXPathResult select(const ZUVDOMElement* context, const ZUVString& expression);
    // the first element of the resulting node-set (for an attribute or text
    // node, its element), or null when there is none or on any error;
    static ZUVDOMElement* selectFirst(const ZUVDOMElement* context, const ZUVString& expression);
    // the result as a string (XPath's string()); "" on any error.
    static ZUVString selectString(const ZUVDOMElement* context, const ZUVString& expression);

private:
    struct Program;
    Program* program;
    ZUVString error;
    int errorColumn;
};

#endif

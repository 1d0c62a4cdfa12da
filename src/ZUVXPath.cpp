#include "ZUVXPath.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "ZUVDOMElement.h"
#include "ZUVOrderedVector.h"
#include "ZUVSimpleStringHashtable.h"

using Node = ZUVXPathNode;
using NodeList = std::vector<ZUVXPathNode>;

// The one way in to the tree's and the results' private parts.
struct ZUVXPathTree {
    static Node element(const ZUVDOMElement* e) { return Node(e, Node::kElementIndex); }
    static Node text(const ZUVDOMElement* e) { return Node(e, Node::kTextIndex); }
    static Node attribute(const ZUVDOMElement* e, int i) { return Node(e, i); }
    static Node root(const ZUVDOMElement* top) { return Node(top, Node::kRootIndex); }
    static const ZUVDOMElement* of(const Node& n) { return n.element; }
    static int indexOf(const Node& n) { return n.index; }

    static const void* nameIndex(const ZUVDOMElement* e) {
        return __atomic_load_n(&e->elementsByName, __ATOMIC_RELAXED);  // made on first lookup
    }
    static int attributeCount(const ZUVDOMElement* e) {
        return e->attributes ? e->attributes->size() : 0;
    }
    // Name and value of attribute `i`, which must exist.
    static const ZUVString& attributeName(const ZUVDOMElement* e, int i) {
        ZUVSimpleStringHashtable::Iterator it(*e->attributes);
        if (i) it.next(i);
        return it.getKey();
    }
    static const ZUVString& attributeValue(const ZUVDOMElement* e, int i) {
        ZUVSimpleStringHashtable::Iterator it(*e->attributes);
        if (i) it.next(i);
        return *static_cast<const ZUVString*>(it.get());
    }

    static ZUVXPathResult& fill(ZUVXPathResult& r, ZUVXPathResult::Type type) {
        r.type = type;
        return r;
    }
    static void setError(ZUVXPathResult& r, const std::string& message) {
        r.type = ZUVXPathResult::kError;
        r.text = ZUVString(message.c_str(), static_cast<int>(message.size()));
        r.nodes.clear();
    }
    static NodeList& nodes(ZUVXPathResult& r) { return r.nodes; }
    static const NodeList& nodes(const ZUVXPathResult& r) { return r.nodes; }
    static double& number(ZUVXPathResult& r) { return r.number; }
    static bool& boolean(ZUVXPathResult& r) { return r.boolean; }
    static ZUVString& text(ZUVXPathResult& r) { return r.text; }
    static const ZUVString& text(const ZUVXPathResult& r) { return r.text; }
};

using T = ZUVXPathTree;

namespace {

// ---------------------------------------------------------------- the tree

int childCount(const ZUVDOMElement* e) {
    return e->getElementCount();
}
const ZUVDOMElement* childAt(const ZUVDOMElement* e, int i) {
    return static_cast<const ZUVDOMElement*>(e->getAllElements()->elementAt(i));
}
// Name equality in line: the walks compare a name per element.
inline bool sameName(const ZUVString& a, const ZUVString& b) {
    int n = a.getLength();
    return n == b.getLength() && std::memcmp(a.getText(), b.getText(), static_cast<size_t>(n)) == 0;
}
bool hasText(const ZUVDOMElement* e) {
    return !e->getValue().isEmpty();
}
const ZUVDOMElement* topOf(const ZUVDOMElement* e) {
    while (e->getParent())
        e = e->getParent();
    return e;
}

// Appends the text below `e`, adding to `steps` the elements read.
void collectStringValue(const ZUVDOMElement* e, std::string& out, long& steps) {
    // Iterative: trees may be thousands of levels deep.
    std::vector<std::pair<const ZUVDOMElement*, int>> stack;
    stack.emplace_back(e, 0);
    while (!stack.empty()) {
        const ZUVDOMElement* top = stack.back().first;
        int i = stack.back().second;
        if (i < childCount(top)) {
            ++stack.back().second;
            ++steps;
            stack.emplace_back(childAt(top, i), 0);
        } else {
            const ZUVString& v = top->getValue();
            out.append(v.getText(), static_cast<size_t>(v.getLength()));
            stack.pop_back();
        }
    }
}

void collectStringValue(const Node& n, std::string& out, long& steps) {
    const ZUVDOMElement* e = T::of(n);
    if (!e) return;
    switch (n.getKind()) {
        case Node::kAttribute: {
            const ZUVString& v = T::attributeValue(e, T::indexOf(n));
            out.append(v.getText(), static_cast<size_t>(v.getLength()));
            break;
        }
        case Node::kText:
            out.append(e->getValue().getText(), static_cast<size_t>(e->getValue().getLength()));
            break;
        case Node::kElement:
        case Node::kRoot:
            collectStringValue(e, out, steps);
            break;
    }
}

// ---------------------------------------------------------------- numbers

bool isSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

// XPath's number(string): optional white space, an optional minus, digits
// with an optional fraction, white space; anything else is NaN.
double toNumber(const char* s, size_t n) {
    size_t i = 0;
    while (i < n && isSpace(s[i]))
        ++i;
    size_t start = i;
    if (i < n && s[i] == '-') ++i;
    size_t digits = 0;
    while (i < n && s[i] >= '0' && s[i] <= '9')
        ++i, ++digits;
    if (i < n && s[i] == '.') {
        ++i;
        while (i < n && s[i] >= '0' && s[i] <= '9')
            ++i, ++digits;
    }
    size_t end = i;
    while (i < n && isSpace(s[i]))
        ++i;
    if (digits == 0 || i != n) return std::numeric_limits<double>::quiet_NaN();
    char small[64];
    std::string big;
    const char* text;
    size_t length = end - start;
    if (length < sizeof small) {
        std::memcpy(small, s + start, length);
        small[length] = '\0';
        text = small;
    } else {
        big.assign(s + start, length);
        text = big.c_str();
    }
    return std::strtod(text, nullptr);
}
double toNumber(const std::string& s) {
    return toNumber(s.data(), s.size());
}

// XPath's string(number): no exponent, the fewest digits that read back as
// the same number.
std::string numberToString(double x) {
    if (std::isnan(x)) return "NaN";
    if (std::isinf(x)) return x > 0 ? "Infinity" : "-Infinity";
    if (x == 0) return "0";
    char buffer[64];
    int precision = 1;
    for (; precision < 17; ++precision) {
        std::snprintf(buffer, sizeof buffer, "%.*e", precision - 1, x);
        if (std::strtod(buffer, nullptr) == x) break;
    }
    std::snprintf(buffer, sizeof buffer, "%.*e", precision - 1, x);
    // buffer: [-]d.ddde[+-]xx
    std::string digits;
    const char* p = buffer;
    bool negative = *p == '-';
    if (negative) ++p;
    for (; *p && *p != 'e'; ++p)
        if (*p != '.') digits += *p;
    int exponent = std::atoi(p + 1);
    while (digits.size() > 1 && digits.back() == '0')
        digits.pop_back();
    std::string out = negative ? "-" : "";
    int point = exponent + 1;  // digits before the decimal point
    if (point <= 0) {
        out += "0.";
        out.append(static_cast<size_t>(-point), '0');
        out += digits;
    } else if (static_cast<size_t>(point) >= digits.size()) {
        out += digits;
        out.append(static_cast<size_t>(point) - digits.size(), '0');
    } else {
        out += digits.substr(0, static_cast<size_t>(point));
        out += '.';
        out += digits.substr(static_cast<size_t>(point));
    }
    return out;
}

double xpathRound(double x) {
    if (std::isnan(x) || std::isinf(x)) return x;
    if (x < 0 && x >= -0.5) return -0.0;
    return std::floor(x + 0.5);
}

// ---------------------------------------------------------------- UTF-8

bool isContinuation(unsigned char c) {
    return (c & 0xC0) == 0x80;
}
size_t characterCount(const std::string& s) {
    size_t n = 0;
    for (unsigned char c : s)
        n += !isContinuation(c);
    return n;
}
// Splits `s` into its characters' byte ranges.
std::vector<std::pair<size_t, size_t>> characters(const std::string& s) {
    std::vector<std::pair<size_t, size_t>> out;
    for (size_t i = 0; i < s.size();) {
        size_t j = i + 1;
        while (j < s.size() && isContinuation(static_cast<unsigned char>(s[j])))
            ++j;
        out.emplace_back(i, j - i);
        i = j;
    }
    return out;
}

// ---------------------------------------------------------------- compiled form

enum class Axis {
    kAncestor,
    kAncestorOrSelf,
    kAttribute,
    kChild,
    kDescendant,
    kDescendantOrSelf,
    kFollowing,
    kFollowingSibling,
    kNamespace,
    kParent,
    kPreceding,
    kPrecedingSibling,
    kSelf
};

bool isReverse(Axis a) {
    return a == Axis::kAncestor || a == Axis::kAncestorOrSelf || a == Axis::kPreceding ||
           a == Axis::kPrecedingSibling;
}

enum class Test { kName, kPrefix, kAny, kNode, kText, kNone };

enum class Op {
    kOr,
    kAnd,
    kEq,
    kNe,
    kLt,
    kLe,
    kGt,
    kGe,
    kAdd,
    kSub,
    kMul,
    kDiv,
    kMod,
    kNeg,
    kUnion,
    kLiteral,
    kNumber,
    kVariable,
    kFunction,
    kPath
};

enum class Fn {
    kLast,
    kPosition,
    kCount,
    kId,
    kLocalName,
    kNamespaceUri,
    kName,
    kString,
    kConcat,
    kStartsWith,
    kContains,
    kSubstringBefore,
    kSubstringAfter,
    kSubstring,
    kStringLength,
    kNormalizeSpace,
    kTranslate,
    kBoolean,
    kNot,
    kTrue,
    kFalse,
    kLang,
    kNumber,
    kSum,
    kFloor,
    kCeiling,
    kRound
};

struct FunctionInfo {
    const char* name;
    Fn fn;
    int minArgs;
    int maxArgs;  // -1: any number
};

const FunctionInfo kFunctions[] = {
    {"last", Fn::kLast, 0, 0},
    {"position", Fn::kPosition, 0, 0},
    {"count", Fn::kCount, 1, 1},
    {"id", Fn::kId, 1, 1},
    {"local-name", Fn::kLocalName, 0, 1},
    {"namespace-uri", Fn::kNamespaceUri, 0, 1},
    {"name", Fn::kName, 0, 1},
    {"string", Fn::kString, 0, 1},
    {"concat", Fn::kConcat, 2, -1},
    {"starts-with", Fn::kStartsWith, 2, 2},
    {"contains", Fn::kContains, 2, 2},
    {"substring-before", Fn::kSubstringBefore, 2, 2},
    {"substring-after", Fn::kSubstringAfter, 2, 2},
    {"substring", Fn::kSubstring, 2, 3},
    {"string-length", Fn::kStringLength, 0, 1},
    {"normalize-space", Fn::kNormalizeSpace, 0, 1},
    {"translate", Fn::kTranslate, 3, 3},
    {"boolean", Fn::kBoolean, 1, 1},
    {"not", Fn::kNot, 1, 1},
    {"true", Fn::kTrue, 0, 0},
    {"false", Fn::kFalse, 0, 0},
    {"lang", Fn::kLang, 1, 1},
    {"number", Fn::kNumber, 0, 1},
    {"sum", Fn::kSum, 1, 1},
    {"floor", Fn::kFloor, 1, 1},
    {"ceiling", Fn::kCeiling, 1, 1},
    {"round", Fn::kRound, 1, 1},
};

// Static type of an expression; kAny for variables.
enum class Kind { kNodeSet, kString, kNumber, kBoolean, kAny };

// What an expression reads of its context.
enum Uses : unsigned { kUsesNode = 1, kUsesPosition = 2, kUsesLast = 4 };

struct Expr;
using ExprPtr = std::unique_ptr<Expr>;

struct Step {
    Axis axis = Axis::kChild;
    Test test = Test::kNode;
    ZUVString name;
    std::vector<ExprPtr> predicates;
    // Set when no predicate depends on position or size and each gives a
    // boolean: candidates are then tested one by one as they are found.
    bool streaming = false;
};

struct Expr {
    Op op;
    Kind kind = Kind::kAny;
    unsigned uses = 0;
    Fn fn = Fn::kLast;
    double number = 0;
    std::string text;  // literal, variable name
    std::vector<ExprPtr> args;
    // A path: an optional filter (primary with predicates), then steps.
    bool absolute = false;
    ExprPtr primary;
    std::vector<ExprPtr> filters;
    std::vector<Step> steps;
    int height = 1;  // levels of evaluation below and including this one
    explicit Expr(Op op) : op(op) {}
};

// ---------------------------------------------------------------- values

struct Value {
    Kind kind = Kind::kNodeSet;
    bool boolean = false;
    double number = 0;
    std::string string;
    NodeList nodes;
    bool ordered = true;  // nodes in document order, each once

    static Value ofBool(bool b) {
        Value v;
        v.kind = Kind::kBoolean;
        v.boolean = b;
        return v;
    }
    static Value ofNumber(double d) {
        Value v;
        v.kind = Kind::kNumber;
        v.number = d;
        return v;
    }
    static Value ofString(std::string s) {
        Value v;
        v.kind = Kind::kString;
        v.string = std::move(s);
        return v;
    }
};

struct Failure {
    std::string message;
};

}  // namespace

struct ZUVXPath::Program {
    ExprPtr root;
};

namespace {

// ---------------------------------------------------------------- lexer

enum class Tok {
    kEnd,
    kLParen,
    kRParen,
    kLBracket,
    kRBracket,
    kDot,
    kDotDot,
    kAt,
    kComma,
    kColonColon,
    kSlash,
    kSlashSlash,
    kPipe,
    kPlus,
    kMinus,
    kEq,
    kNe,
    kLt,
    kLe,
    kGt,
    kGe,
    kStar,  // name test or multiplication: told apart by the parser
    kName,  // QName, or NCName:*
    kLiteral,
    kNumber,
    kVariable,
};

struct Token {
    Tok type;
    std::string text;
    double number = 0;
    int column = 0;  // 1-based
};

bool isNameStart(unsigned char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_' || c >= 0x80;
}
bool isNameChar(unsigned char c) {
    return isNameStart(c) || (c >= '0' && c <= '9') || c == '.' || c == '-';
}

class Lexer {
public:
    explicit Lexer(const ZUVString& source) : s(source.getText()), n(source.getLength()) {}

    // Fills `out`; false with the error set on a bad character.
    bool run(std::vector<Token>& out) {
        size_t i = 0;
        while (true) {
            while (i < n && isSpace(s[i]))
                ++i;
            Token t;
            t.column = static_cast<int>(i) + 1;
            if (i >= n) {
                t.type = Tok::kEnd;
                out.push_back(t);
                return true;
            }
            char c = s[i];
            char d = i + 1 < n ? s[i + 1] : '\0';
            auto single = [&](Tok type, size_t length) {
                t.type = type;
                i += length;
            };
            switch (c) {
                case '(':
                    single(Tok::kLParen, 1);
                    break;
                case ')':
                    single(Tok::kRParen, 1);
                    break;
                case '[':
                    single(Tok::kLBracket, 1);
                    break;
                case ']':
                    single(Tok::kRBracket, 1);
                    break;
                case '@':
                    single(Tok::kAt, 1);
                    break;
                case ',':
                    single(Tok::kComma, 1);
                    break;
                case '|':
                    single(Tok::kPipe, 1);
                    break;
                case '+':
                    single(Tok::kPlus, 1);
                    break;
                case '-':
                    single(Tok::kMinus, 1);
                    break;
                case '=':
                    single(Tok::kEq, 1);
                    break;
                case '*':
                    single(Tok::kStar, 1);
                    break;
                case '/':
                    if (d == '/')
                        single(Tok::kSlashSlash, 2);
                    else
                        single(Tok::kSlash, 1);
                    break;
                case '!':
                    if (d != '=') return fail("expected '=' after '!'", t.column);
                    single(Tok::kNe, 2);
                    break;
                case '<':
                    if (d == '=')
                        single(Tok::kLe, 2);
                    else
                        single(Tok::kLt, 1);
                    break;
                case '>':
                    if (d == '=')
                        single(Tok::kGe, 2);
                    else
                        single(Tok::kGt, 1);
                    break;
                case ':':
                    if (d != ':') return fail("unexpected ':'", t.column);
                    single(Tok::kColonColon, 2);
                    break;
                case '"':
                case '\'': {
                    size_t end = i + 1;
                    while (end < n && s[end] != c)
                        ++end;
                    if (end >= n) return fail("unterminated string literal", t.column);
                    t.type = Tok::kLiteral;
                    t.text.assign(s + i + 1, end - i - 1);
                    i = end + 1;
                    break;
                }
                case '$': {
                    size_t end = i + 1;
                    if (!qname(end)) return fail("expected a variable name after '$'", t.column);
                    t.type = Tok::kVariable;
                    t.text.assign(s + i + 1, end - i - 1);
                    i = end;
                    break;
                }
                default:
                    if ((c >= '0' && c <= '9') || (c == '.' && d >= '0' && d <= '9')) {
                        size_t end = i;
                        while (end < n && s[end] >= '0' && s[end] <= '9')
                            ++end;
                        if (end < n && s[end] == '.') {
                            ++end;
                            while (end < n && s[end] >= '0' && s[end] <= '9')
                                ++end;
                        }
                        t.type = Tok::kNumber;
                        t.number = toNumber(s + i, end - i);
                        i = end;
                    } else if (c == '.') {
                        if (d == '.')
                            single(Tok::kDotDot, 2);
                        else
                            single(Tok::kDot, 1);
                    } else if (isNameStart(static_cast<unsigned char>(c))) {
                        size_t end = i;
                        ncname(end);
                        if (end + 1 < n && s[end] == ':' && s[end + 1] == '*') {
                            end += 2;
                        } else if (end + 1 < n && s[end] == ':' &&
                                   isNameStart(static_cast<unsigned char>(s[end + 1]))) {
                            ++end;
                            ncname(end);
                        }
                        t.type = Tok::kName;
                        t.text.assign(s + i, end - i);
                        i = end;
                    } else {
                        return fail("unexpected character", t.column);
                    }
            }
            out.push_back(std::move(t));
        }
    }

    std::string error;
    int errorColumn = 0;

private:
    void ncname(size_t& i) const {
        while (i < n && isNameChar(static_cast<unsigned char>(s[i])))
            ++i;
    }
    bool qname(size_t& i) const {
        if (i >= n || !isNameStart(static_cast<unsigned char>(s[i]))) return false;
        ncname(i);
        if (i + 1 < n && s[i] == ':' && isNameStart(static_cast<unsigned char>(s[i + 1]))) {
            ++i;
            ncname(i);
        }
        return true;
    }
    bool fail(const char* message, int column) {
        error = message;
        errorColumn = column;
        return false;
    }

    const char* s;
    size_t n;
};

// ---------------------------------------------------------------- parser

class Parser {
public:
    explicit Parser(std::vector<Token> tokens) : tokens(std::move(tokens)) {}

    ExprPtr parse() {
        ExprPtr e = orExpr();
        if (peek().type != Tok::kEnd) fail("unexpected token after the expression");
        return e;
    }

private:
    const Token& peek(size_t ahead = 0) const {
        size_t i = std::min(at + ahead, tokens.size() - 1);
        return tokens[i];
    }
    const Token& take() {
        const Token& t = tokens[at];
        if (at + 1 < tokens.size()) ++at;
        return t;
    }
    [[noreturn]] void fail(const std::string& message) { throw Failure{message}; }
    void expect(Tok type, const char* what) {
        if (peek().type != type) fail(std::string("expected ") + what);
        take();
    }
    bool isOperatorName(const char* word) const {
        return peek().type == Tok::kName && peek().text == word;
    }

    // Every nested expression passes here: parentheses, predicates,
    // arguments and each operator level.
    struct Nest {
        Parser& p;
        explicit Nest(Parser& p) : p(p) {
            if (++p.depth > ZUVXPath::kMaxNesting) p.fail("expression nested too deeply");
        }
        ~Nest() { --p.depth; }
    };

    ExprPtr binary(Op op, ExprPtr a, ExprPtr b, Kind kind) {
        ExprPtr e(new Expr(op));
        e->kind = kind;
        e->uses = a->uses | b->uses;
        e->args.push_back(std::move(a));
        e->args.push_back(std::move(b));
        // Chains such as 1+1+1... grow leftwards: the height counts too.
        setHeight(*e, std::max(e->args[0]->height, e->args[1]->height) + 1);
        return e;
    }
    void setHeight(Expr& e, int h) {
        if (h > ZUVXPath::kMaxNesting) fail("expression nested too deeply");
        e.height = h;
    }

    ExprPtr orExpr() {
        Nest nest(*this);
        ExprPtr e = andExpr();
        while (isOperatorName("or")) {
            take();
            e = binary(Op::kOr, std::move(e), andExpr(), Kind::kBoolean);
        }
        return e;
    }
    ExprPtr andExpr() {
        ExprPtr e = equalityExpr();
        while (isOperatorName("and")) {
            take();
            e = binary(Op::kAnd, std::move(e), equalityExpr(), Kind::kBoolean);
        }
        return e;
    }
    ExprPtr equalityExpr() {
        ExprPtr e = relationalExpr();
        while (peek().type == Tok::kEq || peek().type == Tok::kNe) {
            Op op = take().type == Tok::kEq ? Op::kEq : Op::kNe;
            e = binary(op, std::move(e), relationalExpr(), Kind::kBoolean);
        }
        return e;
    }
    ExprPtr relationalExpr() {
        ExprPtr e = additiveExpr();
        while (true) {
            Op op;
            switch (peek().type) {
                case Tok::kLt:
                    op = Op::kLt;
                    break;
                case Tok::kLe:
                    op = Op::kLe;
                    break;
                case Tok::kGt:
                    op = Op::kGt;
                    break;
                case Tok::kGe:
                    op = Op::kGe;
                    break;
                default:
                    return e;
            }
            take();
            e = binary(op, std::move(e), additiveExpr(), Kind::kBoolean);
        }
    }
    ExprPtr additiveExpr() {
        ExprPtr e = multiplicativeExpr();
        while (peek().type == Tok::kPlus || peek().type == Tok::kMinus) {
            Op op = take().type == Tok::kPlus ? Op::kAdd : Op::kSub;
            e = binary(op, std::move(e), multiplicativeExpr(), Kind::kNumber);
        }
        return e;
    }
    ExprPtr multiplicativeExpr() {
        ExprPtr e = unaryExpr();
        while (true) {
            Op op;
            if (peek().type == Tok::kStar)
                op = Op::kMul;
            else if (isOperatorName("div"))
                op = Op::kDiv;
            else if (isOperatorName("mod"))
                op = Op::kMod;
            else
                return e;
            take();
            e = binary(op, std::move(e), unaryExpr(), Kind::kNumber);
        }
    }
    ExprPtr unaryExpr() {
        if (peek().type != Tok::kMinus) return unionExpr();
        Nest nest(*this);
        take();
        ExprPtr e(new Expr(Op::kNeg));
        e->kind = Kind::kNumber;
        e->args.push_back(unaryExpr());
        e->uses = e->args[0]->uses;
        setHeight(*e, e->args[0]->height + 1);
        return e;
    }
    ExprPtr unionExpr() {
        ExprPtr e = pathExpr();
        while (peek().type == Tok::kPipe) {
            take();
            e = binary(Op::kUnion, std::move(e), pathExpr(), Kind::kNodeSet);
        }
        return e;
    }

    bool startsStep() const {
        switch (peek().type) {
            case Tok::kName:
            case Tok::kStar:
            case Tok::kAt:
            case Tok::kDot:
            case Tok::kDotDot:
                return true;
            default:
                return false;
        }
    }
    bool isNodeType(const std::string& name) const {
        return name == "node" || name == "text" || name == "comment" ||
               name == "processing-instruction";
    }

    ExprPtr pathExpr() {
        const Token& t = peek();
        bool filter = t.type == Tok::kVariable || t.type == Tok::kLParen ||
                      t.type == Tok::kLiteral || t.type == Tok::kNumber ||
                      (t.type == Tok::kName && peek(1).type == Tok::kLParen && !isNodeType(t.text));
        if (!filter) return locationPath();
        ExprPtr primary = primaryExpr();
        std::vector<ExprPtr> filters;
        while (peek().type == Tok::kLBracket)
            filters.push_back(predicate());
        if (filters.empty() && peek().type != Tok::kSlash && peek().type != Tok::kSlashSlash)
            return primary;
        ExprPtr e(new Expr(Op::kPath));
        e->kind = Kind::kNodeSet;
        e->uses = primary->uses;
        e->primary = std::move(primary);
        e->filters = std::move(filters);
        if (peek().type == Tok::kSlash || peek().type == Tok::kSlashSlash) relativePath(*e, true);
        pathHeight(*e);
        return e;
    }

    ExprPtr locationPath() {
        ExprPtr e(new Expr(Op::kPath));
        e->kind = Kind::kNodeSet;
        if (peek().type == Tok::kSlash) {
            take();
            e->absolute = true;
            if (startsStep()) relativePath(*e, false);
        } else if (peek().type == Tok::kSlashSlash) {
            e->absolute = true;
            relativePath(*e, true);
        } else {
            e->uses = kUsesNode;
            if (!startsStep()) fail("expected an expression");
            relativePath(*e, false);
        }
        pathHeight(*e);
        return e;
    }

    void pathHeight(Expr& e) {
        int h = e.primary ? e.primary->height : 0;
        for (const ExprPtr& f : e.filters)
            h = std::max(h, f->height);
        for (const Step& s : e.steps)
            for (const ExprPtr& p : s.predicates)
                h = std::max(h, p->height);
        setHeight(e, h + 1);
    }

    // Steps, each after '/' or '//' when `separatorFirst`.
    void relativePath(Expr& e, bool separatorFirst) {
        bool first = !separatorFirst;
        while (true) {
            if (!first) {
                Tok sep = peek().type;
                if (sep != Tok::kSlash && sep != Tok::kSlashSlash) break;
                take();
                if (sep == Tok::kSlashSlash) {
                    Step any;
                    any.axis = Axis::kDescendantOrSelf;
                    any.test = Test::kNode;
                    e.steps.push_back(std::move(any));
                }
            }
            first = false;
            e.steps.push_back(step());
        }
    }

    Step step() {
        Step s;
        const Token& t = peek();
        if (t.type == Tok::kDot) {
            take();
            s.axis = Axis::kSelf;
            return s;
        }
        if (t.type == Tok::kDotDot) {
            take();
            s.axis = Axis::kParent;
            return s;
        }
        if (t.type == Tok::kAt) {
            take();
            s.axis = Axis::kAttribute;
        } else if (t.type == Tok::kName && peek(1).type == Tok::kColonColon) {
            static const std::pair<const char*, Axis> kAxes[] = {
                {"ancestor", Axis::kAncestor},
                {"ancestor-or-self", Axis::kAncestorOrSelf},
                {"attribute", Axis::kAttribute},
                {"child", Axis::kChild},
                {"descendant", Axis::kDescendant},
                {"descendant-or-self", Axis::kDescendantOrSelf},
                {"following", Axis::kFollowing},
                {"following-sibling", Axis::kFollowingSibling},
                {"namespace", Axis::kNamespace},
                {"parent", Axis::kParent},
                {"preceding", Axis::kPreceding},
                {"preceding-sibling", Axis::kPrecedingSibling},
                {"self", Axis::kSelf},
            };
            bool known = false;
            for (const auto& a : kAxes)
                if (t.text == a.first) {
                    s.axis = a.second;
                    known = true;
                }
            if (!known) fail("unknown axis '" + t.text + "'");
            take();
            take();
        }
        nodeTest(s);
        while (peek().type == Tok::kLBracket)
            s.predicates.push_back(predicate());
        s.streaming = !s.predicates.empty();
        for (const ExprPtr& p : s.predicates)
            if ((p->uses & (kUsesPosition | kUsesLast)) || p->kind == Kind::kNumber ||
                p->kind == Kind::kAny)
                s.streaming = false;
        return s;
    }

    void nodeTest(Step& s) {
        const Token& t = peek();
        if (t.type == Tok::kStar) {
            take();
            s.test = Test::kAny;
            return;
        }
        if (t.type != Tok::kName) fail("expected a node test");
        if (peek(1).type == Tok::kLParen && isNodeType(t.text)) {
            std::string type = t.text;
            take();
            take();
            if (type == "processing-instruction" && peek().type == Tok::kLiteral) take();
            expect(Tok::kRParen, "')'");
            s.test = type == "node" ? Test::kNode : type == "text" ? Test::kText : Test::kNone;
            return;
        }
        take();
        if (t.text.size() >= 2 && t.text.compare(t.text.size() - 2, 2, ":*") == 0) {
            // A prefix with no namespace behind it: our names are plain text,
            // so "p:*" matches the names that start with "p:".
            s.test = Test::kPrefix;
            s.name = ZUVString(t.text.c_str(), static_cast<int>(t.text.size()) - 1);
            return;
        }
        s.test = Test::kName;
        s.name = ZUVString(t.text.c_str(), static_cast<int>(t.text.size()));
    }

    ExprPtr predicate() {
        take();  // '['
        ExprPtr e = orExpr();
        expect(Tok::kRBracket, "']'");
        return e;
    }

    ExprPtr primaryExpr() {
        const Token& t = peek();
        switch (t.type) {
            case Tok::kVariable: {
                ExprPtr e(new Expr(Op::kVariable));
                e->text = t.text;
                take();
                return e;
            }
            case Tok::kLParen: {
                take();
                ExprPtr e = orExpr();
                expect(Tok::kRParen, "')'");
                return e;
            }
            case Tok::kLiteral: {
                ExprPtr e(new Expr(Op::kLiteral));
                e->kind = Kind::kString;
                e->text = t.text;
                take();
                return e;
            }
            case Tok::kNumber: {
                ExprPtr e(new Expr(Op::kNumber));
                e->kind = Kind::kNumber;
                e->number = t.number;
                take();
                return e;
            }
            default:
                return functionCall();
        }
    }

    ExprPtr functionCall() {
        Nest nest(*this);
        std::string name = peek().text;
        const FunctionInfo* info = nullptr;
        for (const FunctionInfo& f : kFunctions)
            if (name == f.name) info = &f;
        if (!info) fail("unknown function '" + name + "'");
        take();
        take();  // '('
        ExprPtr e(new Expr(Op::kFunction));
        e->fn = info->fn;
        int h = 1;
        if (peek().type != Tok::kRParen) {
            while (true) {
                e->args.push_back(orExpr());
                h = std::max(h, e->args.back()->height + 1);
                if (peek().type != Tok::kComma) break;
                take();
            }
        }
        int count = static_cast<int>(e->args.size());
        if (count < info->minArgs || (info->maxArgs >= 0 && count > info->maxArgs))
            fail("wrong number of arguments to " + name + "()");
        expect(Tok::kRParen, "')'");
        setHeight(*e, h);
        for (const ExprPtr& a : e->args)
            e->uses |= a->uses;
        switch (info->fn) {
            case Fn::kLast:
                e->uses |= kUsesLast;
                break;
            case Fn::kPosition:
                e->uses |= kUsesPosition;
                break;
            case Fn::kLocalName:
            case Fn::kNamespaceUri:
            case Fn::kName:
            case Fn::kString:
            case Fn::kStringLength:
            case Fn::kNormalizeSpace:
            case Fn::kNumber:
                if (count == 0) e->uses |= kUsesNode;
                break;
            case Fn::kLang:
                e->uses |= kUsesNode;
                break;
            default:
                break;
        }
        switch (info->fn) {
            case Fn::kLast:
            case Fn::kPosition:
            case Fn::kCount:
            case Fn::kStringLength:
            case Fn::kNumber:
            case Fn::kSum:
            case Fn::kFloor:
            case Fn::kCeiling:
            case Fn::kRound:
                e->kind = Kind::kNumber;
                break;
            case Fn::kId:
                e->kind = Kind::kNodeSet;
                break;
            case Fn::kStartsWith:
            case Fn::kContains:
            case Fn::kBoolean:
            case Fn::kNot:
            case Fn::kTrue:
            case Fn::kFalse:
            case Fn::kLang:
                e->kind = Kind::kBoolean;
                break;
            default:
                e->kind = Kind::kString;
        }
        return e;
    }

    std::vector<Token> tokens;
    size_t at = 0;
    int depth = 0;

public:
    int column() const { return peek().column; }
};

// ---------------------------------------------------------------- evaluation

struct Context {
    Node node;
    size_t position;
    size_t size;
};

class Evaluator {
public:
    Evaluator(const ZUVXPathVariables* variables, long budget)
        : variables(variables), budget(budget > 0 ? budget : std::numeric_limits<long>::max()) {}

    Value eval(const Expr& e, const Context& c);

private:
    void visit() {
        if (++visited > budget) throw Failure{"node budget spent"};
    }
    void visit(size_t n) {
        visited += static_cast<long>(n);
        if (visited > budget) throw Failure{"node budget spent"};
    }

    // String-values, the elements read counted against the budget.
    void appendStringValue(const Node& n, std::string& out) {
        long steps = 0;
        collectStringValue(n, out, steps);
        visit(static_cast<size_t>(steps));
    }
    void appendStringValue(const ZUVDOMElement* e, std::string& out) {
        appendStringValue(T::element(e), out);
    }
    std::string stringValue(const Node& n) {
        std::string out;
        appendStringValue(n, out);
        return out;
    }

    // ------------------------------------------------ document order

    // Position of a child among its parent's children, found once per parent.
    int siblingIndex(const ZUVDOMElement* e) {
        const ZUVDOMElement* parent = e->getParent();
        if (!parent) return 0;
        auto it = positions.find(e);
        if (it != positions.end()) return it->second;
        int n = childCount(parent);
        visit(static_cast<size_t>(n));
        for (int i = 0; i < n; ++i)
            positions[childAt(parent, i)] = i;
        return positions[e];
    }
    // Where a node stands within its element: the element, then its
    // attributes, then (between) its children, then its text.
    static long rank(const Node& n) {
        int i = T::indexOf(n);
        if (i >= 0) return 1 + i;
        if (i == -1) return 0;                                 // element
        if (i == -2) return std::numeric_limits<long>::max();  // text
        return -1;                                             // root
    }

    // A node's place in document order, worked out once per sort: its tree,
    // the child positions from the topmost element down to its element, and
    // its rank there.
    struct Keyed {
        Node node;
        const ZUVDOMElement* top;
        std::vector<int> path;
        long rank;
    };
    static bool before(const Keyed& a, const Keyed& b) {
        if (a.top != b.top) return a.top < b.top;  // separate trees
        size_t n = std::min(a.path.size(), b.path.size());
        for (size_t i = 0; i < n; ++i)
            if (a.path[i] != b.path[i]) return a.path[i] < b.path[i];
        if (a.path.size() == b.path.size()) return a.rank < b.rank;
        // One holds the other: the holder's own nodes come before the
        // subtree, its text after.
        if (a.path.size() < b.path.size()) return a.rank != std::numeric_limits<long>::max();
        return b.rank == std::numeric_limits<long>::max();
    }

    void sortNodes(NodeList& nodes) {
        if (nodes.size() < 2) return;
        std::vector<Keyed> keyed(nodes.size());
        for (size_t k = 0; k < nodes.size(); ++k) {
            Keyed& key = keyed[k];
            key.node = nodes[k];
            key.rank = rank(nodes[k]);
            const ZUVDOMElement* e = T::of(nodes[k]);
            if (nodes[k].getKind() == Node::kRoot) {
                // The root stands above its topmost element: an empty path
                // with the lowest rank.
                key.top = e;
                continue;
            }
            for (; e->getParent(); e = e->getParent()) {
                visit();
                key.path.push_back(siblingIndex(e));
            }
            std::reverse(key.path.begin(), key.path.end());
            key.top = e;
        }
        std::stable_sort(keyed.begin(), keyed.end(), before);
        nodes.clear();
        for (const Keyed& k : keyed)
            if (nodes.empty() || nodes.back() != k.node) nodes.push_back(k.node);
    }
    void order(Value& v) {
        if (!v.ordered) {
            sortNodes(v.nodes);
            v.ordered = true;
        }
    }

    // ------------------------------------------------ axes

    bool matches(const Step& s, const Node& n) const {
        Node::Kind k = n.getKind();
        switch (s.test) {
            case Test::kNode:
                return true;
            case Test::kText:
                return k == Node::kText;
            case Test::kNone:
                return false;
            case Test::kAny:
                return s.axis == Axis::kAttribute ? k == Node::kAttribute : k == Node::kElement;
            case Test::kName:
                if (s.axis == Axis::kAttribute)
                    return k == Node::kAttribute &&
                           T::attributeName(T::of(n), T::indexOf(n)) == s.name;
                return k == Node::kElement && T::of(n)->getTagName() == s.name;
            case Test::kPrefix: {
                if (k != (s.axis == Axis::kAttribute ? Node::kAttribute : Node::kElement))
                    return false;
                const ZUVString& name = n.getName();
                return name.getLength() > s.name.getLength() &&
                       std::memcmp(name.getText(), s.name.getText(),
                                   static_cast<size_t>(s.name.getLength())) == 0;
            }
        }
        return false;
    }

    // Calls f(node) for each node of the subtree below `e` in document order
    // (or its reverse), `e` itself first (last) when `self`.
    template <class F>
    void forwardSubtree(const ZUVDOMElement* e, bool self, F&& f) {
        if (self) f(T::element(e));
        std::vector<std::pair<const ZUVDOMElement*, int>> stack;
        stack.emplace_back(e, 0);
        while (!stack.empty()) {
            const ZUVDOMElement* top = stack.back().first;
            int i = stack.back().second;
            if (i < childCount(top)) {
                ++stack.back().second;
                const ZUVDOMElement* c = childAt(top, i);
                visit();
                f(T::element(c));
                stack.emplace_back(c, 0);
            } else {
                if (hasText(top)) {
                    visit();
                    f(T::text(top));
                }
                stack.pop_back();
            }
        }
    }
    template <class F>
    void reverseSubtree(const ZUVDOMElement* e, bool self, F&& f) {
        std::vector<std::pair<const ZUVDOMElement*, int>> stack;
        if (hasText(e)) {
            visit();
            f(T::text(e));
        }
        stack.emplace_back(e, childCount(e) - 1);
        while (!stack.empty()) {
            const ZUVDOMElement* top = stack.back().first;
            int i = stack.back().second;
            if (i >= 0) {
                --stack.back().second;
                const ZUVDOMElement* c = childAt(top, i);
                if (hasText(c)) {
                    visit();
                    f(T::text(c));
                }
                stack.emplace_back(c, childCount(c) - 1);
            } else {
                stack.pop_back();
                if (top != e) {
                    visit();
                    f(T::element(top));
                }
            }
        }
        if (self) f(T::element(e));
    }

    // Calls f(node) for each node on `axis` from `n`, in the axis's order.
    template <class F>
    void walk(Axis axis, const Node& n, F&& f) {
        const ZUVDOMElement* e = T::of(n);
        Node::Kind k = n.getKind();
        if (!e) return;
        switch (axis) {
            case Axis::kSelf:
                visit();
                f(n);
                return;
            case Axis::kChild:
                if (k == Node::kRoot) {
                    visit();
                    f(T::element(e));
                } else if (k == Node::kElement) {
                    int count = childCount(e);
                    visit(static_cast<size_t>(count));
                    for (int i = 0; i < count; ++i)
                        f(T::element(childAt(e, i)));
                    if (hasText(e)) f(T::text(e));
                }
                return;
            case Axis::kAttribute:
                if (k == Node::kElement) {
                    int count = T::attributeCount(e);
                    visit(static_cast<size_t>(count));
                    for (int i = 0; i < count; ++i)
                        f(T::attribute(e, i));
                }
                return;
            case Axis::kDescendantOrSelf:
            case Axis::kDescendant: {
                bool self = axis == Axis::kDescendantOrSelf;
                if (k == Node::kRoot) {
                    if (self) f(n);
                    visit();
                    forwardSubtree(e, true, f);
                } else if (k == Node::kElement) {
                    forwardSubtree(e, self, f);
                } else if (self) {
                    f(n);
                }
                return;
            }
            case Axis::kParent:
                if (k == Node::kAttribute || k == Node::kText) {
                    f(T::element(e));
                } else if (k == Node::kElement) {
                    f(e->getParent() ? T::element(e->getParent()) : T::root(e));
                }
                return;
            case Axis::kAncestorOrSelf:
            case Axis::kAncestor: {
                if (axis == Axis::kAncestorOrSelf) f(n);
                if (k == Node::kRoot) return;
                if (k != Node::kElement) f(T::element(e));
                for (const ZUVDOMElement* p = e->getParent(); p; p = p->getParent()) {
                    visit();
                    f(T::element(p));
                }
                f(T::root(topOf(e)));
                return;
            }
            case Axis::kFollowingSibling:
            case Axis::kPrecedingSibling: {
                bool forward = axis == Axis::kFollowingSibling;
                if (k == Node::kText) {
                    if (!forward)
                        for (int i = childCount(e) - 1; i >= 0; --i) {
                            visit();
                            f(T::element(childAt(e, i)));
                        }
                    return;
                }
                const ZUVDOMElement* parent = e->getParent();
                if (k != Node::kElement || !parent) return;
                int at = siblingIndex(e);
                if (forward) {
                    for (int i = at + 1; i < childCount(parent); ++i) {
                        visit();
                        f(T::element(childAt(parent, i)));
                    }
                    if (hasText(parent)) f(T::text(parent));
                } else {
                    for (int i = at - 1; i >= 0; --i) {
                        visit();
                        f(T::element(childAt(parent, i)));
                    }
                }
                return;
            }
            case Axis::kFollowing: {
                if (k == Node::kRoot) return;
                if (k == Node::kAttribute) forwardSubtree(e, false, f);
                for (const ZUVDOMElement* cur = e; cur->getParent(); cur = cur->getParent()) {
                    const ZUVDOMElement* parent = cur->getParent();
                    for (int i = siblingIndex(cur) + 1; i < childCount(parent); ++i) {
                        visit();
                        forwardSubtree(childAt(parent, i), true, f);
                    }
                    if (hasText(parent)) f(T::text(parent));
                }
                return;
            }
            case Axis::kPreceding: {
                if (k == Node::kRoot) return;
                if (k == Node::kText)
                    for (int i = childCount(e) - 1; i >= 0; --i) {
                        visit();
                        reverseSubtree(childAt(e, i), true, f);
                    }
                for (const ZUVDOMElement* cur = e; cur->getParent(); cur = cur->getParent()) {
                    const ZUVDOMElement* parent = cur->getParent();
                    for (int i = siblingIndex(cur) - 1; i >= 0; --i) {
                        visit();
                        reverseSubtree(childAt(parent, i), true, f);
                    }
                }
                return;
            }
            case Axis::kNamespace:
                return;
        }
    }

    // ------------------------------------------------ steps

    // Nodes of one step from one context node, in axis order, filtered by
    // the node test; the name index answers a child step by name.
    void candidates(const Step& s, const Node& n, NodeList& out) {
        if (s.axis == Axis::kChild && s.test == Test::kName && n.getKind() == Node::kElement) {
            ZUVOrderedVector* list = T::of(n)->getElements(s.name);
            if (!list) return;
            int count = list->size();
            visit(static_cast<size_t>(count));
            for (int i = 0; i < count; ++i)
                out.push_back(T::element(static_cast<const ZUVDOMElement*>(list->elementAt(i))));
            return;
        }
        walk(s.axis, n, [&](const Node& m) {
            if (matches(s, m)) out.push_back(m);
        });
    }

    struct Constant {
        bool isNumber;
        double number;
        bool truth;
    };
    // A predicate that reads nothing of its context has the same answer all
    // through one evaluation (per tree): worked out once. Nested ones would
    // otherwise multiply: //x[//y[//z]].
    Constant constant(const Expr& p, const Context& c) {
        const ZUVDOMElement* tree = T::of(c.node) ? topOf(T::of(c.node)) : nullptr;
        auto key = std::make_pair(&p, tree);
        auto it = constants.find(key);
        if (it == constants.end()) {
            Value v = eval(p, c);
            Constant k{v.kind == Kind::kNumber, v.number, toBoolean(v)};
            it = constants.emplace(key, k).first;
        }
        return it->second;
    }

    // Truth of a predicate for the node at `position` of `size`.
    bool predicateHolds(const Expr& p, const Context& c) {
        if (p.uses == 0) {
            Constant k = constant(p, c);
            return k.isNumber ? k.number == static_cast<double>(c.position) : k.truth;
        }
        Value v = eval(p, c);
        if (v.kind == Kind::kNumber) return v.number == static_cast<double>(c.position);
        return toBoolean(v);
    }

    // Applies `p` to `nodes` (in axis order), keeping those it holds for.
    void filter(const Expr& p, NodeList& nodes) {
        if (nodes.empty()) return;
        size_t size = nodes.size();
        if (!(p.uses & (kUsesNode | kUsesPosition))) {
            // Same answer for every node: evaluate once.
            Context c{nodes[0], 1, size};
            Value v;
            if (p.uses == 0) {
                Constant k = constant(p, c);
                v = k.isNumber ? Value::ofNumber(k.number) : Value::ofBool(k.truth);
            } else {
                v = eval(p, c);
            }
            if (v.kind == Kind::kNumber) {
                double k = v.number;
                if (k >= 1 && k <= static_cast<double>(size) && k == std::floor(k)) {
                    Node keep = nodes[static_cast<size_t>(k) - 1];
                    nodes.assign(1, keep);
                } else {
                    nodes.clear();
                }
            } else if (!toBoolean(v)) {
                nodes.clear();
            }
            return;
        }
        size_t kept = 0;
        for (size_t i = 0; i < size; ++i)
            if (predicateHolds(p, Context{nodes[i], i + 1, size})) nodes[kept++] = nodes[i];
        nodes.resize(kept);
    }

    // A child step by name whose first predicate is the same for every
    // candidate ([3], [last()], [$n]): an index into the name's list.
    bool indexedChild(const Step& s, const Node& n, NodeList& out) {
        if (s.axis != Axis::kChild || s.test != Test::kName || n.getKind() != Node::kElement)
            return false;
        const Expr& p = *s.predicates[0];
        if (p.uses & (kUsesNode | kUsesPosition)) return false;
        ZUVOrderedVector* list = T::of(n)->getElements(s.name);
        size_t size = list ? static_cast<size_t>(list->size()) : 0;
        if (size == 0) return true;
        auto at = [&](size_t i) {
            return T::element(
                static_cast<const ZUVDOMElement*>(list->elementAt(static_cast<int>(i))));
        };
        Value v = eval(p, Context{at(0), 1, size});
        if (v.kind == Kind::kNumber) {
            double k = v.number;
            if (k >= 1 && k <= static_cast<double>(size) && k == std::floor(k)) {
                visit();
                out.push_back(at(static_cast<size_t>(k) - 1));
            }
        } else if (toBoolean(v)) {
            visit(size);
            for (size_t i = 0; i < size; ++i)
                out.push_back(at(i));
        }
        return true;
    }

    // One step from every node of `input` (ordered), into `output`.
    // True when `n` lies in the subtree of `holder` (an element or the root).
    bool inside(const Node& n, const Node& holder) {
        const ZUVDOMElement* h = T::of(holder);
        const ZUVDOMElement* e = T::of(n);
        if (holder.getKind() == Node::kRoot) return topOf(e) == h;
        if (n.getKind() == Node::kText && e == h) return true;
        for (e = e->getParent(); e; e = e->getParent()) {
            visit();
            if (e == h) return true;
        }
        return false;
    }

    void step(const Step& s, const Value& input, Value& output) {
        NodeList& out = output.nodes;
        NodeList buffer;
        // The descendants of a node inside an earlier context node are found
        // already: skipped, the result needs no sort ('//a//b', '//*//*').
        bool prune = (s.axis == Axis::kDescendant || s.axis == Axis::kDescendantOrSelf) &&
                     (s.predicates.empty() || s.streaming) && input.ordered &&
                     input.nodes.size() > 1;
        for (const Node& n : input.nodes)
            if (prune && n.getKind() == Node::kAttribute) prune = false;
        Node holder;
        bool holding = false;
        for (const Node& n : input.nodes) {
            if (prune) {
                if (holding && inside(n, holder)) continue;
                if (n.getKind() == Node::kElement || n.getKind() == Node::kRoot) {
                    holder = n;
                    holding = true;
                }
            }
            if (s.predicates.empty()) {
                candidates(s, n, out);
                continue;
            }
            if (s.streaming) {
                Context c{n, 1, 1};
                auto test = [&](const Node& m) {
                    c.node = m;
                    for (const ExprPtr& p : s.predicates)
                        if (!predicateHolds(*p, c)) return;
                    out.push_back(m);
                };
                if (s.axis == Axis::kChild && s.test == Test::kName &&
                    n.getKind() == Node::kElement) {
                    ZUVOrderedVector* list = T::of(n)->getElements(s.name);
                    int count = list ? list->size() : 0;
                    visit(static_cast<size_t>(count));
                    for (int i = 0; i < count; ++i)
                        test(T::element(static_cast<const ZUVDOMElement*>(list->elementAt(i))));
                } else {
                    walk(s.axis, n, [&](const Node& m) {
                        if (matches(s, m)) test(m);
                    });
                }
                continue;
            }
            buffer.clear();
            size_t first = 0;
            if (indexedChild(s, n, buffer))
                first = 1;
            else
                candidates(s, n, buffer);
            for (size_t i = first; i < s.predicates.size() && !buffer.empty(); ++i)
                filter(*s.predicates[i], buffer);
            out.insert(out.end(), buffer.begin(), buffer.end());
        }
        // Results come out in document order and once each when there was
        // one context node, or when the step cannot reach a node from two
        // context nodes nor reach a node before an earlier context's.
        bool single = input.nodes.size() <= 1;
        bool flatInput = input.ordered && flat;
        switch (s.axis) {
            case Axis::kSelf:
                output.ordered = input.ordered;
                break;
            case Axis::kAttribute:
                output.ordered = input.ordered;
                flat = true;
                break;
            case Axis::kChild:
                output.ordered = single || flatInput;
                flat = output.ordered;
                break;
            case Axis::kDescendant:
            case Axis::kDescendantOrSelf:
                output.ordered = single || flatInput || prune;
                flat = false;
                break;
            default:
                output.ordered = single && !isReverse(s.axis);
                if (single && isReverse(s.axis)) {
                    std::reverse(out.begin(), out.end());
                    output.ordered = true;
                }
                flat = s.axis == Axis::kParent && single;
                break;
        }
        if (isReverse(s.axis) && !single) output.ordered = false;
    }

    // The node-set of a path; with `count` set, only its size when the last
    // step can be counted without listing its nodes (then `*count` is set
    // and the value is empty), as count() asks.
    Value path(const Expr& e, const Context& c, size_t* count = nullptr) {
        Value current;
        if (e.primary) {
            current = eval(*e.primary, c);
            if (current.kind != Kind::kNodeSet)
                throw Failure{"a filter or a path needs a node-set"};
            order(current);
            for (const ExprPtr& p : e.filters)
                filter(*p, current.nodes);
            flat = current.nodes.size() <= 1;
        } else if (e.absolute) {
            const ZUVDOMElement* top = T::of(c.node) ? topOf(T::of(c.node)) : nullptr;
            if (top) current.nodes.push_back(T::root(top));
            flat = true;
        } else {
            current.nodes.push_back(c.node);
            flat = true;
        }
        size_t i = 0;
        while (i < e.steps.size()) {
            const Step& s = e.steps[i];
            bool distinct = current.nodes.size() <= 1 || (current.ordered && flat);
            // '//name' is 'descendant::name' when no predicate counts positions.
            if (s.axis == Axis::kDescendantOrSelf && s.test == Test::kNode &&
                s.predicates.empty() && i + 1 < e.steps.size()) {
                const Step& next = e.steps[i + 1];
                if (next.axis == Axis::kChild &&
                    (next.test == Test::kName || next.test == Test::kAny) &&
                    (next.predicates.empty() || next.streaming)) {
                    if (count && i + 2 == e.steps.size() && next.predicates.empty() && distinct) {
                        *count = 0;
                        for (const Node& n : current.nodes)
                            *count += countDescendants(n, next);
                        return Value();
                    }
                    Value output;
                    stepFused(next, current, output);
                    current = std::move(output);
                    i += 2;
                    continue;
                }
            }
            if (count && i + 1 == e.steps.size() && s.predicates.empty() && distinct &&
                s.axis == Axis::kChild && s.test == Test::kName) {
                *count = 0;
                for (const Node& n : current.nodes)
                    if (n.getKind() == Node::kElement)
                        *count += static_cast<size_t>(T::of(n)->getElementCount(s.name));
                    else if (n.getKind() == Node::kRoot)
                        *count += sameName(T::of(n)->getTagName(), s.name);
                visit(*count);
                return Value();
            }
            Value output;
            step(s, current, output);
            if (!output.ordered) order(output);
            current = std::move(output);
            ++i;
        }
        order(current);
        return current;
    }

    // Calls f(element) for each element below `n` in document order that
    // `test` (a name or '*') accepts; the root's include the topmost element.
    // f tells whether it kept the element. Returns true when a kept element
    // lies below another kept one (the kept ones are then not flat).
    template <class F>
    bool descendantElements(const Node& n, const Step& test, F&& f) {
        const ZUVDOMElement* e = T::of(n);
        if (!e) return false;
        bool any = test.test == Test::kAny;
        int open = 0;  // kept elements whose children are being walked
        bool nested = false;
        if (n.getKind() == Node::kRoot) {
            visit();
            if ((any || sameName(e->getTagName(), test.name)) && f(e)) open = 1;
        } else if (n.getKind() != Node::kElement) {
            return false;
        }
        struct Frame {
            const ZUVOrderedVector* list;
            int at;
            int count;
            bool kept;  // the list's owner was kept
        };
        std::vector<Frame> stack;
        const ZUVOrderedVector* list = e->getAllElements();
        if (!list || list->size() == 0) return false;
        constexpr int kAhead = 8;
        auto enter = [&](const ZUVOrderedVector* children, bool kept) {
            int count = children->size();
            visit(static_cast<size_t>(count));
            for (int i = 0; i < count && i < kAhead - 1; ++i)
                __builtin_prefetch(children->elementAt(i));
            stack.push_back({children, 0, count, kept});
        };
        enter(list, open != 0);
        while (!stack.empty()) {
            Frame& top = stack.back();
            if (top.at == top.count) {
                open -= top.kept;
                stack.pop_back();
                continue;
            }
            auto child = static_cast<const ZUVDOMElement*>(top.list->elementAt(top.at++));
            // The walk is bound by memory: keep the next siblings coming
            // while this one's subtree is walked.
            if (top.at + kAhead <= top.count)
                __builtin_prefetch(top.list->elementAt(top.at + kAhead - 1));
            bool kept = (any || sameName(child->getTagName(), test.name)) && f(child);
            if (kept && open > 0) nested = true;
            const ZUVOrderedVector* below = child->getAllElements();
            if (below && below->size() != 0) {
                open += kept;
                enter(below, kept);
            }
        }
        return nested;
    }

    // The number of elements descendantElements() would give. Order does
    // not matter here, so each list is read whole before any child's list:
    // the loads of one list's children do not wait on one another.
    size_t countDescendants(const Node& n, const Step& test) {
        const ZUVDOMElement* e = T::of(n);
        if (!e) return 0;
        bool any = test.test == Test::kAny;
        size_t found = 0;
        if (n.getKind() == Node::kRoot) {
            visit();
            found += any || sameName(e->getTagName(), test.name);
        } else if (n.getKind() != Node::kElement) {
            return 0;
        }
        // Each parent's name index gives how many of its children match, so
        // a child is read only for whether it has children of its own.
        std::vector<const ZUVDOMElement*> pending;
        if (e->getElementCount() != 0) pending.push_back(e);
        while (!pending.empty()) {
            const ZUVDOMElement* parent = pending.back();
            pending.pop_back();
            const ZUVOrderedVector* list = parent->getAllElements();
            int count = list->size();
            visit(static_cast<size_t>(count));
            found += static_cast<size_t>(any ? count : parent->getElementCount(test.name));
            for (int i = 0; i < count; ++i) {
                auto child = static_cast<const ZUVDOMElement*>(list->elementAt(i));
                if (const ZUVOrderedVector* below = child->getAllElements()) {
                    // Its lists are read when it is taken: fetch them now.
                    __builtin_prefetch(below);
                    __builtin_prefetch(T::nameIndex(child));
                    pending.push_back(child);
                }
            }
        }
        return found;
    }

    // descendant::test with the predicates of `source`, a child step by name
    // or '*' whose predicates are all streaming.
    void stepFused(const Step& source, const Value& input, Value& output) {
        NodeList& out = output.nodes;
        bool nested = false;
        for (const Node& n : input.nodes) {
            Context c{n, 1, 1};
            nested |= descendantElements(n, source, [&](const ZUVDOMElement* m) {
                c.node = T::element(m);
                for (const ExprPtr& p : source.predicates)
                    if (!predicateHolds(*p, c)) return false;
                out.push_back(c.node);
                return true;
            });
        }
        bool single = input.nodes.size() <= 1;
        output.ordered = single || (input.ordered && flat);
        // Flat when no kept element holds another: '//record/items' can
        // then go on without sorting.
        flat = output.ordered && !nested;
        if (!output.ordered) order(output);
    }

    // ------------------------------------------------ conversions

    static bool toBoolean(const Value& v) {
        switch (v.kind) {
            case Kind::kBoolean:
                return v.boolean;
            case Kind::kNumber:
                return v.number != 0 && !std::isnan(v.number);
            case Kind::kString:
                return !v.string.empty();
            default:
                return !v.nodes.empty();
        }
    }
    std::string toString(const Value& v) {
        switch (v.kind) {
            case Kind::kBoolean:
                return v.boolean ? "true" : "false";
            case Kind::kNumber:
                return numberToString(v.number);
            case Kind::kString:
                return v.string;
            default:
                return v.nodes.empty() ? std::string() : firstStringValue(v);
        }
    }
    std::string firstStringValue(const Value& v) {
        if (v.ordered) return stringValue(v.nodes[0]);
        Value copy = v;
        order(copy);
        return stringValue(copy.nodes[0]);
    }
    double toNumberValue(const Value& v) {
        switch (v.kind) {
            case Kind::kBoolean:
                return v.boolean ? 1 : 0;
            case Kind::kNumber:
                return v.number;
            default:
                return toNumber(toString(v));
        }
    }

    // ------------------------------------------------ comparisons

    static bool compareNumbers(Op op, double a, double b) {
        switch (op) {
            case Op::kEq:
                return a == b;
            case Op::kNe:
                return a != b;
            case Op::kLt:
                return a < b;
            case Op::kLe:
                return a <= b;
            case Op::kGt:
                return a > b;
            default:
                return a >= b;
        }
    }
    static Op swapped(Op op) {
        switch (op) {
            case Op::kLt:
                return Op::kGt;
            case Op::kLe:
                return Op::kGe;
            case Op::kGt:
                return Op::kLt;
            case Op::kGe:
                return Op::kLe;
            default:
                return op;
        }
    }
    // `a` and `b` neither node-sets.
    bool compareAtoms(Op op, const Value& a, const Value& b) {
        if (op == Op::kEq || op == Op::kNe) {
            bool equal;
            if (a.kind == Kind::kBoolean || b.kind == Kind::kBoolean)
                equal = toBoolean(a) == toBoolean(b);
            else if (a.kind == Kind::kNumber || b.kind == Kind::kNumber)
                equal = toNumberValue(a) == toNumberValue(b);
            else
                equal = toString(a) == toString(b);
            return op == Op::kEq ? equal : !equal;
        }
        return compareNumbers(op, toNumberValue(a), toNumberValue(b));
    }
    // `a` a node-set, `b` not.
    bool compareSetToAtom(Op op, const Value& a, const Value& b) {
        if (b.kind == Kind::kBoolean)
            return compareNumbers(op, toBoolean(a) ? 1 : 0, b.boolean ? 1 : 0);
        if (b.kind == Kind::kNumber) {
            std::string s;
            for (const Node& n : a.nodes) {
                s.clear();
                appendStringValue(n, s);
                if (compareNumbers(op, toNumber(s), b.number)) return true;
            }
            return false;
        }
        if (op == Op::kEq || op == Op::kNe) {
            std::string s;
            for (const Node& n : a.nodes) {
                s.clear();
                appendStringValue(n, s);
                if ((s == b.string) == (op == Op::kEq)) return true;
            }
            return false;
        }
        double y = toNumber(b.string);
        std::string s;
        for (const Node& n : a.nodes) {
            s.clear();
            appendStringValue(n, s);
            if (compareNumbers(op, toNumber(s), y)) return true;
        }
        return false;
    }
    bool compareSets(Op op, const Value& a, const Value& b) {
        if (a.nodes.empty() || b.nodes.empty()) return false;
        std::vector<std::string> left, right;
        for (const Node& n : a.nodes)
            left.push_back(stringValue(n));
        for (const Node& n : b.nodes)
            right.push_back(stringValue(n));
        if (op == Op::kEq || op == Op::kNe) {
            std::sort(right.begin(), right.end());
            right.erase(std::unique(right.begin(), right.end()), right.end());
            if (op == Op::kNe) {
                // Some pair differs unless both hold one and the same string.
                if (right.size() > 1) return true;
                for (const std::string& s : left)
                    if (s != right[0]) return true;
                return false;
            }
            for (const std::string& s : left)
                if (std::binary_search(right.begin(), right.end(), s)) return true;
            return false;
        }
        // Relational: compare the extremes.
        double lmin = INFINITY, lmax = -INFINITY, rmin = INFINITY, rmax = -INFINITY;
        bool lany = false, rany = false;
        for (const std::string& s : left) {
            double x = toNumber(s);
            if (std::isnan(x)) continue;
            lany = true;
            lmin = std::min(lmin, x);
            lmax = std::max(lmax, x);
        }
        for (const std::string& s : right) {
            double x = toNumber(s);
            if (std::isnan(x)) continue;
            rany = true;
            rmin = std::min(rmin, x);
            rmax = std::max(rmax, x);
        }
        if (!lany || !rany) return false;
        switch (op) {
            case Op::kLt:
                return lmin < rmax;
            case Op::kLe:
                return lmin <= rmax;
            case Op::kGt:
                return lmax > rmin;
            default:
                return lmax >= rmin;
        }
    }

    // `@name OP literal` and `name OP literal` straight from the tree, with
    // no node-set made per candidate.
    bool quickCompare(const Expr& e, const Context& c, bool& result) {
        const Expr* side = e.args[0].get();
        const Expr* other = e.args[1].get();
        Op op = e.op;
        if (side->op != Op::kPath) {
            std::swap(side, other);
            op = swapped(op);
        }
        if (side->op != Op::kPath || side->absolute || side->primary || side->steps.size() != 1)
            return false;
        if (other->op != Op::kLiteral && other->op != Op::kNumber) return false;
        const Step& s = side->steps[0];
        if (!s.predicates.empty()) return false;
        const ZUVDOMElement* e0 = T::of(c.node);
        Node::Kind k = c.node.getKind();
        if (!e0) return false;
        auto test = [&](const char* text, int length) {
            if (other->op == Op::kNumber)
                return compareNumbers(op, toNumber(text, static_cast<size_t>(length)),
                                      other->number);
            if (op == Op::kEq || op == Op::kNe) {
                bool equal = static_cast<size_t>(length) == other->text.size() &&
                             std::memcmp(text, other->text.data(), other->text.size()) == 0;
                return equal == (op == Op::kEq);
            }
            return compareNumbers(op, toNumber(text, static_cast<size_t>(length)),
                                  toNumber(other->text));
        };
        if (s.axis == Axis::kAttribute && s.test == Test::kName) {
            if (k != Node::kElement) {
                result = false;
                return true;
            }
            visit();
            // An attribute that is missing and one set to "" read the same:
            // tell them apart before comparing.
            const ZUVString& v = e0->getAttribute(s.name);
            if (&v == &emptyString) {
                result = false;
                return true;
            }
            result = test(v.getText(), v.getLength());
            return true;
        }
        if (s.axis == Axis::kSelf && s.test == Test::kNode) {
            if (k == Node::kElement && childCount(e0) == 0) {
                visit();
                result = test(e0->getValue().getText(), e0->getValue().getLength());
                return true;
            }
            return false;
        }
        if (s.axis == Axis::kChild && s.test == Test::kName && k == Node::kElement) {
            ZUVOrderedVector* list = e0->getElements(s.name);
            int count = list ? list->size() : 0;
            result = false;
            std::string scratch;
            for (int i = 0; i < count && !result; ++i) {
                visit();
                auto child = static_cast<const ZUVDOMElement*>(list->elementAt(i));
                if (childCount(child) == 0) {
                    result = test(child->getValue().getText(), child->getValue().getLength());
                } else {
                    scratch.clear();
                    appendStringValue(child, scratch);
                    result = test(scratch.data(), static_cast<int>(scratch.size()));
                }
            }
            return true;
        }
        return false;
    }

    Value compare(const Expr& e, const Context& c) {
        bool quick;
        if (quickCompare(e, c, quick)) return Value::ofBool(quick);
        Value a = eval(*e.args[0], c);
        Value b = eval(*e.args[1], c);
        bool setA = a.kind == Kind::kNodeSet, setB = b.kind == Kind::kNodeSet;
        if (setA && setB) return Value::ofBool(compareSets(e.op, a, b));
        if (setA) return Value::ofBool(compareSetToAtom(e.op, a, b));
        if (setB) return Value::ofBool(compareSetToAtom(swapped(e.op), b, a));
        return Value::ofBool(compareAtoms(e.op, a, b));
    }

    // ------------------------------------------------ functions

    std::string stringArg(const Expr& e, size_t i, const Context& c) {
        return toString(eval(*e.args[i], c));
    }
    double numberArg(const Expr& e, size_t i, const Context& c) {
        return toNumberValue(eval(*e.args[i], c));
    }
    Value nodeSetArg(const Expr& e, size_t i, const Context& c) {
        Value v = eval(*e.args[i], c);
        if (v.kind != Kind::kNodeSet) throw Failure{"argument must be a node-set"};
        return v;
    }
    // The context node, or the first node of argument 0.
    bool nodeArg(const Expr& e, const Context& c, Node& n) {
        if (e.args.empty()) {
            n = c.node;
            return true;
        }
        Value v = nodeSetArg(e, 0, c);
        if (v.nodes.empty()) return false;
        order(v);
        n = v.nodes[0];
        return true;
    }

    Value function(const Expr& e, const Context& c) {
        switch (e.fn) {
            case Fn::kLast:
                return Value::ofNumber(static_cast<double>(c.size));
            case Fn::kPosition:
                return Value::ofNumber(static_cast<double>(c.position));
            case Fn::kCount: {
                const Expr& arg = *e.args[0];
                if (arg.op == Op::kPath) {
                    // Counted where it can be, never listed.
                    size_t counted = 0;
                    bool outer = flat;
                    Value v = path(arg, c, &counted);
                    flat = outer;
                    return Value::ofNumber(
                        static_cast<double>(v.nodes.empty() ? counted : v.nodes.size()));
                }
                return Value::ofNumber(static_cast<double>(nodeSetArg(e, 0, c).nodes.size()));
            }
            case Fn::kId:
                eval(*e.args[0], c);
                return Value();
            case Fn::kLocalName:
            case Fn::kName: {
                Node n;
                if (!nodeArg(e, c, n)) return Value::ofString("");
                const ZUVString& name = n.getName();
                return Value::ofString(
                    std::string(name.getText(), static_cast<size_t>(name.getLength())));
            }
            case Fn::kNamespaceUri: {
                Node n;
                nodeArg(e, c, n);
                return Value::ofString("");
            }
            case Fn::kString:
                if (e.args.empty()) return Value::ofString(stringValue(c.node));
                return Value::ofString(stringArg(e, 0, c));
            case Fn::kConcat: {
                std::string out;
                for (size_t i = 0; i < e.args.size(); ++i)
                    out += stringArg(e, i, c);
                return Value::ofString(std::move(out));
            }
            case Fn::kStartsWith: {
                std::string a = stringArg(e, 0, c), b = stringArg(e, 1, c);
                return Value::ofBool(a.compare(0, b.size(), b) == 0);
            }
            case Fn::kContains: {
                std::string a = stringArg(e, 0, c), b = stringArg(e, 1, c);
                return Value::ofBool(a.find(b) != std::string::npos);
            }
            case Fn::kSubstringBefore: {
                std::string a = stringArg(e, 0, c), b = stringArg(e, 1, c);
                size_t at = a.find(b);
                return Value::ofString(at == std::string::npos ? "" : a.substr(0, at));
            }
            case Fn::kSubstringAfter: {
                std::string a = stringArg(e, 0, c), b = stringArg(e, 1, c);
                size_t at = a.find(b);
                return Value::ofString(at == std::string::npos ? "" : a.substr(at + b.size()));
            }
            case Fn::kSubstring: {
                std::string s = stringArg(e, 0, c);
                double first = xpathRound(numberArg(e, 1, c));
                double last = e.args.size() > 2 ? first + xpathRound(numberArg(e, 2, c)) : INFINITY;
                std::string out;
                auto chars = characters(s);
                for (size_t i = 0; i < chars.size(); ++i) {
                    double p = static_cast<double>(i + 1);
                    if (p >= first && p < last) out.append(s, chars[i].first, chars[i].second);
                }
                return Value::ofString(std::move(out));
            }
            case Fn::kStringLength: {
                std::string s = e.args.empty() ? stringValue(c.node) : stringArg(e, 0, c);
                return Value::ofNumber(static_cast<double>(characterCount(s)));
            }
            case Fn::kNormalizeSpace: {
                std::string s = e.args.empty() ? stringValue(c.node) : stringArg(e, 0, c);
                std::string out;
                bool space = false;
                for (char ch : s) {
                    if (isSpace(ch)) {
                        space = !out.empty();
                        continue;
                    }
                    if (space) out += ' ';
                    space = false;
                    out += ch;
                }
                return Value::ofString(std::move(out));
            }
            case Fn::kTranslate: {
                std::string s = stringArg(e, 0, c), from = stringArg(e, 1, c),
                            to = stringArg(e, 2, c);
                auto sc = characters(s), fc = characters(from), tc = characters(to);
                std::string out;
                for (const auto& ch : sc) {
                    size_t j = 0;
                    for (; j < fc.size(); ++j)
                        if (fc[j].second == ch.second &&
                            from.compare(fc[j].first, fc[j].second, s, ch.first, ch.second) == 0)
                            break;
                    if (j == fc.size())
                        out.append(s, ch.first, ch.second);
                    else if (j < tc.size())
                        out.append(to, tc[j].first, tc[j].second);
                }
                return Value::ofString(std::move(out));
            }
            case Fn::kBoolean:
                return Value::ofBool(toBoolean(eval(*e.args[0], c)));
            case Fn::kNot:
                return Value::ofBool(!toBoolean(eval(*e.args[0], c)));
            case Fn::kTrue:
                return Value::ofBool(true);
            case Fn::kFalse:
                return Value::ofBool(false);
            case Fn::kLang:
                eval(*e.args[0], c);
                return Value::ofBool(false);
            case Fn::kNumber:
                if (e.args.empty()) return Value::ofNumber(toNumber(stringValue(c.node)));
                return Value::ofNumber(numberArg(e, 0, c));
            case Fn::kSum: {
                Value v = nodeSetArg(e, 0, c);
                double sum = 0;
                std::string s;
                for (const Node& n : v.nodes) {
                    s.clear();
                    appendStringValue(n, s);
                    sum += toNumber(s);
                }
                return Value::ofNumber(sum);
            }
            case Fn::kFloor:
                return Value::ofNumber(std::floor(numberArg(e, 0, c)));
            case Fn::kCeiling:
                return Value::ofNumber(std::ceil(numberArg(e, 0, c)));
            case Fn::kRound:
                return Value::ofNumber(xpathRound(numberArg(e, 0, c)));
        }
        return Value();
    }

    const ZUVXPathVariables* variables;
    long budget;
    long visited = 0;
    bool flat = true;  // the current node-set holds no node and its descendant
    std::unordered_map<const ZUVDOMElement*, int> positions;
    struct PairHash {
        size_t operator()(const std::pair<const Expr*, const ZUVDOMElement*>& k) const {
            return std::hash<const void*>()(k.first) * 31 + std::hash<const void*>()(k.second);
        }
    };
    std::unordered_map<std::pair<const Expr*, const ZUVDOMElement*>, Constant, PairHash> constants;
    struct Reused {
        int seen = 0;
        Value value;
    };
    std::unordered_map<std::pair<const Expr*, const ZUVDOMElement*>, Reused, PairHash> reused;

public:
    Value fromResult(const ZUVXPathResult& r) {
        switch (r.getType()) {
            case ZUVXPathResult::kString: {
                const ZUVString& s = T::text(r);
                return Value::ofString(
                    std::string(s.getText(), static_cast<size_t>(s.getLength())));
            }
            case ZUVXPathResult::kNumber:
                return Value::ofNumber(r.getNumber());
            case ZUVXPathResult::kBoolean:
                return Value::ofBool(r.getBoolean());
            case ZUVXPathResult::kNodeSet: {
                Value v;
                v.nodes = T::nodes(r);
                v.ordered = true;
                return v;
            }
            default:
                throw Failure{"a variable holds an error"};
        }
    }
    std::string stringOf(const Value& v) { return toString(v); }
};

Value Evaluator::eval(const Expr& e, const Context& c) {
    switch (e.op) {
        case Op::kOr:
            return Value::ofBool(toBoolean(eval(*e.args[0], c)) || toBoolean(eval(*e.args[1], c)));
        case Op::kAnd:
            return Value::ofBool(toBoolean(eval(*e.args[0], c)) && toBoolean(eval(*e.args[1], c)));
        case Op::kEq:
        case Op::kNe:
        case Op::kLt:
        case Op::kLe:
        case Op::kGt:
        case Op::kGe:
            return compare(e, c);
        case Op::kAdd:
            return Value::ofNumber(numberArg(e, 0, c) + numberArg(e, 1, c));
        case Op::kSub:
            return Value::ofNumber(numberArg(e, 0, c) - numberArg(e, 1, c));
        case Op::kMul:
            return Value::ofNumber(numberArg(e, 0, c) * numberArg(e, 1, c));
        case Op::kDiv:
            return Value::ofNumber(numberArg(e, 0, c) / numberArg(e, 1, c));
        case Op::kMod:
            return Value::ofNumber(std::fmod(numberArg(e, 0, c), numberArg(e, 1, c)));
        case Op::kNeg:
            return Value::ofNumber(-numberArg(e, 0, c));
        case Op::kUnion: {
            Value a = eval(*e.args[0], c);
            Value b = eval(*e.args[1], c);
            if (a.kind != Kind::kNodeSet || b.kind != Kind::kNodeSet)
                throw Failure{"'|' needs two node-sets"};
            order(a);
            order(b);
            Value u;
            u.nodes.reserve(a.nodes.size() + b.nodes.size());
            u.nodes = std::move(a.nodes);
            u.nodes.insert(u.nodes.end(), b.nodes.begin(), b.nodes.end());
            u.ordered = false;
            order(u);
            return u;
        }
        case Op::kLiteral:
            return Value::ofString(e.text);
        case Op::kNumber:
            return Value::ofNumber(e.number);
        case Op::kVariable: {
            const ZUVXPathResult* r =
                variables
                    ? variables->get(ZUVString(e.text.c_str(), static_cast<int>(e.text.size())))
                    : nullptr;
            if (!r) throw Failure{"variable $" + e.text + " is not bound"};
            return fromResult(*r);
        }
        case Op::kFunction:
            return function(e, c);
        case Op::kPath: {
            bool outer = flat;
            if (e.uses != 0) {
                Value v = path(e, c);
                flat = outer;
                return v;
            }
            // A path that reads nothing of its context ('//a', '$v/b') gives
            // the same node-set all through one evaluation: asked for again
            // (in a predicate, for each candidate) it is kept and reused.
            const ZUVDOMElement* tree = T::of(c.node) ? topOf(T::of(c.node)) : nullptr;
            Reused& slot = reused[std::make_pair(&e, tree)];
            if (slot.seen >= 2) return slot.value;
            Value v = path(e, c);
            flat = outer;
            if (++slot.seen == 2) slot.value = v;
            return v;
        }
    }
    return Value();
}

ZUVXPathResult toResult(Evaluator& ev, Value& v) {
    ZUVXPathResult r;
    switch (v.kind) {
        case Kind::kBoolean:
            T::fill(r, ZUVXPathResult::kBoolean);
            T::boolean(r) = v.boolean;
            break;
        case Kind::kNumber:
            T::fill(r, ZUVXPathResult::kNumber);
            T::number(r) = v.number;
            break;
        case Kind::kString:
            T::fill(r, ZUVXPathResult::kString);
            T::text(r) = ZUVString(v.string.c_str(), static_cast<int>(v.string.size()));
            break;
        default:
            T::fill(r, ZUVXPathResult::kNodeSet);
            T::nodes(r) = std::move(v.nodes);
            break;
    }
    (void)ev;
    return r;
}

}  // namespace

// ---------------------------------------------------------------- public

const ZUVString& ZUVXPathNode::getName() const {
    switch (getKind()) {
        case kElement:
            return element->getTagName();
        case kAttribute:
            return T::attributeName(element, index);
        default:
            return emptyString;
    }
}

const ZUVString& ZUVXPathNode::getValue() const {
    switch (getKind()) {
        case kElement:
        case kText:
            return element->getValue();
        case kAttribute:
            return T::attributeValue(element, index);
        default:
            return emptyString;
    }
}

ZUVString ZUVXPathNode::getStringValue() const {
    std::string s;
    long steps = 0;
    collectStringValue(*this, s, steps);
    return ZUVString(s.c_str(), static_cast<int>(s.size()));
}

ZUVXPathResult ZUVXPathResult::fromString(const ZUVString& value) {
    ZUVXPathResult r;
    r.type = kString;
    r.text = value;
    return r;
}

ZUVXPathResult ZUVXPathResult::fromNumber(double value) {
    ZUVXPathResult r;
    r.type = kNumber;
    r.number = value;
    return r;
}

ZUVXPathResult ZUVXPathResult::fromBoolean(bool value) {
    ZUVXPathResult r;
    r.type = kBoolean;
    r.boolean = value;
    return r;
}

ZUVDOMElement* ZUVXPathResult::getFirstElement() const {
    return nodes.empty() ? nullptr : nodes[0].getElement();
}

ZUVString ZUVXPathResult::getString() const {
    switch (type) {
        case kString:
            return text;
        case kNumber: {
            std::string s = numberToString(number);
            return ZUVString(s.c_str(), static_cast<int>(s.size()));
        }
        case kBoolean:
            return ZUVString(boolean ? "true" : "false");
        case kNodeSet:
            return nodes.empty() ? ZUVString() : nodes[0].getStringValue();
        default:
            return ZUVString();
    }
}

double ZUVXPathResult::getNumber() const {
    switch (type) {
        case kNumber:
            return number;
        case kBoolean:
            return boolean ? 1 : 0;
        case kError:
            return std::numeric_limits<double>::quiet_NaN();
        default: {
            ZUVString s = getString();
            return toNumber(s.getText(), static_cast<size_t>(s.getLength()));
        }
    }
}

bool ZUVXPathResult::getBoolean() const {
    switch (type) {
        case kBoolean:
            return boolean;
        case kNumber:
            return number != 0 && !std::isnan(number);
        case kString:
            return !text.isEmpty();
        case kNodeSet:
            return !nodes.empty();
        default:
            return false;
    }
}

void ZUVXPathVariables::set(const ZUVString& name, const ZUVXPathResult& value) {
    for (size_t i = 0; i < names.size(); ++i)
        if (names[i] == name) {
            values[i] = value;
            return;
        }
    names.push_back(name);
    values.push_back(value);
}

const ZUVXPathResult* ZUVXPathVariables::get(const ZUVString& name) const {
    for (size_t i = 0; i < names.size(); ++i)
        if (names[i] == name) return &values[i];
    return nullptr;
}

ZUVXPath::ZUVXPath(const ZUVString& expression) : program(nullptr), errorColumn(0) {
    std::vector<Token> tokens;
    Lexer lexer(expression);
    if (!lexer.run(tokens)) {
        error = ZUVString(lexer.error.c_str(), static_cast<int>(lexer.error.size()));
        errorColumn = lexer.errorColumn;
        return;
    }
    Parser parser(std::move(tokens));
    try {
        ExprPtr root = parser.parse();
        program = new Program{std::move(root)};
    } catch (const Failure& f) {
        error = ZUVString(f.message.c_str(), static_cast<int>(f.message.size()));
        errorColumn = parser.column();
    }
}

ZUVXPath::~ZUVXPath() {
    delete program;
}

ZUVXPathResult ZUVXPath::evaluate(const ZUVDOMElement* context, const ZUVXPathVariables* variables,
                                  long maxNodes) const {
    ZUVXPathResult r;
    if (!program) {
        T::setError(r, std::string("invalid expression: ") + error.getText());
        return r;
    }
    if (!context) {
        T::setError(r, "no context element");
        return r;
    }
    Evaluator ev(variables, maxNodes);
    try {
        Value v = ev.eval(*program->root, Context{T::element(context), 1, 1});
        return toResult(ev, v);
    } catch (const Failure& f) {
        T::setError(r, f.message);
        return r;
    }
}

ZUVXPathResult ZUVXPath::select(const ZUVDOMElement* context, const ZUVString& expression) {
    return ZUVXPath(expression).evaluate(context);
}

ZUVDOMElement* ZUVXPath::selectFirst(const ZUVDOMElement* context, const ZUVString& expression) {
    ZUVXPathResult r = select(context, expression);
    return r.getType() == ZUVXPathResult::kNodeSet ? r.getFirstElement() : nullptr;
}

ZUVString ZUVXPath::selectString(const ZUVDOMElement* context, const ZUVString& expression) {
    return select(context, expression).getString();
}

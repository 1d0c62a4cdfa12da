#include "ZUVXMLWriter.h"

#include <array>
#include <charconv>
#include <cstdint>
#include <cstring>
#include <string>
#include <unordered_set>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "ZUVSimpleStringHashtable.h"
#include "ZUVXMLNames.h"

namespace {

using ByteTable = std::array<unsigned char, 256>;

constexpr bool isForbiddenControl(int c) {
    return c < 0x20 && c != '\t' && c != '\n' && c != '\r';
}

// Bytes that end a run copied as is: markup, characters a reader would
// normalise, control bytes, and the start of every non-ASCII character, which
// has to be checked.
constexpr ByteTable makeSpecials(bool attribute) {
    ByteTable table{};
    for (int c = 0; c < 256; ++c) {
        bool special = c >= 0x80 || isForbiddenControl(c) || c == '&' || c == '<' || c == '\r';
        if (attribute) {
            special = special || c == '\t' || c == '\n' || c == '"' || c == '\'';
        } else {
            special = special || c == '>';
        }
        table[c] = special;
    }
    return table;
}

constexpr ByteTable makeCommentSpecials() {
    ByteTable table{};
    for (int c = 0; c < 256; ++c)
        table[c] = c >= 0x80 || isForbiddenControl(c) || c == '-';
    return table;
}

constexpr ByteTable kTextSpecials = makeSpecials(false);
constexpr ByteTable kAttributeSpecials = makeSpecials(true);
constexpr ByteTable kCommentSpecials = makeCommentSpecials();

// The first byte from p on that the table of text (quote 0) or of an
// attribute value marks, or end. Sixteen bytes at a time where SSE2 is at
// hand: most text needs no escaping.
const unsigned char* skipOrdinary(const unsigned char* p, const unsigned char* end, char quote) {
#if defined(__SSE2__)
    const __m128i amp = _mm_set1_epi8('&'), lt = _mm_set1_epi8('<'), cr = _mm_set1_epi8('\r');
    const __m128i space = _mm_set1_epi8(0x20), tab = _mm_set1_epi8('\t');
    const __m128i lf = _mm_set1_epi8('\n');
    // Text also marks '>'; values mark both quotes and every control byte.
    const __m128i one = _mm_set1_epi8(quote ? '"' : '>'), other = _mm_set1_epi8(quote ? '\'' : '>');
    while (end - p >= 16) {
        __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
        __m128i hit = _mm_or_si128(_mm_cmpeq_epi8(v, amp), _mm_cmpeq_epi8(v, lt));
        hit = _mm_or_si128(hit, _mm_or_si128(_mm_cmpeq_epi8(v, cr), _mm_cmpeq_epi8(v, one)));
        hit = _mm_or_si128(hit, _mm_cmpeq_epi8(v, other));
        // Signed: bytes of 0x80 and above compare below 0x20 too.
        __m128i low = _mm_cmplt_epi8(v, space);
        if (!quote)
            low =
                _mm_andnot_si128(_mm_or_si128(_mm_cmpeq_epi8(v, tab), _mm_cmpeq_epi8(v, lf)), low);
        int mask = _mm_movemask_epi8(_mm_or_si128(hit, low));
        if (mask) return p + __builtin_ctz(static_cast<unsigned>(mask));
        p += 16;
    }
#endif
    const unsigned char* specials = quote ? kAttributeSpecials.data() : kTextSpecials.data();
    while (p < end && !specials[*p])
        ++p;
    return p;
}

constexpr bool isAsciiNameStart(unsigned char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_' || c == ':';
}

constexpr bool isAsciiName(unsigned char c) {
    return isAsciiNameStart(c) || (c >= '0' && c <= '9') || c == '-' || c == '.';
}

// 1 for a byte that may begin an ASCII name, 2 for one that may only go on
// with it; 0 for the rest, non-ASCII included.
constexpr ByteTable makeNameTable() {
    ByteTable table{};
    for (int c = 0; c < 128; ++c)
        table[c] = isAsciiNameStart(c) ? 1 : isAsciiName(c) ? 2 : 0;
    return table;
}

constexpr ByteTable kAsciiName = makeNameTable();

// True when appendName() would copy `name` unchanged: an ASCII name, checked
// without building anything.
bool isPlainName(const ZUVString& name) {
    auto p = reinterpret_cast<const unsigned char*>(name.getText());
    int length = name.getLength();
    if (length == 0 || kAsciiName[p[0]] != 1) return false;
    for (int i = 1; i < length; ++i)
        if (!kAsciiName[p[i]]) return false;
    return true;
}

constexpr char kReplacement[] = "\xEF\xBF\xBD";  // U+FFFD
constexpr char kHeader[] = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
constexpr char kByteOrderMark[] = "\xEF\xBB\xBF";

// Looks at the non-ASCII character starting at `p`. Returns the length of its
// well-formed UTF-8 sequence when XML may carry it; otherwise minus the
// number of bytes to replace by one U+FFFD: the longest start of a
// well-formed sequence, or the single byte that cannot begin one. This is
// the usual way of counting replacements, so every other decoder agrees.
inline int checkUtf8(const unsigned char* p, const unsigned char* end) {
    unsigned lead = p[0];
    unsigned low = 0x80, high = 0xBF;
    int trail;
    if (lead < 0xC2) return -1;  // a continuation byte, or an overlong lead
    if (lead < 0xE0) {
        trail = 1;
    } else if (lead < 0xF0) {
        trail = 2;
        if (lead == 0xE0)
            low = 0xA0;  // overlong
        else if (lead == 0xED)
            high = 0x9F;  // surrogates
    } else if (lead < 0xF5) {
        trail = 3;
        if (lead == 0xF0)
            low = 0x90;  // overlong
        else if (lead == 0xF4)
            high = 0x8F;  // above U+10FFFF
    } else {
        return -1;
    }
    long available = end - p - 1;
    if (available < 1 || p[1] < low || p[1] > high) return -1;
    for (int i = 2; i <= trail; ++i) {
        if (available < i || (p[i] & 0xC0) != 0x80) return -i;
    }
    // U+FFFE and U+FFFF are well-formed UTF-8 but not XML characters.
    if (lead == 0xEF && p[1] == 0xBF && p[2] >= 0xBE) return -3;
    return trail + 1;
}

uint32_t decodeUtf8(const unsigned char* p, int length) {
    if (length == 2) return (p[0] & 0x1Fu) << 6 | (p[1] & 0x3Fu);
    if (length == 3) return (p[0] & 0x0Fu) << 12 | (p[1] & 0x3Fu) << 6 | (p[2] & 0x3Fu);
    return (p[0] & 0x07u) << 18 | (p[1] & 0x3Fu) << 12 | (p[2] & 0x3Fu) << 6 | (p[3] & 0x3Fu);
}

// Long enough for the most negative long in decimal.
constexpr size_t kNumberSize = 24;

size_t formatNumber(char* buffer, long value) {
    return static_cast<size_t>(std::to_chars(buffer, buffer + kNumberSize, value).ptr - buffer);
}

// Attribute names come from documents: hashed with the process's secret key,
// chosen ones cannot crowd one bucket.
struct KeyedNameHash {
    size_t operator()(const std::string& name) const {
        return static_cast<size_t>(ZUVSimpleStringHashtable::keyedHash(name.data(), name.size()));
    }
};

// Everything a writer holds but the two members its subclasses use.
// ZUVXMLWriter::State is this under the name the header declares.
struct WriterState {
    WriterState(ZUVFile& out, const ZUVString& indent) : out(out), indent(indent) {}

    // `plain`: the name needs no repair, so it is written as it is and not
    // kept; the caller hands it again to the end.
    bool startElement(const ZUVString& name, bool plain = false);
    void beginLine();
    void closeOpenTag();
    void endEmpty(bool plain = false);
    // `plainName`: the name of an element started plain.
    void endNamed(const ZUVString* plainName = nullptr);
    void writeAttribute(const ZUVString& name, const char* value, size_t length, bool escape,
                        char quote);
    // Every entry of `table` up to the first null value, as attributes.
    void writeAttributes(const ZUVSimpleStringHashtable& table);
    void writeText(const ZUVString& text);
    void writeNumber(long value);
    void writeComment(const ZUVString& text);
    // Text when `quote` is 0, else an attribute value within that quote.
    void writeEscaped(const char* text, size_t length, char quote);
    void writeEscapedSlow(const char* text, size_t length, char quote);
    void writeReplacement();
    void appendName(const ZUVString& name, std::string& dest);

    ZUVFile& out;             // the writer's outputFile
    const ZUVString& indent;  // the writer's indentString, read at each new line
    int depth = 0;            // elements open
    bool tagOpen = false;     // "<name" written, ">" or "/>" not yet
    bool wroteTopLevel = false;
    bool rootDone = false;  // the root element has been ended
    bool wroteAnything = false;
    bool wroteBom = false;
    int skipped = 0;  // elements after the root, dropped with their content
    long replacements = 0;
    std::string openNames;  // names of the open elements, as written, one after another
    std::vector<size_t> nameStarts;
    std::string tagAttributes;  // attribute names of the open start tag
    std::vector<size_t> attributeStarts;
    std::unordered_set<std::string, KeyedNameHash> manyAttributes;  // the same, once many
    std::string lineStart;   // "\n" and indentation, grown on demand
    std::string indentUnit;  // the spaces and tabs of lineIndent
    ZUVString lineIndent;    // the indentString that lineStart was built from
};

bool WriterState::startElement(const ZUVString& name, bool plain) {
    // A second root would make the file unreadable: it and all it holds are
    // dropped, and only counted so their ends can be matched.
    if (skipped || (depth == 0 && rootDone)) {
        ++skipped;
        tagOpen = true;
        return false;
    }
    closeOpenTag();
    beginLine();
    wroteAnything = true;
    out << '<';
    if (plain) {
        out.write(name.getText(), static_cast<size_t>(name.getLength()));
    } else {
        size_t start = openNames.size();
        nameStarts.push_back(start);
        appendName(name, openNames);
        out.write(openNames.data() + start, openNames.size() - start);
    }
    ++depth;
    tagOpen = true;
    tagAttributes.clear();
    attributeStarts.clear();
    if (!manyAttributes.empty()) manyAttributes.clear();
    return true;
}

void WriterState::beginLine() {
    if (!wroteTopLevel) {
        wroteTopLevel = true;
        return;
    }
    if (indent.isEmpty()) return;  // a compact document: one line
    // Compared in line: a library call per element costs more than the
    // few bytes of an indent.
    int indentLength = indent.getLength();
    bool same = !lineStart.empty() && lineIndent.getLength() == indentLength;
    for (int i = 0; same && i < indentLength; ++i)
        same = lineIndent.getText()[i] == indent.getText()[i];
    if (!same) {
        lineIndent = indent;
        indentUnit.clear();
        for (int i = 0; i < indent.getLength(); ++i) {
            char c = indent.getText()[i];
            if (c == ' ' || c == '\t') indentUnit += c;
        }
        lineStart.assign(1, '\n');
    }
    int levels = depth < ZUVXMLWriter::kMaxIndentLevels ? depth : ZUVXMLWriter::kMaxIndentLevels;
    size_t needed = 1 + indentUnit.size() * static_cast<size_t>(levels);
    if (lineStart.size() < needed) {
        lineStart.reserve(needed * 2);
        while (lineStart.size() < needed)
            lineStart += indentUnit;
    }
    out.write(lineStart.data(), needed);
}

void WriterState::closeOpenTag() {
    if (!tagOpen) return;
    tagOpen = false;
    if (!skipped) out << '>';
}

void WriterState::endEmpty(bool plain) {
    if (!tagOpen) return;
    tagOpen = false;
    if (skipped) {
        --skipped;
        return;
    }
    out.write("/>", 2);
    if (!plain) {
        openNames.resize(nameStarts.back());
        nameStarts.pop_back();
    }
    if (--depth == 0) rootDone = true;
}

void WriterState::endNamed(const ZUVString* plainName) {
    if (skipped) {
        --skipped;
        tagOpen = false;
        return;
    }
    if (depth == 0) return;
    closeOpenTag();
    out.write("</", 2);
    if (plainName) {
        out.write(plainName->getText(), static_cast<size_t>(plainName->getLength()));
    } else {
        // The name kept from the start tag, so the tags always match.
        size_t start = nameStarts.back();
        out.write(openNames.data() + start, openNames.size() - start);
        openNames.resize(start);
        nameStarts.pop_back();
    }
    out << '>';
    if (--depth == 0) rootDone = true;
}

void WriterState::writeAttribute(const ZUVString& name, const char* value, size_t length,
                                 bool escape, char quote) {
    if (!tagOpen || skipped) return;
    size_t start = tagAttributes.size();
    appendName(name, tagAttributes);
    const char* written = tagAttributes.data() + start;
    size_t nameLength = tagAttributes.size() - start;
    // A repeated name, given twice or made equal by replacements, would make
    // the file unreadable. A few names are compared in turn; past that a set
    // keeps an element with very many attributes from costing their square.
    constexpr size_t kScanLimit = 16;
    if (attributeStarts.size() < kScanLimit) {
        for (size_t i = 0; i < attributeStarts.size(); ++i) {
            size_t other = attributeStarts[i];
            size_t otherEnd = i + 1 < attributeStarts.size() ? attributeStarts[i + 1] : start;
            if (otherEnd - other == nameLength &&
                std::memcmp(tagAttributes.data() + other, written, nameLength) == 0) {
                tagAttributes.resize(start);
                return;
            }
        }
    } else {
        if (manyAttributes.empty()) {
            for (size_t i = 0; i < attributeStarts.size(); ++i) {
                size_t other = attributeStarts[i];
                size_t otherEnd = i + 1 < attributeStarts.size() ? attributeStarts[i + 1] : start;
                manyAttributes.emplace(tagAttributes.data() + other, otherEnd - other);
            }
        }
        if (!manyAttributes.emplace(written, nameLength).second) {
            tagAttributes.resize(start);
            return;
        }
        written = tagAttributes.data() + start;
    }
    attributeStarts.push_back(start);
    out << ' ';
    out.write(written, nameLength);
    out << '=' << quote;
    if (escape) {
        writeEscaped(value, length, quote);
    } else {
        out.write(value, length);
    }
    out << quote;
}

void WriterState::writeAttributes(const ZUVSimpleStringHashtable& table) {
    if (!tagOpen || skipped) return;
    // The keys of one table differ, so while each is written as it is none
    // can repeat one before it, and none need be kept.
    ZUVSimpleStringHashtable::Iterator it(table, true);
    int plain = 0;
    void* v = it.get();
    for (; v; v = it.next(1), ++plain) {
        const ZUVString& key = it.getKey();
        if (!isPlainName(key)) break;
        const ZUVString& value = *static_cast<const ZUVString*>(v);
        out << ' ';
        out.write(key.getText(), static_cast<size_t>(key.getLength()));
        out.write("=\"", 2);
        writeEscaped(value.getText(), static_cast<size_t>(value.getLength()), '"');
        out << '"';
    }
    if (!v) return;
    // A repaired name may equal any other: from here on the general check,
    // which needs the names written so far.
    ZUVSimpleStringHashtable::Iterator written(table, true);
    for (int i = 0; i < plain; ++i, written.next(1)) {
        attributeStarts.push_back(tagAttributes.size());
        tagAttributes.append(written.getKey().getText(),
                             static_cast<size_t>(written.getKey().getLength()));
    }
    for (; v; v = it.next(1)) {
        const ZUVString& value = *static_cast<const ZUVString*>(v);
        writeAttribute(it.getKey(), value.getText(), static_cast<size_t>(value.getLength()), true,
                       '"');
    }
}

void WriterState::writeText(const ZUVString& text) {
    closeOpenTag();
    if (depth == 0 || skipped) return;
    writeEscaped(text.getText(), static_cast<size_t>(text.getLength()), 0);
}

void WriterState::writeNumber(long value) {
    closeOpenTag();
    if (depth == 0 || skipped) return;
    char number[kNumberSize];
    out.write(number, formatNumber(number, value));
}

void WriterState::writeComment(const ZUVString& text) {
    if (skipped) return;
    if (depth == 0) {
        beginLine();
    } else {
        closeOpenTag();
    }
    wroteAnything = true;
    out.write("<!--", 4);
    auto p = reinterpret_cast<const unsigned char*>(text.getText());
    auto end = p + text.getLength();
    auto run = p;
    while (p < end) {
        if (!kCommentSpecials[*p]) {
            ++p;
            continue;
        }
        if (*p == '-') {
            // Only "--" and a final "-" need the space; other hyphens stay in
            // the run.
            ++p;
            if (p == end || *p == '-') {
                out.write(reinterpret_cast<const char*>(run), static_cast<size_t>(p - run));
                out << ' ';
                run = p;
            }
            continue;
        }
        int length = *p >= 0x80 ? checkUtf8(p, end) : -1;
        if (length > 0) {
            p += length;
            continue;
        }
        out.write(reinterpret_cast<const char*>(run), static_cast<size_t>(p - run));
        writeReplacement();
        p -= length;
        run = p;
    }
    out.write(reinterpret_cast<const char*>(run), static_cast<size_t>(p - run));
    out.write("-->", 3);
}

inline void WriterState::writeEscaped(const char* text, size_t length, char quote) {
    // Most values are short and need nothing: copied at once, without the
    // setup of the general loop.
    if (length <= 16) {
        const unsigned char* specials = quote ? kAttributeSpecials.data() : kTextSpecials.data();
        auto p = reinterpret_cast<const unsigned char*>(text);
        size_t i = 0;
        while (i < length && !specials[p[i]])
            ++i;
        if (i == length) {
            out.write(text, length);
            return;
        }
    }
    writeEscapedSlow(text, length, quote);
}

void WriterState::writeEscapedSlow(const char* text, size_t length, char quote) {
    auto p = reinterpret_cast<const unsigned char*>(text);
    auto end = p + length;
    auto run = p;
    for (;;) {
        p = skipOrdinary(p, end, quote);
        if (p == end) break;
        unsigned char c = *p;
        if (c >= 0x80) {
            // Text in other scripts is multibyte characters in a row: each is
            // checked in turn without going back to the scan for markup.
            int sequence;
            while ((sequence = checkUtf8(p, end)) > 0) {
                p += sequence;
                if (p == end || *p < 0x80) break;
            }
            if (sequence > 0) continue;
            out.write(reinterpret_cast<const char*>(run), static_cast<size_t>(p - run));
            writeReplacement();
            p -= sequence;
            run = p;
            continue;
        }
        if ((c == '"' || c == '\'') && c != quote) {
            ++p;  // the other quote needs nothing
            continue;
        }
        out.write(reinterpret_cast<const char*>(run), static_cast<size_t>(p - run));
        switch (c) {
            case '&':
                out.write("&amp;", 5);
                break;
            case '<':
                out.write("&lt;", 4);
                break;
            case '>':
                out.write("&gt;", 4);
                break;
            case '"':
                out.write("&quot;", 6);
                break;
            case '\'':
                out.write("&apos;", 6);
                break;
            case '\t':
                out.write("&#9;", 4);
                break;
            case '\n':
                out.write("&#10;", 5);
                break;
            case '\r':
                out.write("&#13;", 5);
                break;
            default:
                writeReplacement();
                break;
        }
        ++p;
        run = p;
    }
    out.write(reinterpret_cast<const char*>(run), static_cast<size_t>(p - run));
}

void WriterState::writeReplacement() {
    out.write(kReplacement, sizeof kReplacement - 1);
    ++replacements;
}

void WriterState::appendName(const ZUVString& name, std::string& dest) {
    auto p = reinterpret_cast<const unsigned char*>(name.getText());
    size_t length = static_cast<size_t>(name.getLength());
    if (length == 0) {
        dest += '_';
        ++replacements;
        return;
    }
    size_t i = 0;
    while (i < length) {
        unsigned char c = p[i];
        bool first = i == 0;
        if (c < 0x80) {
            if (first ? isAsciiNameStart(c) : isAsciiName(c)) {
                size_t run = i;
                do {
                    ++i;
                } while (i < length && p[i] < 0x80 && isAsciiName(p[i]));
                dest.append(name.getText() + run, i - run);
            } else {
                dest += '_';
                ++replacements;
                ++i;
            }
            continue;
        }
        int sequence = checkUtf8(p + i, p + length);
        if (sequence > 0) {
            uint32_t code = decodeUtf8(p + i, sequence);
            if (first ? zuvIsNameStartChar(code) : zuvIsNameChar(code)) {
                dest.append(name.getText() + i, static_cast<size_t>(sequence));
            } else {
                dest += '_';
                ++replacements;
            }
            i += static_cast<size_t>(sequence);
        } else {
            dest += '_';
            ++replacements;
            i += static_cast<size_t>(-sequence);
        }
    }
}

}  // namespace

struct ZUVXMLWriter::State : WriterState {
    using WriterState::WriterState;
};

ZUVXMLWriter::ZUVXMLWriter() : state(new State(outputFile, indentString)) {
    indentString = "  ";
}

ZUVXMLWriter::~ZUVXMLWriter() {
    outputFile.close();
    delete state;
}

long ZUVXMLWriter::getReplacementCount() const {
    return state->replacements;
}

bool ZUVXMLWriter::startTreeElement(const ZUVString& name,
                                    const ZUVSimpleStringHashtable* attributes, bool close) {
    bool plain = isPlainName(name);
    // A dropped element (after the root) is ended the general way.
    if (!state->startElement(name, plain)) plain = false;
    if (attributes) state->writeAttributes(*attributes);
    if (close) state->closeOpenTag();
    return plain;
}

void ZUVXMLWriter::endTreeElement(const ZUVString& name, bool verbatim, const ZUVString* text,
                                  bool empty) {
    if (text) state->writeText(*text);
    if (empty)
        state->endEmpty(verbatim);
    else
        state->endNamed(verbatim ? &name : nullptr);
}

void ZUVXMLWriter::printXmlElement(const ZUVString& name) {
    state->startElement(name);
    state->endEmpty();
}

void ZUVXMLWriter::printXmlElement(const ZUVString& name, const ZUVString& value) {
    state->startElement(name);
    state->writeText(value);
    state->endNamed();
}

void ZUVXMLWriter::printXmlElement(const ZUVString& name, long value) {
    state->startElement(name);
    state->writeNumber(value);
    state->endNamed();
}

void ZUVXMLWriter::printXmlElement(const ZUVString& name, const ZUVString& value,
                                   const ZUVString& attribute, const ZUVString& attributeValue) {
    state->startElement(name);
    state->writeAttribute(attribute, attributeValue.getText(),
                          static_cast<size_t>(attributeValue.getLength()), true, '"');
    state->writeText(value);
    state->endNamed();
}

void ZUVXMLWriter::printXmlElement(const ZUVString& name, long value, const ZUVString& attribute,
                                   long attributeValue) {
    char number[kNumberSize];
    state->startElement(name);
    state->writeAttribute(attribute, number, formatNumber(number, attributeValue), false, '"');
    state->writeNumber(value);
    state->endNamed();
}

void ZUVXMLWriter::printXmlElement(const ZUVString& name, long value, const ZUVString& attribute,
                                   const ZUVString& attributeValue) {
    state->startElement(name);
    state->writeAttribute(attribute, attributeValue.getText(),
                          static_cast<size_t>(attributeValue.getLength()), true, '"');
    state->writeNumber(value);
    state->endNamed();
}

void ZUVXMLWriter::printXmlElement(const ZUVString& name, const ZUVString& value,
                                   const ZUVString& attribute, long attributeValue) {
    char number[kNumberSize];
    state->startElement(name);
    state->writeAttribute(attribute, number, formatNumber(number, attributeValue), false, '"');
    state->writeText(value);
    state->endNamed();
}

void ZUVXMLWriter::printXmlElement(const ZUVString& name, const ZUVString& attribute,
                                   const ZUVString& attributeValue) {
    state->startElement(name);
    state->writeAttribute(attribute, attributeValue.getText(),
                          static_cast<size_t>(attributeValue.getLength()), true, '"');
    state->endEmpty();
}

void ZUVXMLWriter::printXmlElement(const ZUVString& name, const ZUVString& attribute,
                                   long attributeValue) {
    char number[kNumberSize];
    state->startElement(name);
    state->writeAttribute(attribute, number, formatNumber(number, attributeValue), false, '"');
    state->endEmpty();
}

void ZUVXMLWriter::printXmlElementStart(const ZUVString& name, bool close) {
    state->startElement(name);
    if (close) state->closeOpenTag();
}

void ZUVXMLWriter::printXmlElementStart(const ZUVString& name, const ZUVString& attribute,
                                        long attributeValue, bool close) {
    char number[kNumberSize];
    state->startElement(name);
    state->writeAttribute(attribute, number, formatNumber(number, attributeValue), false, '"');
    if (close) state->closeOpenTag();
}

void ZUVXMLWriter::printXmlElementStart(const ZUVString& name, const ZUVString& attribute,
                                        const ZUVString& attributeValue, bool close) {
    state->startElement(name);
    state->writeAttribute(attribute, attributeValue.getText(),
                          static_cast<size_t>(attributeValue.getLength()), true, '"');
    if (close) state->closeOpenTag();
}

void ZUVXMLWriter::printXmlElementValue(const ZUVString& text) {
    state->writeText(text);
}

void ZUVXMLWriter::printXmlElementValue(long value) {
    state->writeNumber(value);
}

void ZUVXMLWriter::printXmlElementClose() {
    state->closeOpenTag();
}

void ZUVXMLWriter::printXmlElementEnd() {
    state->endEmpty();
}

void ZUVXMLWriter::printXmlElementEnd(const ZUVString&) {
    state->endNamed();
}

void ZUVXMLWriter::printXmlAttribute(const ZUVString& name, const ZUVString& value,
                                     bool doubleQuotes) {
    state->writeAttribute(name, value.getText(), static_cast<size_t>(value.getLength()), true,
                          doubleQuotes ? '"' : '\'');
}

void ZUVXMLWriter::printXmlAttribute(const ZUVString& name, long value) {
    char number[kNumberSize];
    state->writeAttribute(name, number, formatNumber(number, value), false, '"');
}

void ZUVXMLWriter::printXmlBooleanAttribute(const ZUVString& name, bool value) {
    state->writeAttribute(name, value ? "true" : "false", value ? 4 : 5, false, '"');
}

void ZUVXMLWriter::printByteOrderMark() {
    if (state->wroteAnything || state->wroteBom) return;
    outputFile.write(kByteOrderMark, sizeof kByteOrderMark - 1);
    state->wroteBom = true;
}

void ZUVXMLWriter::printXmlHeaderUTF8() {
    // A declaration anywhere but at the start makes the file unreadable.
    if (state->wroteAnything) return;
    outputFile.write(kHeader, sizeof kHeader - 1);
    state->wroteAnything = true;
}

void ZUVXMLWriter::printXmlComment(const ZUVString& text) {
    state->writeComment(text);
}

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

#include "ZUVBytes.h"
#include "ZUVSimpleStringHashtable.h"
#include "ZUVUtf8.h"
#include "ZUVXMLNames.h"

// For the few functions every element goes through: a call each would cost
// as much as their work.
#define ZUVXML_IN_LINE inline __attribute__((always_inline))

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

// Texts up to this long that are not in their string object are checked a
// byte at a time, sooner than set up a vector compare.
constexpr size_t kShortText = 8;

// True when 16 bytes can be read from the string's text.
inline bool isInline(const ZUVString& text) {
    static_assert(sizeof(ZUVString) == 16, "a short text fills the object");
    return text.isInline();
}

#if defined(__SSE2__)
// One bit per byte of `v` that the table of text (quote 0) or of an
// attribute value marks.
inline unsigned specialMask(__m128i v, char quote) {
    const __m128i amp = _mm_set1_epi8('&'), lt = _mm_set1_epi8('<'), cr = _mm_set1_epi8('\r');
    const __m128i space = _mm_set1_epi8(0x20), tab = _mm_set1_epi8('\t');
    const __m128i lf = _mm_set1_epi8('\n');
    // Text also marks '>'; values mark both quotes and every control byte.
    const __m128i one = _mm_set1_epi8(quote ? '"' : '>'), other = _mm_set1_epi8(quote ? '\'' : '>');
    __m128i hit = _mm_or_si128(_mm_cmpeq_epi8(v, amp), _mm_cmpeq_epi8(v, lt));
    hit = _mm_or_si128(hit, _mm_or_si128(_mm_cmpeq_epi8(v, cr), _mm_cmpeq_epi8(v, one)));
    hit = _mm_or_si128(hit, _mm_cmpeq_epi8(v, other));
    // Signed: bytes of 0x80 and above compare below 0x20 too.
    __m128i low = _mm_cmplt_epi8(v, space);
    if (!quote)
        low = _mm_andnot_si128(_mm_or_si128(_mm_cmpeq_epi8(v, tab), _mm_cmpeq_epi8(v, lf)), low);
    return static_cast<unsigned>(_mm_movemask_epi8(_mm_or_si128(hit, low)));
}
#endif

// The first byte from p on that the table of text (quote 0) or of an
// attribute value marks, or end; p lies in [begin, end). Sixteen bytes at a
// time where SSE2 is at hand: most text needs no escaping. The last few
// bytes are looked at again from 16 before the end, or, for text shorter
// than 16 whose storage is `padded` to 16, from `begin`.
inline const unsigned char* skipOrdinary(const unsigned char* p, const unsigned char* end,
                                         const unsigned char* begin, bool padded, char quote) {
#if defined(__SSE2__)
    ZUVBytes::Stop16<unsigned char> stop = ZUVBytes::skip16(
        p, end,
        [quote](const unsigned char* q) { return specialMask(ZUVBytes::load16(q), quote); });
    if (stop.marked) return stop.at;
    p = stop.at;
    if (p == end) return end;
    unsigned mask;
    if (end - begin >= 16) {
        mask = specialMask(_mm_loadu_si128(reinterpret_cast<const __m128i*>(end - 16)), quote);
        mask >>= 16 - (end - p);
    } else if (padded) {
        mask = specialMask(_mm_loadu_si128(reinterpret_cast<const __m128i*>(begin)), quote);
        mask &= (1u << (end - begin)) - 1;
        mask >>= p - begin;
    } else {
        const unsigned char* specials = quote ? kAttributeSpecials.data() : kTextSpecials.data();
        while (p < end && !specials[*p])
            ++p;
        return p;
    }
    return mask ? p + __builtin_ctz(mask) : end;
#else
    (void)begin;
    (void)padded;
    const unsigned char* specials = quote ? kAttributeSpecials.data() : kTextSpecials.data();
    while (p < end && !specials[*p])
        ++p;
    return p;
#endif
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
#if defined(__SSE2__)
    if (isInline(name)) {
        // All of a short name at once: letters (either case), digits, and
        // "_", ":", "-" and ".". Signed compares leave out bytes of 0x80 up.
        __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
        __m128i folded = _mm_or_si128(v, _mm_set1_epi8(0x20));
        __m128i ok = _mm_and_si128(_mm_cmpgt_epi8(folded, _mm_set1_epi8('a' - 1)),
                                   _mm_cmplt_epi8(folded, _mm_set1_epi8('z' + 1)));
        ok = _mm_or_si128(ok, _mm_and_si128(_mm_cmpgt_epi8(v, _mm_set1_epi8('0' - 1)),
                                            _mm_cmplt_epi8(v, _mm_set1_epi8('9' + 1))));
        ok = _mm_or_si128(ok, _mm_or_si128(_mm_cmpeq_epi8(v, _mm_set1_epi8('_')),
                                           _mm_cmpeq_epi8(v, _mm_set1_epi8(':'))));
        ok = _mm_or_si128(ok, _mm_or_si128(_mm_cmpeq_epi8(v, _mm_set1_epi8('-')),
                                           _mm_cmpeq_epi8(v, _mm_set1_epi8('.'))));
        unsigned wanted = (1u << length) - 1;
        return (static_cast<unsigned>(_mm_movemask_epi8(ok)) & wanted) == wanted;
    }
#endif
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
    const ZUVUtf8::Lead lead = ZUVUtf8::lead(p[0]);
    const int trail = lead.length - 1;
    if (trail < 0) return -1;  // a continuation byte, an overlong lead, past F4
    long available = end - p - 1;
    if (available < 1 || p[1] < lead.low || p[1] > lead.high) return -1;
    for (int i = 2; i <= trail; ++i) {
        if (available < i || !ZUVUtf8::isTrail(p[i])) return -i;
    }
    // U+FFFE and U+FFFF are well-formed UTF-8 but not XML characters.
    if (p[0] == 0xEF && p[1] == 0xBF && p[2] >= 0xBE) return -3;
    return trail + 1;
}

// Copies `length` bytes to `to` and returns the end: the few bytes of a name
// or a short value in line rather than by a library call.
inline char* put(char* to, const char* from, size_t length) {
    if (length > 32) {
        std::memcpy(to, from, length);
    } else if (length >= 16) {
        std::memcpy(to, from, 16);
        std::memcpy(to + length - 16, from + length - 16, 16);
    } else if (length >= 8) {
        std::memcpy(to, from, 8);
        std::memcpy(to + length - 8, from + length - 8, 8);
    } else if (length >= 4) {
        std::memcpy(to, from, 4);
        std::memcpy(to + length - 4, from + length - 4, 4);
    } else if (length) {
        to[0] = from[0];
        to[length / 2] = from[length / 2];
        to[length - 1] = from[length - 1];
    }
    return to + length;
}

template <size_t N>
inline char* put(char* to, const char (&text)[N]) {
    std::memcpy(to, text, N - 1);
    return to + N - 1;
}

// Room that every reservation leaves past what it will write, so that a
// short string can be moved as 16 bytes whatever its length.
constexpr size_t kSlack = 16;

// Copies the string's bytes to `to`, which has kSlack bytes of room past
// them, and returns the end.
inline char* putString(char* to, const ZUVString& text) {
    size_t length = static_cast<size_t>(text.getLength());
    if (isInline(text)) {
        std::memcpy(to, &text, 16);
        return to + length;
    }
    return put(to, text.getText(), length);
}

// The most bytes one input byte becomes: "&quot;".
constexpr size_t kMaxEscapeGrowth = 6;
// Longest piece of text escaped straight into the file's buffer at once;
// longer text goes in pieces of this size, so a piece never needs much more
// than the buffer has left.
constexpr size_t kEscapePiece = 1024;

// What an ASCII byte that needs escaping is written as, in text and in
// attribute values alike; an empty entry marks a byte XML cannot carry.
struct Reference {
    char text[7];
    unsigned char length;
};

constexpr std::array<Reference, 128> makeReferences() {
    std::array<Reference, 128> table{};
    auto set = [&table](unsigned char c, const char* text) {
        Reference& reference = table[c];
        while (text[reference.length]) {
            reference.text[reference.length] = text[reference.length];
            ++reference.length;
        }
    };
    set('&', "&amp;");
    set('<', "&lt;");
    set('>', "&gt;");
    set('"', "&quot;");
    set('\'', "&apos;");
    set('\t', "&#9;");
    set('\n', "&#10;");
    set('\r', "&#13;");
    return table;
}

constexpr std::array<Reference, 128> kReferences = makeReferences();

// Writes the reference for the ASCII byte `c`, or U+FFFD (counted) for a
// byte XML cannot carry, and returns the end.
inline char* putReference(char* to, unsigned char c, long& replacements) {
    const Reference& reference = kReferences[c];
    if (reference.length) return put(to, reference.text, reference.length);
    ++replacements;
    return put(to, kReplacement);
}

// Writes `length` bytes of text (quote 0) or of an attribute value within
// `quote` to `to`, escaped, and returns the end; `to` has room for
// kMaxEscapeGrowth times `length`, and kSlack more. Counts replaced
// characters. `padded`: 16 bytes may be read from `text` (see skipOrdinary).
char* escapeAll(char* to, const char* text, size_t length, char quote, long& replacements,
                bool padded);

inline char* escapeInto(char* to, const char* text, size_t length, char quote, long& replacements,
                        bool padded = false) {
#if defined(__SSE2__)
    if (padded) {
        // A short text in its string object (the names and values of most
        // documents) is checked and moved 16 bytes at once, with no branch
        // on its length.
        __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(text));
        if ((specialMask(v, quote) & ((1u << length) - 1)) == 0) {
            _mm_storeu_si128(reinterpret_cast<__m128i*>(to), v);
            return to + length;
        }
        return escapeAll(to, text, length, quote, replacements, padded);
    }
#endif
    if (length <= kShortText) {
        auto p = reinterpret_cast<const unsigned char*>(text);
        const unsigned char* specials = quote ? kAttributeSpecials.data() : kTextSpecials.data();
        size_t i = 0;
        while (i < length && !specials[p[i]])
            ++i;
        if (i == length) return put(to, text, length);
    }
    return escapeAll(to, text, length, quote, replacements, padded);
}

// escapeInto() past the check of a short text.
char* escapeAll(char* to, const char* text, size_t length, char quote, long& replacements,
                bool padded) {
    auto p = reinterpret_cast<const unsigned char*>(text);
    auto begin = p;
    auto end = p + length;
    auto run = p;
    for (;;) {
        p = skipOrdinary(p, end, begin, padded, quote);
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
            to = put(to, reinterpret_cast<const char*>(run), static_cast<size_t>(p - run));
            to = put(to, kReplacement);
            ++replacements;
            p -= sequence;
            run = p;
            continue;
        }
        if ((c == '"' || c == '\'') && c != quote) {
            ++p;  // the other quote needs nothing
            continue;
        }
        to = put(to, reinterpret_cast<const char*>(run), static_cast<size_t>(p - run));
        to = putReference(to, c, replacements);
        ++p;
        run = p;
    }
    return put(to, reinterpret_cast<const char*>(run), static_cast<size_t>(p - run));
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

// For each length a string object can hold in itself: the bits of its
// 16 bytes that are its text and its length byte, the last.
struct ImageMask {
    unsigned char bytes[16];
};

constexpr std::array<ImageMask, ZUVString::kInlineCapacity + 1> makeImageMasks() {
    std::array<ImageMask, ZUVString::kInlineCapacity + 1> masks{};
    for (int length = 0; length <= ZUVString::kInlineCapacity; ++length) {
        for (int byte = 0; byte < 16; ++byte) {
            masks[length].bytes[byte] = byte < length || byte == 15 ? 0xFF : 0;
        }
    }
    return masks;
}

constexpr std::array<ImageMask, ZUVString::kInlineCapacity + 1> kImageMasks = makeImageMasks();

// Names found plain (see isPlainName), known by the 16 bytes of a string
// object that holds its text: a document uses a few names over and over, and
// comparing those bytes is cheaper than checking the name again. Only the
// text's bytes and the length byte count: the ones between are whatever the
// memory held before, different in every copy of a name in a tree built
// where other trees were freed.
class PlainNames {
public:
    PlainNames() {
        // A string object whose last byte is 0xFF holds no text of its own,
        // so no name checked here has these bytes.
        for (auto& slot : slots)
            slot[0] = slot[1] = ~uint64_t(0);
    }
    bool has(const ZUVString& name) {
        if (!isInline(name)) return isPlainName(name);
        uint64_t image[2];
        std::memcpy(image, &name, sizeof image);
        uint64_t keep[2];
        std::memcpy(keep, kImageMasks[name.getLength()].bytes, sizeof keep);
        image[0] &= keep[0];
        image[1] &= keep[1];
        uint64_t* slot = slots[((image[0] ^ (image[1] * kMix)) * kMix) >> kShift];
        if (slot[0] == image[0] && slot[1] == image[1]) return true;
        if (!isPlainName(name)) return false;
        slot[0] = image[0];
        slot[1] = image[1];
        return true;
    }

private:
    static constexpr uint64_t kMix = 0x9E3779B97F4A7C15ull;
    static constexpr int kSlotBits = 8;
    static constexpr int kShift = 64 - kSlotBits;
    uint64_t slots[1 << kSlotBits][2];
};

// Everything a writer holds but the two members its subclasses use.
// ZUVXMLWriter::State is this under the name the header declares.
struct WriterState {
    WriterState(ZUVFile& out, const ZUVString& indent) : out(out), indent(indent) {}

    // `plain`: the name needs no repair, so it is written as it is and not
    // kept; the caller hands it again to the end.
    bool startElement(const ZUVString& name, bool plain = false);
    void beginLine();
    // The bytes of lineStart that begin the next line: none for the first
    // and in a compact document.
    size_t lineLength() {
        // Most lines: the indentation as it was for the line before, and a
        // depth the line is built for.
        if (lineReady && isInline(indent)) {
            uint64_t now[2];
            std::memcpy(now, &indent, sizeof now);
            if (now[0] == lineKey[0] && now[1] == lineKey[1]) {
                int levels =
                    depth < ZUVXMLWriter::kMaxIndentLevels ? depth : ZUVXMLWriter::kMaxIndentLevels;
                size_t needed = 1 + indentUnit.size() * static_cast<size_t>(levels);
                if (needed <= lineStart.size()) return needed;
            }
        }
        return lineLengthSlow();
    }
    size_t lineLengthSlow();
    void closeOpenTag();
    void endEmpty(bool plain = false);
    // `plainName`: the name of an element started plain.
    void endNamed(const ZUVString* plainName = nullptr);
    // writeText(text), then endNamed(&name), all at once in the buffer; false,
    // having written nothing, where that cannot be done.
    bool endWithText(const ZUVString& name, const ZUVString& text);
    void writeAttribute(const ZUVString& name, const char* value, size_t length, bool escape,
                        char quote);
    // Every entry of `table` up to the first null value, as attributes.
    void writeAttributes(const ZUVSimpleStringHashtable& table);
    void writeText(const ZUVString& text);
    void writeNumber(long value);
    void writeComment(const ZUVString& text);
    // Text when `quote` is 0, else an attribute value within that quote.
    // `padded`: see skipOrdinary().
    void writeEscaped(const char* text, size_t length, char quote, bool padded = false);
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
    PlainNames plainNames;
    std::string openNames;  // names of the open elements, as written, one after another
    std::vector<size_t> nameStarts;
    std::string tagAttributes;  // attribute names of the open start tag
    std::vector<size_t> attributeStarts;
    std::unordered_set<std::string, KeyedNameHash> manyAttributes;  // the same, once many
    std::string lineStart;   // "\n" and indentation, grown on demand
    std::string indentUnit;  // the spaces and tabs of lineIndent
    ZUVString lineIndent;    // the indentString that lineStart was built from
    // The bytes of an indentString held in its object that lineStart was
    // built from, when lineReady.
    uint64_t lineKey[2] = {0, 0};
    bool lineReady = false;
};

ZUVXML_IN_LINE bool WriterState::startElement(const ZUVString& name, bool plain) {
    // A second root would make the file unreadable: it and all it holds are
    // dropped, and only counted so their ends can be matched.
    if (skipped || (depth == 0 && rootDone)) {
        ++skipped;
        tagOpen = true;
        return false;
    }
    size_t line = lineLength();
    wroteAnything = true;
    if (plain) {
        // ">", the line's start, "<" and the name at once.
        size_t length = static_cast<size_t>(name.getLength());
        char* to = out.reserve(length + line + 2 + kSlack);
        if (to) {
            char* p = to;
            if (tagOpen) *p++ = '>';
            p = put(p, lineStart.data(), line);
            *p++ = '<';
            p = putString(p, name);
            out.commit(static_cast<size_t>(p - to));
        } else {
            closeOpenTag();
            out.write(lineStart.data(), line);
            out << '<';
            out.write(name.getText(), length);
        }
    } else {
        closeOpenTag();
        out.write(lineStart.data(), line);
        out << '<';
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
    size_t line = lineLength();
    out.write(lineStart.data(), line);
}

size_t WriterState::lineLengthSlow() {
    if (!wroteTopLevel) {
        wroteTopLevel = true;
        return 0;
    }
    if (indent.isEmpty()) return 0;  // a compact document: one line
    // Compared in line: a library call per element costs more than the
    // few bytes of an indent.
    bool same = !lineStart.empty();
    if (same && isInline(indent) && isInline(lineIndent)) {
        // Both in their objects: the same bytes there are the same text
        // (another copy of it may differ past its end, and is then built
        // again, harmlessly).
        uint64_t now[2], built[2];
        std::memcpy(now, &indent, sizeof now);
        std::memcpy(built, &lineIndent, sizeof built);
        same = now[0] == built[0] && now[1] == built[1];
    } else {
        int indentLength = indent.getLength();
        same = same && lineIndent.getLength() == indentLength;
        for (int i = 0; same && i < indentLength; ++i)
            same = lineIndent.getText()[i] == indent.getText()[i];
    }
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
    lineReady = isInline(indent);
    if (lineReady) std::memcpy(lineKey, &indent, sizeof lineKey);
    return needed;
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
    if (plainName) {
        size_t length = static_cast<size_t>(plainName->getLength());
        char* to = out.reserve(length + 4 + kSlack);
        if (to) {
            char* p = to;
            if (tagOpen) *p++ = '>';
            tagOpen = false;
            *p++ = '<';
            *p++ = '/';
            p = putString(p, *plainName);
            *p++ = '>';
            out.commit(static_cast<size_t>(p - to));
            if (--depth == 0) rootDone = true;
            return;
        }
    }
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

ZUVXML_IN_LINE bool WriterState::endWithText(const ZUVString& name, const ZUVString& text) {
    size_t textLength = static_cast<size_t>(text.getLength());
    if (skipped || depth == 0 || textLength > kEscapePiece) return false;
    size_t length = static_cast<size_t>(name.getLength());
    char* to = out.reserve(textLength * kMaxEscapeGrowth + length + 4 + kSlack);
    if (!to) return false;
    char* p = to;
    if (tagOpen) *p++ = '>';
    tagOpen = false;
    p = escapeInto(p, text.getText(), textLength, 0, replacements, isInline(text));
    *p++ = '<';
    *p++ = '/';
    p = putString(p, name);
    *p++ = '>';
    out.commit(static_cast<size_t>(p - to));
    if (--depth == 0) rootDone = true;
    return true;
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
        if (!plainNames.has(key)) break;
        const ZUVString& value = *static_cast<const ZUVString*>(v);
        size_t keyLength = static_cast<size_t>(key.getLength());
        size_t valueLength = static_cast<size_t>(value.getLength());
        char* to = valueLength <= kEscapePiece
                       ? out.reserve(keyLength + valueLength * kMaxEscapeGrowth + 4 + kSlack)
                       : nullptr;
        if (to) {
            char* p = to;
            *p++ = ' ';
            p = putString(p, key);
            *p++ = '=';
            *p++ = '"';
            p = escapeInto(p, value.getText(), valueLength, '"', replacements, isInline(value));
            *p++ = '"';
            out.commit(static_cast<size_t>(p - to));
            continue;
        }
        out << ' ';
        out.write(key.getText(), keyLength);
        out.write("=\"", 2);
        writeEscaped(value.getText(), valueLength, '"');
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
    writeEscaped(text.getText(), static_cast<size_t>(text.getLength()), 0, isInline(text));
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

inline void WriterState::writeEscaped(const char* text, size_t length, char quote, bool padded) {
    if (length <= kEscapePiece) {
        char* to = out.reserve(length * kMaxEscapeGrowth + kSlack);
        if (to) {
            char* end = escapeInto(to, text, length, quote, replacements, padded);
            out.commit(static_cast<size_t>(end - to));
            return;
        }
    }
    writeEscapedSlow(text, length, quote);
}

void WriterState::writeEscapedSlow(const char* text, size_t length, char quote) {
    if (!out.reserve(0)) {
        out.write(text, length);  // not open: only the failure is kept
        return;
    }
    while (length) {
        size_t piece = length;
        if (piece > kEscapePiece) {
            // Cut before a byte that cannot go on a character, so that each
            // piece checks whole sequences. Where four continuation bytes
            // stand in a row no sequence reaches past them, so any cut does.
            piece = kEscapePiece;
            for (size_t back = 0; back < 4; ++back) {
                if ((text[kEscapePiece - back] & 0xC0) != 0x80) {
                    piece = kEscapePiece - back;
                    break;
                }
            }
        }
        char* to = out.reserve(piece * kMaxEscapeGrowth);
        out.commit(static_cast<size_t>(escapeInto(to, text, piece, quote, replacements) - to));
        text += piece;
        length -= piece;
    }
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
            uint32_t code = ZUVUtf8::value(p + i, sequence);
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
    bool plain = state->plainNames.has(name);
    // A dropped element (after the root) is ended the general way.
    if (!state->startElement(name, plain)) plain = false;
    if (attributes) state->writeAttributes(*attributes);
    if (close) state->closeOpenTag();
    return plain;
}

void ZUVXMLWriter::endTreeElement(const ZUVString& name, bool verbatim, const ZUVString* text,
                                  bool empty) {
    if (text && verbatim && !empty && state->endWithText(name, *text)) return;
    if (text) state->writeText(*text);
    if (empty)
        state->endEmpty(verbatim);
    else
        state->endNamed(verbatim ? &name : nullptr);
}

void ZUVXMLWriter::writeTreeLeaf(const ZUVString& name, const ZUVSimpleStringHashtable* attributes,
                                 const ZUVString* text) {
    // Most elements of a tree: one call instead of two, and the ">" goes out
    // with the text.
    bool plain = state->plainNames.has(name);
    if (!state->startElement(name, plain)) plain = false;
    if (attributes) state->writeAttributes(*attributes);
    if (!text || text->getLength() == 0) {
        state->endEmpty(plain);
        return;
    }
    if (plain && state->endWithText(name, *text)) return;
    state->writeText(*text);
    state->endNamed(plain ? &name : nullptr);
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

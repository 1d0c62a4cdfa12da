// ZUVSAX2Tokenizer: the parser's own lexer, for UTF-8 documents (other
// encodings reach it as UTF-8 from the transcoder). Internal to
// libZUVSAX2Parser; which documents it reads is decided by route() in
// ZUVSAX2Parser.cpp.
//
// It reads a buffer that the caller refills: feed() tokenizes as far as the
// bytes allow and says how many of them it no longer needs; the rest, a token
// cut by the end of the buffer, is given again with more bytes after it. Text
// and names are reported in place where they are plain; only attribute values
// and the names handed to callbacks are copied (they must end in NUL).
//
// An internal DTD subset is read when it holds only element and attribute-list
// declarations, comments and instructions: attribute defaults are added and
// values of attributes declared other than CDATA normalized, as Expat does.
// Whatever else the prolog holds that this lexer does not read the way Expat
// does (entity declarations, a malformed declaration, anything unexpected
// before the root element) ends in Status::Fallback before any event is sent,
// so the caller can give the whole document to Expat instead.
#ifndef ZUVSAX2TOKENIZER_H
#define ZUVSAX2TOKENIZER_H

#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "ZUVSAX2Parser.h"

// Where a count of lines and characters stands, as Expat counts them: CR, LF
// and CR LF each end a line; a column counts characters, not bytes.
struct ZUVSAX2LineCount {
    long line = 1;
    long column = 0;  // characters since the line began
    bool afterCR = false;
    // Counts p..e byte by byte.
    void count(const char* p, const char* e) {
        for (; p < e; ++p) {
            unsigned char c = static_cast<unsigned char>(*p);
            if (c == '\n') {
                if (!afterCR) ++line;
                column = 0;
                afterCR = false;
            } else if (c == '\r') {
                ++line;
                column = 0;
                afterCR = true;
            } else {
                afterCR = false;
                if ((c & 0xC0) != 0x80) ++column;
            }
        }
    }
    ZUVSAX2Position position() const {
        ZUVSAX2Position at;
        at.line = line > INT_MAX ? INT_MAX : static_cast<int>(line);
        at.column = column >= INT_MAX ? INT_MAX : static_cast<int>(column + 1);
        return at;
    }
};

// A start tag's position that a callback asked for, to be written where it
// points once counted.
struct ZUVSAX2DeferredPosition {
    size_t offset;  // in the current buffer
    int* line;
    int* column;
};

class ZUVSAX2Tokenizer {
    // Bytes appended without the bookkeeping of vector::insert, on the hot
    // path of every start tag.
    class Scratch {
    public:
        void clear() { used = 0; }
        size_t size() const { return used; }
        void resize(size_t n) { used = n; }
        char* data() { return bytes.data(); }
        void append(const char* p, size_t n) {
            if (n == 0) return;
            if (bytes.size() - used < n) grow(n);
            std::memcpy(bytes.data() + used, p, n);
            used += n;
        }
        void appendText(const char* p, size_t n) {
            if (bytes.size() - used < n) grow(n);
            copy(bytes.data() + used, p, n);
            used += n;
        }
        // Room a reserve() should make beyond the bytes it is for, so that
        // appendName() can move a short name as one block.
        static constexpr size_t kSpare = 16;
        // Copies n bytes and a NUL into room made with reserve() (n + 1 +
        // kSpare); returns where they are. Bytes up to `limit` may be read:
        // a short name is moved as one block of kSpare, its tail written
        // over by what follows.
        const char* appendName(const char* p, size_t n, const char* limit) {
            char* to = bytes.data() + used;
            if (n <= kSpare && static_cast<size_t>(limit - p) >= kSpare)
                std::memcpy(to, p, kSpare);
            else
                copy(to, p, n);
            to[n] = '\0';
            used += n + 1;
            return to;
        }
        // Names and values from the document, mostly short: moves from both
        // ends, each within the source, beat a call to memcpy.
        static void copy(char* to, const char* p, size_t n) {
            if (n >= 8 && n <= 16) {
                uint64_t head, tail;
                std::memcpy(&head, p, 8);
                std::memcpy(&tail, p + n - 8, 8);
                std::memcpy(to, &head, 8);
                std::memcpy(to + n - 8, &tail, 8);
            } else if (n >= 4 && n < 8) {
                uint32_t head, tail;
                std::memcpy(&head, p, 4);
                std::memcpy(&tail, p + n - 4, 4);
                std::memcpy(to, &head, 4);
                std::memcpy(to + n - 4, &tail, 4);
            } else if (n < 4) {
                for (size_t i = 0; i < n; ++i)
                    to[i] = p[i];
            } else {
                std::memcpy(to, p, n);
            }
        }
        void push(char c) {
            if (used == bytes.size()) grow(1);
            bytes[used++] = c;
        }
        // Room for n more bytes, so that appends up to that many move
        // nothing; the pointers in [from, to) into these bytes follow them
        // when they do move now.
        void reserve(size_t n, const char** from, const char** to) {
            if (bytes.size() - used < n) regrow(n, from, to);
        }
        size_t capacity() const { return bytes.capacity(); }
        void release() noexcept {
            std::vector<char>().swap(bytes);
            used = 0;
        }

    private:
        void grow(size_t n) {
            bytes.resize(bytes.size() * 2 > used + n ? bytes.size() * 2 : used + n + 256);
        }
        void regrow(size_t n, const char** from, const char** to) {
            std::vector<char> bigger(bytes.size() * 2 > used + n ? bytes.size() * 2
                                                                 : used + n + 256);
            if (used) std::memcpy(bigger.data(), bytes.data(), used);
            for (; from < to; ++from)
                *from = bigger.data() + (*from - bytes.data());
            bytes.swap(bigger);
        }
        std::vector<char> bytes;
        size_t used = 0;
    };

    // A start tag's attribute pointers: two pushed with one check of room.
    class Pointers {
    public:
        void clear() { used = 0; }
        size_t size() const { return used; }
        bool empty() const { return used == 0; }
        const char** data() { return items.data(); }
        const char* const* data() const { return items.data(); }
        const char*& operator[](size_t i) { return items[i]; }
        const char* operator[](size_t i) const { return items[i]; }
        void push_back(const char* p) {
            if (used == items.size()) grow();
            items[used++] = p;
        }
        void pushPair(const char* a, const char* b) {
            if (items.size() - used < 2) grow();
            items[used] = a;
            items[used + 1] = b;
            used += 2;
        }
        size_t capacity() const { return items.capacity(); }
        void release() noexcept {
            std::vector<const char*>().swap(items);
            used = 0;
        }

    private:
        void grow() { items.resize(items.size() * 2 + 16); }
        std::vector<const char*> items;
        size_t used = 0;
    };

public:
    enum class Status {
        NeedMore,     // give the unneeded bytes back, then more input
        Declaration,  // the XML declaration (or its absence) is read: see encoding()
        Done,         // the document was well-formed
        Error,        // see error(), limit(), errorPosition()
        Fallback      // hand the whole document to Expat
    };
    enum class Limit { None, Depth, Text, Attribute };
    // How wide the scans over plain text and values read: a byte at a time,
    // 16 bytes (SSE2) or 32 (AVX2).
    enum class Scan { Bytes, Sse2, Avx2 };

    // The scan new documents use: the widest this processor runs, unless the
    // environment variable ZUVSAX2_SCAN names a narrower one (bytes, sse2 or
    // avx2), so that each can be tested and measured.
    static Scan scan();
    // Sets the scan of documents reset from now on, narrowed to what the
    // processor runs; returns the one in use. For tests: not thread-safe
    // against parses running at the time.
    static Scan setScan(Scan wanted);

    struct Handlers {
        void* userData = nullptr;
        ZUVSAX2Parser::StartElementHandler start = nullptr;
        ZUVSAX2Parser::EndElementHandler end = nullptr;
        ZUVSAX2Parser::CharacterDataHandler characters = nullptr;
        ZUVSAX2Parser::ProcessingInstructionHandler instruction = nullptr;
    };

    // Starts a document. The first `skip` bytes (a byte order mark) are not
    // markup but count in positions, as Expat counts them.
    void reset(const Handlers& handlers, int maxDepth, long maxTextLength, size_t skip);

    // Tokenizes data[0..size). `data` starts with the first byte not yet
    // discarded; `final` says no byte follows. An exception from a callback
    // passes through, leaving the tokenizer to be reset.
    Status feed(const char* data, size_t size, bool final);
    // Bytes at the front of the last buffer that are no longer needed.
    size_t discardable() const {
        return phase == Phase::Content || phase == Phase::Epilog ? resume : 0;
    }
    // The caller dropped the first `bytes` of the buffer (at most discardable()).
    void discarded(size_t bytes);
    // Between documents: frees every buffer of more than `keepBytes`, so that
    // one huge name, value or declaration is not kept for the parser's life.
    void release(size_t keepBytes) noexcept;

    // After Status::Declaration: the declared encoding, or null when the
    // declaration names none or there is no declaration.
    const char* encoding() const { return encodingName.empty() ? nullptr : encodingName.c_str(); }
    // Where the declared encoding's name starts, for errors about it.
    ZUVSAX2Position encodingPosition() { return positionAt(encodingOffset); }
    // How far the tokenizer has read into the buffer.
    size_t tokenized() const { return resume; }
    // Tells the tokenizer to go on after Status::Declaration.
    void proceed() {
        phase = Phase::Prolog;
        kept = resume;
    }
    // Before the root element: the bytes from here to tokenized() are only
    // white space, comments and instructions that no handler waits for, which
    // Expat reads the same whatever their length; what comes before (the
    // declaration, the document type) it must see. Equal to tokenized()
    // elsewhere.
    size_t prologKept() const { return phase == Phase::Prolog ? kept : resume; }
    // Before the root element, while a comment or instruction that no handler
    // waits for is read across buffers: what Expat must read in place of its
    // start ("<!--", or "<?", the target and a space) should the bytes before
    // tokenized() be cut. Empty otherwise.
    const std::string& reopen() const {
        static const std::string none;
        return phase == Phase::Prolog && open != Open::None ? reopenText : none;
    }
    // Whether the XML declaration, or its absence, was read: encoding() is
    // then the document's.
    bool declarationRead() const { return declarationKnown; }

    // For text that Expat is not given: reads on through a comment's text
    // (`marker` '-') or an instruction's data ('?') in [p, end), with the
    // checks Expat makes. End: *at is where its end marker ("--" or "?")
    // starts. Error: Expat refuses the byte at *at with *code. More: the
    // bytes from *at (a cut end marker or character) are wanted again with
    // more after them; should none follow, *code is Expat's error.
    enum class Skipped { End, More, Error };
    static Skipped skipText(char marker, const char* p, const char* end, size_t* at, int* code);

    // Where `offset` of the current buffer stands; only forward of any
    // position asked before.
    ZUVSAX2Position positionOf(size_t offset) {
        countOpenStart(offset);
        return positionAt(offset);
    }

    int error() const { return errorCode; }  // an XML_Error when limit() is None
    Limit limit() const { return errorLimit; }
    ZUVSAX2Position errorPosition() const { return errorAt; }
    // Inside a callback: where the event's token starts.
    ZUVSAX2Position eventPosition() { return positionAt(eventOffset); }
    // Inside a callback: the event's position, written to *line and *column
    // once counted, at the latest before feed() returns or throws. Positions
    // are counted in order, so a run of start tags is read once.
    void deferPosition(int* line, int* column) {
        deferred[deferredCount] = ZUVSAX2DeferredPosition{eventOffset, line, column};
        if (++deferredCount == kDeferred) resolveDeferred();
    }
    // Just past the last byte of the last buffer; like Expat, a CR that ends
    // the document is not counted.
    ZUVSAX2Position endPosition() {
        return positionAt(size && base[size - 1] == '\r' ? size - 1 : size);
    }

private:
    enum class Phase { Start, Prolog, Content, Epilog };
    enum class R { Ok, More, Fail };
    // A comment or instruction outside the root element being read across
    // buffers, with only its last few bytes kept.
    enum class Open { None, Comment, Instruction };

    struct Cursor : ZUVSAX2LineCount {
        size_t offset = 0;  // in the current buffer
    };

    R xmlDeclaration();
    R prolog();
    R content();
    R epilog();
    R junkLiteral(const char* p);
    R text(const char* p, const char* stop);
    R startTag(const char* p);
    [[gnu::noinline]] R tagRest(const char* p, const char* q, const char** next, bool* emptyTag);
    R attributeValue(const char* p, const char* tag, size_t index, const char** next);
    [[gnu::noinline]] size_t duplicate();
    const char* attributeName(const char* tag, size_t index);
    R endTag(const char* p);
    // An error in an attribute value that Expat reports once the tag is whole.
    struct Later {
        int code = 0;
        const char* at = nullptr;
    };
    R reference(const char* p, const char* token, Later* later, const char** next, char* out,
                int* length);
    // A comment at p ("<!--"). With `across` (outside the root element) one
    // cut by the end of the buffer is read on in the next one, not again.
    R comment(const char* p, const char** next, bool across = false) {
        R r = commentRest(p, p + 4, next, across);
        if (r == R::More && open == Open::Comment) reopenText.assign("<!--");
        return r;
    }
    R commentRest(const char* p, const char* q, const char** next, bool across);
    R cdata(const char* p);
    R instruction(const char* p, const char** next, bool queue, bool across = false);
    R instructionRest(const char* p, const char* q, const char** close, bool across);
    R resumeOpen(const char** next);
    R openMore(const char* p, const char* q, Open kind, int codeAtEnd);
    R tokenCharacter(const char* p, const char*& q, Open kind);
    R failStart(const char* p, int code);
    void countOpenStart(size_t offset);
    R declaredName(const char* p, const char** name, const char** nameEnd);
    // The document type is rare: kept out of the inlining budget of the content paths.
    [[gnu::cold]] R doctype(const char* p, const char** next);
    [[gnu::cold]] R internalSubset(const char* p, const char** next);
    [[gnu::cold]] R elementDeclaration(const char* p, const char** next);
    [[gnu::cold]] R contentParticles(const char*& q, int depth);
    [[gnu::cold]] R attributeListDeclaration(const char* p, const char** next);
    [[gnu::cold]] R defaultValue(const char*& q, std::string& out);
    void indexDeclarations();
    bool declaredFirstByte(char c) const {
        unsigned char first = static_cast<unsigned char>(c);
        return (declaredFirst[first >> 6] >> (first & 63)) & 1;
    }
    R applyDeclarations(const char* tag, const char* name, size_t length);

    R fail(const char* at, int code);
    R failAt(ZUVSAX2Position at, int code);
    R failLimit(const char* at, Limit which);
    R fallback();
    // More bytes are needed; at the end of the input that is error `code` at `at`.
    R more(const char* at, int codeAtEnd);
    const char* lastByte() const;
    R character(const char*& q, const char* at, int codeAtEnd);
    // On the path of every run of text: kept in line whatever else the file holds.
    [[gnu::always_inline]] inline R emitText(const char* text, size_t length, const char* at);
    R emitLines(const char* p, const char* e, const char* at);
    static void appendLines(std::string& out, const char* p, const char* e);
    void flushInstructions();

    // Out of line: the parse paths that may ask it stay lean.
    [[gnu::noinline]] ZUVSAX2Position positionAt(size_t offset);
    // Moves the cursor forward to `offset`, in the buffer, the long way.
    [[gnu::noinline]] void countLong(size_t offset);
    // Writes every deferred position, in order.
    [[gnu::noinline]] void resolveDeferred();
    // Resolves what is deferred when feed() returns or throws.
    struct ResolveOnExit {
        ZUVSAX2Tokenizer* tokenizer;
        ~ResolveOnExit() {
            if (tokenizer->deferredCount) tokenizer->resolveDeferred();
        }
    };

    Handlers handlers;
    Scan scanLevel = Scan::Bytes;
    int maxDepth = ZUVSAX2Parser::kMaxDepth;
    long maxTextLength = ZUVSAX2Parser::kMaxTextLength;

    Phase phase = Phase::Start;
    const char* base = nullptr;
    const char* end = nullptr;
    size_t size = 0;
    bool final = false;
    size_t resume = 0;  // first byte of the buffer not yet tokenized
    size_t kept = 0;    // see prologKept()
    Cursor cursor;
    size_t eventOffset = 0;
    // Deferred positions, offsets ascending: a run of start tags, counted
    // in one go while its bytes are in the cache.
    static constexpr unsigned kDeferred = 128;
    unsigned deferredCount = 0;
    ZUVSAX2DeferredPosition deferred[kDeferred];

    bool declarationKnown = false;
    Open open = Open::None;
    size_t openStart = 0;        // its first byte, while in the buffer
    bool openGone = false;       // that byte was discarded
    bool openCounted = false;    // openAt is known
    bool openMisplaced = false;  // an XML declaration out of place
    ZUVSAX2Position openAt;      // where it starts, for errors about it
    std::string reopenText;      // see reopen()

    // What the internal subset declares about one element's attributes, in
    // declaration order; the first declaration of an attribute wins.
    struct AttributeDeclaration {
        std::string name;
        std::string value;  // the default, normalized
        bool hasDefault = false;
        bool cdata = true;
    };
    struct ElementDeclaration {
        std::string name;
        std::vector<AttributeDeclaration> attributes;
    };
    // Only elements with a default or a tokenized attribute: the others read
    // as if undeclared. Sorted by name length, then bytes, for a binary search;
    // a start tag whose first byte begins none of them skips the search.
    std::vector<ElementDeclaration> declared;
    uint64_t declaredFirst[4] = {};
    // While the subset is read: where each element is in `declared`, and
    // each (element, attribute) seen, so that a subset of many declarations
    // is read in n log n, not n squared.
    std::map<std::string, size_t, std::less<>> declaredAt;
    std::set<std::string> declaredAttributes;
    std::vector<size_t> byName;  // a tag's attributes by name, see applyDeclarations
    // A subset the buffer ended in: where it starts, where to go on, and
    // how many instructions were queued before it.
    bool subsetPending = false;
    size_t subsetFrom = 0;
    size_t subsetRead = 0;
    size_t subsetQueued = 0;

    bool externalSubset = false;  // a DOCTYPE with an external identifier
    bool standalone = false;
    bool seenDoctype = false;
    std::string encodingName;
    size_t encodingOffset = 0;

    long long textRun = 0;
    Scratch names;  // open elements' names, NUL-terminated
    // The length of the name last closed, whose bytes and NUL still follow
    // the open names; 0 once anything else may have been written there.
    size_t closedLength = 0;
    std::vector<size_t> nameStarts;
    Scratch scratch;      // a start tag's names and values, each name just before its value
    Pointers attributes;  // the tag's pairs, into scratch
    // The first error in each attribute value that has one: (attribute, error).
    std::vector<std::pair<size_t, Later>> later;
    std::vector<size_t> seen;         // duplicate check of long tags
    std::vector<std::string> queued;  // prolog instructions: target, data, ...

    Status failStatus = Status::Error;
    int errorCode = 0;
    Limit errorLimit = Limit::None;
    ZUVSAX2Position errorAt;
};

#endif

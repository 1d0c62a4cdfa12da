// ZUVSAX2Parser: our tokenizer, Expat for the documents it does not read.
//
// The tokenizer reads every document whose prolog it knows, in UTF-8 as it
// stands or as the transcoder makes it from another encoding; any other goes
// to Expat, decided before an event is sent. Around Expat this file adds
// what the family needs: streaming from files and standard input, one-line
// error reports with a source name, nesting and text-length limits,
// exceptions carried across Expat's C frames, single-byte encodings through
// iconv tables, and multi-byte ones as our UTF-8.
#include "ZUVSAX2Parser.h"

#include <expat.h>
#include <unistd.h>

#include <strings.h>
#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <memory>
#include <new>
#include <optional>
#include <string>

#include "ZUVFile.h"
#include "ZUVLog.h"
#include "ZUVSAX2Tokenizer.h"
#include "ZUVSAX2Transcoder.h"
#include "ZUVString.h"

static_assert(XML_MAJOR_VERSION > 2 || (XML_MAJOR_VERSION == 2 && XML_MINOR_VERSION >= 4),
              "Expat 2.4 or later is needed for its amplification (billion laughs) protection");

namespace {

// Most bytes of buffers a parser keeps from one document to the next: past
// this, what a big document made it grow is given back when the parse ends.
constexpr size_t kKeptBytes = 64 * 1024;

// Expat's memory, counted per parser so that what a document left in it can
// be told: each block carries its size and the counter of the parser whose
// call made it, the one at work on this thread then.
struct alignas(std::max_align_t) ExpatBlock {
    size_t size;
    size_t* held;
};
thread_local size_t* expatHeld = nullptr;

void* expatMalloc(size_t size) {
    if (size > SIZE_MAX - sizeof(ExpatBlock)) return nullptr;
    ExpatBlock* block = static_cast<ExpatBlock*>(std::malloc(sizeof(ExpatBlock) + size));
    if (!block) return nullptr;
    block->size = size;
    block->held = expatHeld;
    if (block->held) *block->held += size;
    return block + 1;
}

void expatFree(void* bytes) {
    if (!bytes) return;
    ExpatBlock* block = static_cast<ExpatBlock*>(bytes) - 1;
    if (block->held) *block->held -= block->size;
    std::free(block);
}

void* expatRealloc(void* bytes, size_t size) {
    if (!bytes) return expatMalloc(size);
    if (size > SIZE_MAX - sizeof(ExpatBlock)) return nullptr;
    ExpatBlock* block = static_cast<ExpatBlock*>(bytes) - 1;
    size_t before = block->size;
    block = static_cast<ExpatBlock*>(std::realloc(block, sizeof(ExpatBlock) + size));
    if (!block) return nullptr;
    block->size = size;
    if (block->held) *block->held = *block->held - before + size;
    return block + 1;
}

const XML_Memory_Handling_Suite kExpatMemory = {expatMalloc, expatRealloc, expatFree};

// Makes Expat's allocations count for `held` while it lives.
class CountExpat {
public:
    explicit CountExpat(size_t* held) : outer(expatHeld) { expatHeld = held; }
    ~CountExpat() { expatHeld = outer; }
    CountExpat(const CountExpat&) = delete;
    CountExpat& operator=(const CountExpat&) = delete;

private:
    size_t* outer;
};

// Where white space, comments and instructions were cut from the prolog of a
// streamed document, so that their length costs no memory: Expat, reading
// the document after all, never sees them, and what it says of a position
// after the cut is moved to where that position is in the document.
struct PrologCut {
    ZUVSAX2Position expat;     // where the cut is in what Expat reads
    ZUVSAX2Position document;  // where the first byte after it is
};
// One cut after the declaration, one after the document type: the only
// tokens before the root that Expat must see when no handler waits for
// instructions.
constexpr int kMaxPrologCuts = 2;
// Cuts kept, with those of long comments and instructions that Expat reads
// only the ends of: what it says later lies past the last one, or in the
// token cut by it, which is past the one before.
constexpr int kMaxCuts = kMaxPrologCuts + 2;

// Why our own code stopped Expat (as opposed to Expat finding an error).
enum class Stop { None, Depth, Text, Attribute, Name, Exception, Skipped };

// Everything a parser holds; ZUVSAX2Parser::State is this under the name the
// header declares, so the file-local callbacks can use it.
struct ParserState {
    XML_Parser expat = nullptr;
    void* userData;
    ZUVLog* log;
    ZUVSAX2Parser::StartElementHandler start;
    ZUVSAX2Parser::EndElementHandler end;
    ZUVSAX2Parser::CharacterDataHandler characters;
    ZUVSAX2Parser::ProcessingInstructionHandler instruction;

    int maxDepth = ZUVSAX2Parser::kMaxDepth;
    long maxTextLength = ZUVSAX2Parser::kMaxTextLength;
    ZUVSAX2Parser::Engine engine = ZUVSAX2Parser::Engine::Automatic;

    // Per parse.
    int depth = 0;
    long long textRun = 0;  // bytes of text since the last start or end tag
    bool parsing = false;
    Stop stop = Stop::None;
    ZUVSAX2Position stopPosition;
    std::exception_ptr exception;
    char encodingName[64] = {};
    const char* encodingProblem = nullptr;
    char encodingProblemText[96] = {};
    bool encodingIncorrect = false;  // a name the document's family contradicts
    ZUVSAX2Transcoder::Family family = ZUVSAX2Transcoder::Family::Utf8;

    // Position of the last event or error, once the last parse returned.
    // After a parse that succeeded it is read from Expat when asked:
    // Expat counts lines by rescanning, which would cost a pass over the
    // whole document on every parse.
    ZUVSAX2Position position;
    bool positionInExpat = false;
    // The last parse's verdict, as values.
    ZUVSAX2Error error;

    ZUVSAX2Tokenizer tokenizer;
    bool inTokenizer = false;  // the running parse is the tokenizer's
    // Documents in another encoding than UTF-8 are read as UTF-8 made here,
    // chunk by chunk.
    ZUVSAX2Transcoder transcoder;
    std::string converted;
    bool expatConverting = false;     // Expat reads what the transcoder makes
    size_t expatBytes = 0;            // what Expat holds for this parser
    unsigned long long expatFed = 0;  // bytes given to Expat in this document
    // What Expat must see of a prolog that was cut, in order, and the cuts.
    std::string prologKept;
    PrologCut prologCuts[kMaxCuts];
    int prologCutCount = 0;
    // The start of a comment or instruction that the last cut ran into, at
    // the end of prologKept: its bytes.
    size_t prologReopened = 0;
    // A long comment or instruction outside the root element, whose text
    // Expat is not given: read here, while `skipping` holds its marker ('-'
    // or '?'), Expat reads its start and its end.
    char skipping = 0;
    std::string skipCarry;              // a cut end marker or character, read again
    ZUVSAX2Position skipStart;          // where it starts, in the document
    ZUVSAX2LineCount skipAt;            // where the reading is, in the document
    ZUVSAX2Position skipExpat;          // where Expat stopped, in what it read
    int skipError = 0;                  // an XML_Error found in its text
    std::unique_ptr<char[]> skipChunk;  // what stream() reads meanwhile
};

using State = ParserState;

int clampToInt(XML_Size value) {
    return value > static_cast<XML_Size>(INT_MAX) ? INT_MAX : static_cast<int>(value);
}

// `at` moved from one side of a cut (`from`) to the other (`to`): columns
// on the cut's line, lines after it. Positions stop at INT_MAX.
ZUVSAX2Position across(ZUVSAX2Position at, ZUVSAX2Position from, ZUVSAX2Position to) {
    auto clamped = [](long long value) {
        return value > INT_MAX ? INT_MAX : value < 0 ? 0 : static_cast<int>(value);
    };
    if (at.line == from.line)
        return {to.line, clamped(static_cast<long long>(to.column) + at.column - from.column)};
    return {clamped(static_cast<long long>(to.line) + at.line - from.line), at.column};
}

// The place in the document of `at`, a position in what Expat read.
ZUVSAX2Position inDocument(const State* s, ZUVSAX2Position at) {
    for (int i = s->prologCutCount - 1; i >= 0; --i) {
        const PrologCut& cut = s->prologCuts[i];
        if (at.line > cut.expat.line ||
            (at.line == cut.expat.line && at.column >= cut.expat.column))
            return across(at, cut.expat, cut.document);
    }
    return at;
}

// The place in what Expat reads of `at`, a position in the document after
// the last cut.
ZUVSAX2Position inExpat(const State* s, ZUVSAX2Position at) {
    if (s->prologCutCount == 0) return at;
    const PrologCut& last = s->prologCuts[s->prologCutCount - 1];
    return across(at, last.document, last.expat);
}

ZUVSAX2Position currentPosition(XML_Parser expat) {
    ZUVSAX2Position position;
    position.line = clampToInt(XML_GetCurrentLineNumber(expat));
    position.column = clampToInt(XML_GetCurrentColumnNumber(expat) + 1);
    if (const State* s = static_cast<const State*>(XML_GetUserData(expat)))
        return inDocument(s, position);
    return position;
}

// Stops Expat for good from inside a callback. Clearing the handlers keeps
// the events Expat may still deliver after XML_StopParser (the end of an
// empty element) from reaching the caller.
void stopWith(State* s, Stop reason) noexcept {
    s->stop = reason;
    s->stopPosition = currentPosition(s->expat);
    XML_SetElementHandler(s->expat, nullptr, nullptr);
    XML_SetCharacterDataHandler(s->expat, nullptr);
    XML_SetProcessingInstructionHandler(s->expat, nullptr);
    XML_StopParser(s->expat, XML_FALSE);
}

// The trampolines: Expat calls these, they call the caller's handlers. An
// exception must never unwind through Expat's C frames, so each catches,
// stops the parse and keeps the exception for the parse call to rethrow.

// Expat's ISO-8859-1 and UTF-16 decoders take U+00AA, U+00B5 and U+00BA for
// letters in names, which no edition of XML does (nor Expat itself in
// UTF-8): such a name could never be written back. They arrive as C2 AA,
// C2 B5, C2 BA.
bool hasForeignNameCharacter(const char* name) noexcept {
    for (const char* p = std::strchr(name, '\xC2'); p; p = std::strchr(p + 1, '\xC2')) {
        char next = p[1];
        if (next == '\xAA' || next == '\xB5' || next == '\xBA') return true;
    }
    return false;
}

// Calls a caller's handler; an exception stops the parse and is kept for the
// parse call to rethrow, since it must not unwind through Expat.
template <typename Handler, typename... Args>
void call(State* s, Handler handler, Args... args) noexcept {
    if (!handler) return;
    try {
        handler(s->userData, args...);
    } catch (...) {
        s->exception = std::current_exception();
        stopWith(s, Stop::Exception);
    }
}

void XMLCALL onStart(void* data, const XML_Char* name, const XML_Char** attributes) noexcept {
    State* s = static_cast<State*>(data);
    if (++s->depth > s->maxDepth) return stopWith(s, Stop::Depth);
    s->textRun = 0;
    if (hasForeignNameCharacter(name)) return stopWith(s, Stop::Name);
    // At the default limit Expat itself refuses what an int cannot count.
    bool checkLength = s->maxTextLength < ZUVSAX2Parser::kMaxTextLength;
    for (const XML_Char** a = attributes; *a; a += 2) {
        if (checkLength && std::strlen(a[1]) > static_cast<size_t>(s->maxTextLength))
            return stopWith(s, Stop::Attribute);
        if (hasForeignNameCharacter(a[0])) return stopWith(s, Stop::Name);
    }
    call(s, s->start, name, attributes);
}

void XMLCALL onEnd(void* data, const XML_Char* name) noexcept {
    State* s = static_cast<State*>(data);
    --s->depth;
    s->textRun = 0;
    call(s, s->end, name);
}

void XMLCALL onCharacters(void* data, const XML_Char* text, int length) noexcept {
    State* s = static_cast<State*>(data);
    s->textRun += length;
    if (s->textRun > s->maxTextLength) return stopWith(s, Stop::Text);
    call(s, s->characters, text, length);
}

void XMLCALL onInstruction(void* data, const XML_Char* target, const XML_Char* text) noexcept {
    State* s = static_cast<State*>(data);
    call(s, s->instruction, target, text);
}

// Expat reads UTF-8, UTF-16, ISO-8859-1 and US-ASCII itself and asks here
// for any other declared encoding. The verdict is the transcoder's, so that
// both engines accept and refuse the same names. Expat reads single-byte
// encodings through a table that maps each byte to its code point, or -1
// when the byte means nothing in the encoding; multi-byte ones never get
// here, they reach Expat as our UTF-8.
int XMLCALL onUnknownEncoding(void* data, const XML_Char* name, XML_Encoding* info) noexcept {
    State* s = static_cast<State*>(data);
    std::snprintf(s->encodingName, sizeof s->encodingName, "%s", name);
    s->encodingProblem = s->encodingProblemText;
    // The first bytes of a document of the family this one has.
    const char* start = s->family == ZUVSAX2Transcoder::Family::Utf16LE   ? "<\0?\0"
                        : s->family == ZUVSAX2Transcoder::Family::Utf16BE ? "\0<\0?"
                                                                          : "<?xm";
    try {
        ZUVSAX2Transcoder check;
        check.detect(start, 4, true);
        switch (check.declare(name)) {
            case ZUVSAX2Transcoder::Declared::Incorrect:
                s->encodingIncorrect = true;
                return XML_STATUS_ERROR;
            case ZUVSAX2Transcoder::Declared::Unsupported:
                std::snprintf(s->encodingProblemText, sizeof s->encodingProblemText, "%s",
                              check.problem().c_str());
                return XML_STATUS_ERROR;
            case ZUVSAX2Transcoder::Declared::Ok:
                break;
        }
        if (check.multiByte()) {
            std::snprintf(s->encodingProblemText, sizeof s->encodingProblemText,
                          "only single-byte encodings are supported");
            return XML_STATUS_ERROR;
        }
    } catch (...) {
        std::snprintf(s->encodingProblemText, sizeof s->encodingProblemText, "out of memory");
        return XML_STATUS_ERROR;
    }
    long code[256];
    if (!ZUVSAX2Transcoder::byteCodes(name, code)) return XML_STATUS_ERROR;
    for (int byte = 0; byte < 256; ++byte)
        info->map[byte] = code[byte] >= 0 ? static_cast<int>(code[byte]) : -1;
    info->data = nullptr;
    info->convert = nullptr;
    info->release = nullptr;
    std::snprintf(s->encodingProblemText, sizeof s->encodingProblemText, "Expat refused its table");
    return XML_STATUS_OK;
}

void report(State* s, const char* source, ZUVSAX2Position position, const char* format, ...)
    __attribute__((format(printf, 4, 5)));

// A position with line 0 is none: the fault is not in the document's text.
void report(State* s, const char* source, ZUVSAX2Position position, const char* format, ...) {
    s->position = position;
    s->positionInExpat = false;
    char message[512];
    va_list args;
    va_start(args, format);
    std::vsnprintf(message, sizeof message, format, args);
    va_end(args);
    s->error.message = message;
    s->error.source = source;
    s->error.line = position.line;
    s->error.column = position.column;
    if (!s->log) return;
    if (position.line == 0)
        s->log->error("%s: %s", source, message);
    else
        s->log->error("%s:%d:%d: %s", source, position.line, position.column, message);
}

// A limit the document passed, as both engines report it; always false.
bool reportLimit(State* s, const char* source, ZUVSAX2Position at, ZUVSAX2Tokenizer::Limit limit) {
    switch (limit) {
        case ZUVSAX2Tokenizer::Limit::Depth:
            report(s, source, at, "elements nested deeper than %d levels", s->maxDepth);
            break;
        case ZUVSAX2Tokenizer::Limit::Text:
            report(s, source, at, "text longer than %ld bytes between two tags", s->maxTextLength);
            break;
        case ZUVSAX2Tokenizer::Limit::Attribute:
            report(s, source, at, "attribute value longer than %ld bytes", s->maxTextLength);
            break;
        case ZUVSAX2Tokenizer::Limit::None:
            break;
    }
    return false;
}

// Records the verdict of a parse about to run: a parse that an exception
// leaves has failed.
void beginVerdict(State* s, const char* source) {
    s->error.message = "parse did not finish";
    s->error.source = source;
    s->error.line = 0;
    s->error.column = 0;
}

// Emptied, not freed: the next parse's verdict takes the same room, so a
// parser allocates for it once, not on every parse.
bool endVerdict(State* s, bool accepted) {
    if (accepted) {
        s->error.message.empty();
        s->error.source.empty();
        s->error.line = 0;
        s->error.column = 0;
    }
    return accepted;
}

const char* describeErrno(int error, char* buffer, size_t size) {
    // The GNU strerror_r returns the text, in `buffer` or static.
    return strerror_r(error, buffer, size);
}

// Reads up to `size` bytes of the source into `room`: how many, 0 at its
// end, or -1 after reporting the read error at where().
template <typename Reader, typename Where>
long readChunk(State* s, const char* source, Reader& read, char* room, size_t size, Where where) {
    int error = 0;
    long length = read(room, size, error);
    if (length < 0) {
        char text[128];
        report(s, source, where(), "cannot read: %s", describeErrno(error, text, sizeof text));
    }
    return length;
}

// After a parse: buffers past kKeptBytes go back, so that one big document
// does not stay in memory for the parser's life. Expat keeps what it grew
// through a reset, so it is replaced; without memory for a new one the old
// one stays.
void release(State* s) noexcept {
    s->tokenizer.release(kKeptBytes);
    if (s->converted.capacity() > kKeptBytes) std::string().swap(s->converted);
    if (s->prologKept.capacity() > kKeptBytes) std::string().swap(s->prologKept);
    if (s->expatBytes <= kKeptBytes) return;
    XML_Parser fresh = XML_ParserCreate_MM(nullptr, &kExpatMemory, nullptr);
    if (!fresh) return;
    if (s->positionInExpat) {
        s->position = currentPosition(s->expat);
        s->positionInExpat = false;
    }
    XML_ParserFree(s->expat);
    s->expat = fresh;
}

// Marks the parser busy for the length of a parse call, even when a
// callback's exception leaves it, and gives back what the parse grew.
class Busy {
public:
    explicit Busy(State* s) : s(s), counting(&s->expatBytes) {
        s->parsing = true;
        s->prologKept.clear();
        s->prologCutCount = 0;
        s->prologReopened = 0;
    }
    ~Busy() {
        s->parsing = false;
        release(s);
    }
    Busy(const Busy&) = delete;
    Busy& operator=(const Busy&) = delete;

private:
    State* s;
    CountExpat counting;
};

// Puts Expat back at the start of a document with our settings; `encoding`,
// when given, overrides what the document declares.
void begin(State* s, const char* encoding = nullptr) {
    if (!XML_ParserReset(s->expat, encoding)) throw std::bad_alloc();
    XML_SetUserData(s->expat, s);
    XML_SetElementHandler(s->expat, onStart, onEnd);
    XML_SetCharacterDataHandler(s->expat, onCharacters);
    if (s->instruction) XML_SetProcessingInstructionHandler(s->expat, onInstruction);
    XML_SetUnknownEncodingHandler(s->expat, onUnknownEncoding, s);
    // Never read the external DTD subset or external parameter entities.
    // No external entity reference handler is set either, so references to
    // external general entities are skipped, never loaded.
    XML_SetParamEntityParsing(s->expat, XML_PARAM_ENTITY_PARSING_NEVER);
    s->depth = 0;
    s->positionInExpat = false;
    s->textRun = 0;
    s->stop = Stop::None;
    s->exception = nullptr;
    s->encodingName[0] = '\0';
    s->encodingProblem = nullptr;
    s->encodingIncorrect = false;
    s->expatConverting = false;
    s->expatFed = 0;
    s->skipping = 0;
    s->skipCarry.clear();
}

// After Expat returned: true when the document was accepted. Otherwise
// reports the error once, or rethrows a callback's exception.
bool finish(State* s, const char* source, bool accepted) {
    if (accepted) {
        s->positionInExpat = true;
        return true;
    }
    switch (s->stop) {
        case Stop::Exception: {
            s->position = s->stopPosition;
            s->positionInExpat = false;
            std::exception_ptr exception = s->exception;
            s->exception = nullptr;
            std::rethrow_exception(exception);
        }
        case Stop::Depth:
            return reportLimit(s, source, s->stopPosition, ZUVSAX2Tokenizer::Limit::Depth);
        case Stop::Text:
            return reportLimit(s, source, s->stopPosition, ZUVSAX2Tokenizer::Limit::Text);
        case Stop::Attribute:
            return reportLimit(s, source, s->stopPosition, ZUVSAX2Tokenizer::Limit::Attribute);
        case Stop::Name:
            report(s, source, s->stopPosition,
                   "name holds a character that XML does not allow in names "
                   "(U+00AA, U+00B5 or U+00BA)");
            return false;
        case Stop::Skipped:
            report(s, source, s->stopPosition, "%s",
                   XML_ErrorString(static_cast<XML_Error>(s->skipError)));
            return false;
        case Stop::None:
            break;
    }
    XML_Error code = XML_GetErrorCode(s->expat);
    ZUVSAX2Position position = currentPosition(s->expat);
    if (code == XML_ERROR_UNKNOWN_ENCODING && s->encodingIncorrect) {
        report(s, source, position, "%s", XML_ErrorString(XML_ERROR_INCORRECT_ENCODING));
    } else if (code == XML_ERROR_UNKNOWN_ENCODING && s->encodingProblem) {
        report(s, source, position, "unsupported encoding \"%s\": %s", s->encodingName,
               s->encodingProblem);
    } else {
        report(s, source, position, "%s", XML_ErrorString(code));
    }
    return false;
}

// How many bytes to give Expat next: a chunk, or as many as it holds of a
// token it has not seen the end of. Expat scans such a token again from its
// start with each piece, so pieces of a fixed size would make a long value,
// name or comment cost the square of its length; growing with the token,
// they keep it linear.
size_t expatPiece(State* s) {
    const size_t chunk = static_cast<size_t>(ZUVSAX2Parser::kChunkSize);
    XML_Index at = XML_GetCurrentByteIndex(s->expat);
    if (at < 0 || static_cast<unsigned long long>(at) >= s->expatFed) return chunk;
    unsigned long long pending = s->expatFed - static_cast<unsigned long long>(at);
    const unsigned long long most = 1u << 30;  // XML_Parse counts in int
    return pending <= chunk ? chunk : static_cast<size_t>(pending < most ? pending : most);
}

bool isUtf8Name(const char* name);

// Whether Expat reads UTF-8: our own, or a document that says so.
bool expatReadsUtf8(State* s) {
    if (s->expatConverting) return true;
    const ZUVSAX2Tokenizer& t = s->tokenizer;
    return s->family == ZUVSAX2Transcoder::Family::Utf8 && t.declarationRead() &&
           isUtf8Name(t.encoding());
}

// After Expat returned: when what it holds unread is the start of a
// comment, or of an instruction no handler waits for, outside the root
// element and longer than a chunk, its marker ('-' or '?'); 0 otherwise.
// Expat would hold such a token whole until its end.
char longTokenPending(State* s) {
    if (s->depth != 0 || s->stop != Stop::None) return 0;
    XML_Index at = XML_GetCurrentByteIndex(s->expat);
    if (at < 0 || static_cast<unsigned long long>(at) + ZUVSAX2Parser::kChunkSize > s->expatFed)
        return 0;
    int offset = 0, size = 0;
    const char* buffer = XML_GetInputContext(s->expat, &offset, &size);
    if (!buffer || size - offset < ZUVSAX2Parser::kChunkSize || !expatReadsUtf8(s)) return 0;
    const char* p = buffer + offset;
    if (std::memcmp(p, "<!--", 4) == 0) return '-';
    if (s->instruction || p[0] != '<' || p[1] != '?') return 0;
    // A target, not "xml" in any case (Expat reports that at the start),
    // then white space: the data has begun.
    size_t target = 2;
    while (target < 256 && p[target] != ' ' && p[target] != '\t' && p[target] != '\n' &&
           p[target] != '\r' && p[target] != '?')
        ++target;
    if (target == 2 || target == 256 || p[target] == '?') return 0;
    if (target == 5 && strncasecmp(p + 2, "xml", 3) == 0) return 0;
    return '?';
}

// A byte after which such a token's text can be cut: Expat's last byte is
// then part of no end marker, no character and no line end.
bool cutsCleanly(char byte, char marker) {
    return byte >= 0x20 && byte < 0x7F && byte != marker;
}

// Expat holds the start of a long token, up to a clean byte: from here its
// text is read by skipText() and not given to Expat, until the end marker.
void startSkip(State* s, char marker) {
    int offset = 0, size = 0;
    const char* buffer = XML_GetInputContext(s->expat, &offset, &size);
    s->skipStart = currentPosition(s->expat);
    // Counted where Expat reads, then moved into the document: a prolog the
    // tokenizer cut may have given Expat this token's start again.
    ZUVSAX2LineCount inExpat;
    inExpat.line = static_cast<long>(XML_GetCurrentLineNumber(s->expat));
    inExpat.column = static_cast<long>(XML_GetCurrentColumnNumber(s->expat));
    inExpat.count(buffer + offset, buffer + size);
    s->skipExpat = inExpat.position();
    ZUVSAX2Position at = inDocument(s, s->skipExpat);
    s->skipAt = ZUVSAX2LineCount();
    s->skipAt.line = at.line;
    s->skipAt.column = at.column - 1;
    s->skipping = marker;
    s->skipCarry.clear();
}

// An error in the text read by skipText(): Expat's, where it would say it.
size_t skipFailed(State* s, int code, ZUVSAX2Position at) {
    s->stop = Stop::Skipped;
    s->skipError = code;
    s->stopPosition = at;
    return SIZE_MAX;
}

// The end marker is next: Expat reads on from it, and what it says from
// there is moved by the text it did not see.
void endSkip(State* s) {
    s->skipping = 0;
    PrologCut cut;
    cut.expat = s->skipExpat;
    cut.document = s->skipAt.position();
    if (s->prologCutCount == kMaxCuts) {
        for (int i = 1; i < kMaxCuts; ++i)
            s->prologCuts[i - 1] = s->prologCuts[i];
        --s->prologCutCount;
    }
    s->prologCuts[s->prologCutCount++] = cut;
}

// Reads bytes[0..length) of a skipped token's text (after what was carried
// from before). Returns how many bytes it used: all of them while the text
// goes on, those before the end marker once it ends (with the carried
// bytes from the marker given to Expat), SIZE_MAX on an error.
size_t skipOn(State* s, const char* bytes, size_t length, bool last) {
    using Skipped = ZUVSAX2Tokenizer::Skipped;
    size_t from = 0;
    size_t at = 0;
    int code = 0;
    if (!s->skipCarry.empty()) {
        // Eight bytes more decide whatever the carried ones began.
        size_t carried = s->skipCarry.size();
        size_t take = length < 8 ? length : 8;
        std::string joined = s->skipCarry;
        joined.append(bytes, take);
        Skipped how = ZUVSAX2Tokenizer::skipText(s->skipping, joined.data(),
                                                 joined.data() + joined.size(), &at, &code);
        s->skipAt.count(joined.data(), joined.data() + at);
        if (how == Skipped::Error) return skipFailed(s, code, s->skipAt.position());
        if (how == Skipped::More && take == length) {
            if (last) return skipFailed(s, code, s->skipStart);
            s->skipCarry = joined.substr(at);
            return length;
        }
        s->skipCarry.clear();
        if (how == Skipped::End && at < carried) {
            endSkip(s);
            s->expatFed += carried - at;
            if (XML_Parse(s->expat, joined.data() + at, static_cast<int>(carried - at), false) !=
                XML_STATUS_OK)
                return SIZE_MAX;
            return 0;
        }
        // Decided past the carried bytes: the rest is read below.
        from = at - carried;
    }
    Skipped how = ZUVSAX2Tokenizer::skipText(s->skipping, bytes + from, bytes + length, &at, &code);
    s->skipAt.count(bytes + from, bytes + from + at);
    if (how == Skipped::Error) return skipFailed(s, code, s->skipAt.position());
    if (how == Skipped::End) {
        endSkip(s);
        return from + at;
    }
    if (last) return skipFailed(s, code, s->skipStart);
    s->skipCarry.assign(bytes + from + at, bytes + length);
    return length;
}

// Gives Expat bytes in pieces (see expatPiece()): XML_Parse copies what it is
// given into a buffer of its own, which for a whole document costs a fresh
// allocation of its size. The text of a long comment or instruction outside
// the root element is read here instead (see startSkip()), so that Expat
// never holds more of it than a chunk or two.
bool feedExpat(State* s, const char* bytes, size_t length, bool last) {
    do {
        if (s->skipping) {
            size_t used = skipOn(s, bytes, length, last);
            if (used == SIZE_MAX) return false;
            bytes += used;
            length -= used;
            if (s->skipping || (length == 0 && !last)) return true;
        }
        size_t most = expatPiece(s);
        size_t piece = length < most ? length : most;
        char marker = longTokenPending(s);
        if (marker) {
            // End the piece on the first byte that cuts cleanly, if one is near.
            for (size_t k = 0; k < length && k < 16; ++k) {
                if (cutsCleanly(bytes[k], marker)) {
                    piece = k + 1;
                    break;
                }
            }
        }
        length -= piece;
        s->expatFed += piece;
        if (XML_Parse(s->expat, bytes, static_cast<int>(piece), last && length == 0) !=
            XML_STATUS_OK)
            return false;
        bytes += piece;
        if (marker && piece > 0 && cutsCleanly(bytes[-1], marker) && longTokenPending(s) == marker)
            startSkip(s, marker);
    } while (length > 0);
    return true;
}

// Reads a source to its end through Expat's own buffer, a piece at a time
// (see expatPiece()), after the `length` bytes already read into `prefix`
// (`ended`: the source has none left). `read` returns bytes read, 0 at the
// end, or -1 with `error` set.
template <typename Reader>
bool stream(State* s, const char* source, Reader read, const char* prefix = nullptr,
            size_t length = 0, bool ended = false) {
    if (length > 0 || ended) {
        if (!feedExpat(s, prefix, length, ended)) return finish(s, source, false);
        if (ended) return finish(s, source, true);
    }
    for (;;) {
        if (s->skipping || longTokenPending(s)) {
            // A long token's text goes through feedExpat(), which reads it
            // instead of Expat.
            const size_t chunk = static_cast<size_t>(ZUVSAX2Parser::kChunkSize);
            if (!s->skipChunk) s->skipChunk.reset(new char[chunk]);
            int error = 0;
            long length = read(s->skipChunk.get(), chunk, error);
            if (length < 0) {
                char text[128];
                report(s, source, s->skipping ? s->skipAt.position() : currentPosition(s->expat),
                       "cannot read: %s", describeErrno(error, text, sizeof text));
                return false;
            }
            bool last = length == 0;
            if (!feedExpat(s, s->skipChunk.get(), static_cast<size_t>(length), last))
                return finish(s, source, false);
            if (last) return finish(s, source, true);
            continue;
        }
        size_t piece = expatPiece(s);
        char* buffer = static_cast<char*>(XML_GetBuffer(s->expat, static_cast<int>(piece)));
        if (!buffer) return finish(s, source, false);
        size_t got = 0;
        bool last = false;
        do {
            long length = readChunk(s, source, read, buffer + got, piece - got,
                                    [s] { return currentPosition(s->expat); });
            if (length < 0) return false;
            last = length == 0;
            got += static_cast<size_t>(length);
        } while (!last && got < piece && piece > static_cast<size_t>(ZUVSAX2Parser::kChunkSize));
        s->expatFed += got;
        if (XML_ParseBuffer(s->expat, static_cast<int>(got), last) != XML_STATUS_OK)
            return finish(s, source, false);
        if (last) return finish(s, source, true);
    }
}

// --- The tokenizer's side ---------------------------------------------------

bool isUtf8Name(const char* name) {
    return !name || strcasecmp(name, "UTF-8") == 0;
}

void startTokenizer(State* s, size_t skip) {
    ZUVSAX2Tokenizer::Handlers handlers;
    handlers.userData = s->userData;
    handlers.start = s->start;
    handlers.end = s->end;
    handlers.characters = s->characters;
    handlers.instruction = s->instruction;
    s->tokenizer.reset(handlers, s->maxDepth, s->maxTextLength, skip);
}

// Reads the family from the first bytes (all of them when fewer than 4).
void detect(State* s, const char* bytes, size_t length) {
    s->transcoder.reset();
    s->transcoder.detect(bytes, length, true);
    s->family = s->transcoder.family();
}

bool tokenizerError(State* s, const char* source) {
    ZUVSAX2Tokenizer& t = s->tokenizer;
    ZUVSAX2Position at = t.errorPosition();
    if (t.limit() != ZUVSAX2Tokenizer::Limit::None) return reportLimit(s, source, at, t.limit());
    report(s, source, at, "%s", XML_ErrorString(static_cast<XML_Error>(t.error())));
    return false;
}

// Whether Expat must read the document as our UTF-8: it cannot read
// multi-byte encodings, in UTF-16 it takes a high surrogate and any unit
// after it for a pair, and in ISO-8859-1 it takes U+00AA, U+00B5 and U+00BA
// for letters of names. Given our UTF-8, it judges every document as it
// judges UTF-8, as the tokenizer does.
bool expatNeedsUtf8(const State* s) {
    return s->transcoder.decodes() || s->family != ZUVSAX2Transcoder::Family::Utf8;
}

// --- Which lexer reads a document -------------------------------------------

// When the choice is made: every moment comes before the first event.
enum class Moment {
    FirstBytes,   // the family is known (detect())
    Declaration,  // the tokenizer has read the XML declaration, or its absence
    Fallback      // the tokenizer gave up on the prolog (see route())
};

// Who reads the rest of the document, and which bytes.
enum class Route {
    InPlace,          // the tokenizer, on the input as it is (UTF-8)
    Transcoded,       // the tokenizer, on our UTF-8 made as the input streams in
    Expat,            // Expat, on the input as it is
    ExpatTranscoded,  // Expat, on our UTF-8, from the document's start
    Refused           // the declared encoding; reported here, at its name
};

// The engine decision, all of it. A string, a file and standard input take
// the same routes; reading in place is a string's own bytes, or a stream's
// chunk buffer.
//
//   moment       engine     what is known                          route
//   first bytes  Automatic  UTF-8 family (or too short to tell)    InPlace
//   first bytes  Automatic  UTF-16 family                          Transcoded
//   first bytes  Expat      any                                    Transcoded, declaration only
//   declaration  Automatic  in place, UTF-8 or no encoding named   InPlace
//   declaration  Automatic  a name the transcoder accepts          Transcoded (from the start)
//   declaration  Automatic  a name the transcoder refuses          Refused
//   declaration  Expat      accepted, Expat needs our UTF-8        ExpatTranscoded
//   declaration  Expat      otherwise (Expat judges the name)      Expat
//   fallback     Automatic  Expat needs our UTF-8                  ExpatTranscoded
//   fallback     Automatic  otherwise (UTF-8 as it is)             Expat
//
// Fallback: the tokenizer met a prolog it does not read as Expat does
// (Status::Fallback: entity or notation declarations, parameter entity
// references, anything unexpected before the root), a second declaration,
// or the transcoder cut the declaration short. An internal subset of element
// and attribute-list declarations, comments and instructions stays with the
// tokenizer. At the declaration the transcoder is told the encoding.
Route route(State* s, const char* source, Moment moment, bool inPlace) {
    const bool expatEngine = s->engine == ZUVSAX2Parser::Engine::Expat;
    switch (moment) {
        case Moment::FirstBytes:
            return expatEngine || s->family != ZUVSAX2Transcoder::Family::Utf8 ? Route::Transcoded
                                                                               : Route::InPlace;
        case Moment::Declaration:
            break;
        case Moment::Fallback:
            return expatNeedsUtf8(s) ? Route::ExpatTranscoded : Route::Expat;
    }
    ZUVSAX2Tokenizer& t = s->tokenizer;
    if (inPlace && isUtf8Name(t.encoding())) return Route::InPlace;
    ZUVSAX2Transcoder::Declared verdict = s->transcoder.declare(t.encoding());
    if (expatEngine)
        return verdict == ZUVSAX2Transcoder::Declared::Ok && expatNeedsUtf8(s)
                   ? Route::ExpatTranscoded
                   : Route::Expat;
    switch (verdict) {
        case ZUVSAX2Transcoder::Declared::Ok:
            return Route::Transcoded;
        case ZUVSAX2Transcoder::Declared::Incorrect:
            report(s, source, t.encodingPosition(), "%s",
                   XML_ErrorString(XML_ERROR_INCORRECT_ENCODING));
            break;
        case ZUVSAX2Transcoder::Declared::Unsupported:
            report(s, source, t.encodingPosition(), "unsupported encoding \"%s\": %s",
                   s->transcoder.encodingName().c_str(), s->transcoder.problem().c_str());
            break;
    }
    return Route::Refused;
}

// Keeps the tokenizer's flag and its position right when a callback throws.
class InTokenizer {
public:
    explicit InTokenizer(State* s) : s(s) { s->inTokenizer = true; }
    ~InTokenizer() {
        if (std::uncaught_exceptions() > 0) {
            s->position = s->tokenizer.eventPosition();
            s->positionInExpat = false;
        }
        s->inTokenizer = false;
    }
    InTokenizer(const InTokenizer&) = delete;
    InTokenizer& operator=(const InTokenizer&) = delete;

private:
    State* s;
};

// A buffer that grows by doubling and gives up its front.
class Buffer {
public:
    char* data() { return bytes.get(); }
    size_t size() const { return used; }
    // Room for `n` more bytes after the last.
    char* reserve(size_t n) {
        if (capacity - used < n) {
            size_t grown = capacity ? capacity : n;
            while (grown - used < n)
                grown *= 2;
            std::unique_ptr<char[]> larger(new char[grown]);
            if (used) std::memcpy(larger.get(), bytes.get(), used);
            bytes = std::move(larger);
            capacity = grown;
        }
        return bytes.get() + used;
    }
    void grow(size_t n) { used += n; }
    void drop(size_t n) {
        std::memmove(bytes.get(), bytes.get() + n, used - n);
        used -= n;
    }

private:
    std::unique_ptr<char[]> bytes;
    size_t capacity = 0;
    size_t used = 0;
};

// The bytes of a document as the transcoding side sees them: what has
// arrived, from the first byte not yet dropped. A string has all of its bytes
// at once.
class StringInput {
public:
    StringInput(const char* bytes, size_t length) : bytes(bytes), length(length) {}
    const char* data() const { return bytes; }
    size_t size() const { return length; }
    bool ended() const { return true; }
    bool more(State*, const char*) { return true; }
    void drop(size_t) {}
    // Expat reads the whole document as it is.
    bool toExpat(State* s, const char* source) {
        return finish(s, source, feedExpat(s, bytes, length, true));
    }

private:
    const char* bytes;
    size_t length;
};

// A file or standard input, read in chunks into `buffer`.
template <typename Reader>
class StreamInput {
public:
    StreamInput(Buffer& buffer, Reader& read, bool& end) : buffer(buffer), read(read), end(end) {}
    const char* data() { return buffer.data(); }
    size_t size() const { return buffer.size(); }
    bool ended() const { return end; }
    // Reads one chunk more; false after reporting a read error, at no
    // position while the tokenizer has not `started`.
    bool more(State* s, const char* source, bool started = true) {
        char* room = buffer.reserve(ZUVSAX2Parser::kChunkSize);
        long length = readChunk(s, source, read, room,
                                static_cast<size_t>(ZUVSAX2Parser::kChunkSize), [s, started] {
                                    if (s->expatConverting) return currentPosition(s->expat);
                                    return started ? s->tokenizer.endPosition() : ZUVSAX2Position();
                                });
        if (length < 0) return false;
        end = length == 0;
        buffer.grow(static_cast<size_t>(length));
        return true;
    }
    void drop(size_t n) { buffer.drop(n); }
    // Expat reads the document as it is: what was kept of a cut prolog, then
    // what the buffer holds (nothing else was dropped before the root
    // element), to the end of the source.
    bool toExpat(State* s, const char* source) {
        if (!s->prologKept.empty() &&
            !feedExpat(s, s->prologKept.data(), s->prologKept.size(), false))
            return finish(s, source, false);
        return stream(s, source, read, buffer.data(), buffer.size(), end);
    }

private:
    Buffer& buffer;
    Reader& read;
    bool& end;
};

// Converts input[at..) while the transcoder can go on, reading more when
// less than a chunk is left, until `converted` holds `wanted` bytes or the
// input or the declaration ends. False after a read error.
template <typename Input>
bool convertMore(State* s, const char* source, Input& in, size_t& at, bool keep, size_t wanted) {
    const size_t chunk = static_cast<size_t>(ZUVSAX2Parser::kChunkSize);
    ZUVSAX2Transcoder& tc = s->transcoder;
    do {
        if (in.size() - at < chunk && !in.ended()) {
            if (!keep) {
                in.drop(at);
                at = 0;
            }
            if (!in.more(s, source)) return false;
        }
        size_t step = in.size() - at < chunk ? in.size() - at : chunk;
        bool last = in.ended() && at + step == in.size();
        at += tc.convert(in.data() + at, step, last, s->converted);
    } while (!tc.waiting() && !(in.ended() && at == in.size()) && s->converted.size() < wanted);
    return true;
}

// Expat reads the rest of the document as our UTF-8, from the document's
// start: `converted` holds what was converted so far, from there.
template <typename Input>
bool expatConverted(State* s, const char* source, Input& in, size_t at) {
    begin(s, "UTF-8");
    s->expatConverting = true;
    // A declaration the tokenizer did not read: Expat judges it, in UTF-16.
    if (s->transcoder.waiting()) s->transcoder.declare(nullptr);
    if (!s->prologKept.empty() && !feedExpat(s, s->prologKept.data(), s->prologKept.size(), false))
        return finish(s, source, false);
    for (;;) {
        bool last = in.ended() && at == in.size();
        if (!feedExpat(s, s->converted.data(), s->converted.size(), last))
            return finish(s, source, false);
        s->converted.clear();
        if (last) return finish(s, source, true);
        if (!convertMore(s, source, in, at, false, expatPiece(s))) return false;
    }
}

// Characters in UTF-8 `bytes`, as positions count them.
int characters(const char* bytes, size_t length) {
    int count = 0;
    for (size_t i = 0; i < length; ++i)
        count += (static_cast<unsigned char>(bytes[i]) & 0xC0) != 0x80;
    return count;
}

// Before the root element of a streamed document: cuts the white space,
// comments and instructions that the tokenizer has read past, once there are
// a chunk of them, from `bytes` (what the tokenizer reads, in UTF-8),
// keeping what Expat would still need before them. Returns how many bytes
// at the front the caller may drop; 0 for none.
size_t cutProlog(State* s, const char* bytes) {
    ZUVSAX2Tokenizer& t = s->tokenizer;
    size_t from = t.prologKept(), to = t.tokenized();
    if (s->instruction || to - from < static_cast<size_t>(ZUVSAX2Parser::kChunkSize)) return 0;
    // Cut before a CR, never between it and its LF: Expat would count two lines.
    if (bytes[to - 1] == '\r') --to;
    bool merged = from == 0 && s->prologCutCount > 0;
    if (!merged && s->prologCutCount == kMaxPrologCuts) return 0;
    ZUVSAX2Position at = inExpat(s, t.positionOf(from));
    ZUVSAX2Position after = t.positionOf(to);
    if (!merged) {
        s->prologKept.append(bytes, from);
        s->prologCuts[s->prologCutCount++].expat = at;
    }
    PrologCut& cut = s->prologCuts[s->prologCutCount - 1];
    // A cut into a comment or instruction: Expat reads its start again in
    // place of what was cut, and only the last cut's end needs it.
    if (merged) {
        cut.expat.column -= characters(
            s->prologKept.data() + s->prologKept.size() - s->prologReopened, s->prologReopened);
        s->prologKept.resize(s->prologKept.size() - s->prologReopened);
    }
    const std::string& reopen = t.reopen();
    s->prologKept += reopen;
    s->prologReopened = reopen.size();
    cut.expat.column += characters(reopen.data(), reopen.size());
    cut.document = after;
    return to;
}

// Expat reads the document on `route` (Expat or ExpatTranscoded), from `at`
// in the input when it is given our UTF-8.
template <typename Input>
bool toExpat(State* s, const char* source, Input& in, size_t at, Route next) {
    return next == Route::ExpatTranscoded ? expatConverted(s, source, in, at)
                                          : in.toExpat(s, source);
}

// Where the parse goes once the tokenizer stopped at `status`: its result, or
// nothing while the tokenizer wants more input. A declaration seen again, or
// one the transcoder cut short, is not one the tokenizer reads: Expat takes
// over (see route()).
template <typename Input>
std::optional<bool> afterTokenizer(State* s, const char* source, Input& in, size_t at,
                                   ZUVSAX2Tokenizer::Status status) {
    switch (status) {
        case ZUVSAX2Tokenizer::Status::Done:
            s->position = s->tokenizer.endPosition();
            s->positionInExpat = false;
            return true;
        case ZUVSAX2Tokenizer::Status::Error:
            return tokenizerError(s, source);
        case ZUVSAX2Tokenizer::Status::NeedMore:
            if (!s->transcoder.waiting()) return std::nullopt;
            break;
        case ZUVSAX2Tokenizer::Status::Declaration:
        case ZUVSAX2Tokenizer::Status::Fallback:
            break;
    }
    return toExpat(s, source, in, at, route(s, source, Moment::Fallback, false));
}

// A document the tokenizer reads as UTF-8 converted as it streams in: from
// its first byte, since no event was sent before its declaration was read.
// With the Expat engine the tokenizer only reads the declaration, for
// route() to choose how Expat reads the document.
template <typename Input>
bool tokenizeConverted(State* s, const char* source, Input& in) {
    ZUVSAX2Transcoder& tc = s->transcoder;
    ZUVSAX2Tokenizer& t = s->tokenizer;
    std::string& out = s->converted;
    detect(s, in.data(), in.size());
    out.clear();
    size_t at = tc.bomLength();
    // A byte order mark counts in positions, as Expat counts it.
    if (at) out.assign("\xEF\xBB\xBF");
    startTokenizer(s, out.size());
    bool keep = true;  // the input from its start, until the root or a cut
    size_t wanted = 0;
    for (;;) {
        if (!convertMore(s, source, in, at, keep, wanted)) return false;
        bool final = in.ended() && at == in.size() && !tc.waiting();
        size_t before = t.tokenized();
        ZUVSAX2Tokenizer::Status status;
        {
            InTokenizer guard(s);
            status = t.feed(out.data(), out.size(), final);
        }
        if (status == ZUVSAX2Tokenizer::Status::Declaration) {
            Route next = route(s, source, Moment::Declaration, false);
            if (next == Route::Refused) return false;
            if (next != Route::Transcoded) return toExpat(s, source, in, at, next);
            t.proceed();
            wanted = 0;
            continue;
        }
        if (std::optional<bool> result = afterTokenizer(s, source, in, at, status)) return *result;
        size_t done = t.discardable();
        // The prolog is cut only when Expat would read our UTF-8, not the input.
        if (!done && !final && expatNeedsUtf8(s)) done = cutProlog(s, out.data());
        // A token longer than what is there: convert as much again before
        // trying once more, so that it is scanned a logarithmic number of times.
        wanted = t.tokenized() == before && done == 0 ? 2 * out.size() : 0;
        if (done) {
            keep = false;
            t.discarded(done);
            out.erase(0, done);
        }
    }
}

// The whole document is in memory; UTF-8 is read in place.
bool tokenizeString(State* s, const char* source, const char* bytes, size_t length) {
    StringInput in(bytes, length);
    detect(s, bytes, length);
    if (route(s, source, Moment::FirstBytes, true) != Route::InPlace)
        return tokenizeConverted(s, source, in);
    startTokenizer(s, s->transcoder.bomLength());
    ZUVSAX2Tokenizer::Status status;
    {
        InTokenizer guard(s);
        status = s->tokenizer.feed(bytes, length, true);
        if (status == ZUVSAX2Tokenizer::Status::Declaration) {
            Route next = route(s, source, Moment::Declaration, true);
            if (next != Route::InPlace)
                return next == Route::Transcoded && tokenizeConverted(s, source, in);
            s->tokenizer.proceed();
            status = s->tokenizer.feed(bytes, length, true);
        }
        if (status == ZUVSAX2Tokenizer::Status::Done) {
            s->position = s->tokenizer.endPosition();
            s->positionInExpat = false;
            return true;
        }
    }
    if (status == ZUVSAX2Tokenizer::Status::Fallback)
        return toExpat(s, source, in, 0, route(s, source, Moment::Fallback, true));
    return tokenizerError(s, source);
}

// Reads a source in chunks into a buffer that keeps only the token the last
// chunk cut, and the prolog until the root element (Expat may need it), less
// the white space, comments and instructions cut from it.
template <typename Reader>
bool tokenizeStream(State* s, const char* source, Reader read) {
    Buffer buffer;
    bool ended = false;
    bool started = false;
    size_t wanted = 0;  // read until the buffer holds this much
    StreamInput<Reader> in(buffer, read, ended);
    for (;;) {
        do {
            if (ended) break;
            if (!in.more(s, source, started)) return false;
        } while (buffer.size() < wanted || (!started && buffer.size() < 4));
        if (!started) {
            detect(s, buffer.data(), buffer.size());
            if (route(s, source, Moment::FirstBytes, true) != Route::InPlace)
                return tokenizeConverted(s, source, in);
            startTokenizer(s, s->transcoder.bomLength());
            started = true;
        }
        ZUVSAX2Tokenizer& t = s->tokenizer;
        ZUVSAX2Tokenizer::Status status;
        size_t before = t.tokenized();
        {
            InTokenizer guard(s);
            status = t.feed(buffer.data(), buffer.size(), ended);
            if (status == ZUVSAX2Tokenizer::Status::Declaration) {
                Route next = route(s, source, Moment::Declaration, true);
                if (next != Route::InPlace)
                    return next == Route::Transcoded && tokenizeConverted(s, source, in);
                t.proceed();
                status = t.feed(buffer.data(), buffer.size(), ended);
            }
        }
        // Read as it is, in UTF-8: the transcoder neither decodes nor waits.
        if (std::optional<bool> result = afterTokenizer(s, source, in, 0, status)) return *result;
        size_t done = t.discardable();
        if (!done && !ended) done = cutProlog(s, buffer.data());
        // A token longer than a chunk: read as much again before trying
        // once more, so that it is scanned a logarithmic number of times.
        wanted = t.tokenized() == before && done == 0 ? 2 * buffer.size() : 0;
        if (done) {
            t.discarded(done);
            buffer.drop(done);
        }
    }
}

bool nested(State* s, const char* source) {
    if (!s->parsing) return false;
    // Resetting Expat from inside one of its callbacks would pull the ground
    // from under the parse in progress.
    if (s->log)
        s->log->error("%s:%d:%d: parse called from a callback of the same parser", source, 0, 0);
    return true;
}

}  // namespace

struct ZUVSAX2Parser::State : ParserState {};

ZUVSAX2Parser::ZUVSAX2Parser(void* userData, ZUVLog* log, StartElementHandler start,
                             EndElementHandler end, CharacterDataHandler characters,
                             ProcessingInstructionHandler instruction)
    : state(new State) {
    state->userData = userData;
    state->log = log;
    state->start = start;
    state->end = end;
    state->characters = characters;
    state->instruction = instruction;
    {
        CountExpat counting(&state->expatBytes);
        state->expat = XML_ParserCreate_MM(nullptr, &kExpatMemory, nullptr);
    }
    if (!state->expat) {
        delete state;
        throw std::bad_alloc();
    }
}

ZUVSAX2Parser::~ZUVSAX2Parser() {
    XML_ParserFree(state->expat);
    delete state;
}

bool ZUVSAX2Parser::parseFile(const ZUVFile& file) {
    const char* source = file.getName().getText();
    if (nested(state, source)) return false;
    Busy busy(state);
    beginVerdict(state, source);
    begin(state);
    ZUVFile input;
    input = file.getName();
    if (!input.open(ZUVFile::Read)) {
        char text[128];
        report(state, source, ZUVSAX2Position(), "cannot open: %s",
               describeErrno(input.getErrorNumber(), text, sizeof text));
        return false;
    }
    return endVerdict(
        state, tokenizeStream(state, source, [&input](void* buffer, size_t size, int& error) {
            long length = input.read(buffer, size);
            if (length < 0) error = input.getErrorNumber();
            return length;
        }));
}

bool ZUVSAX2Parser::parseStdIn() {
    const char* source = "standard input";
    if (nested(state, source)) return false;
    Busy busy(state);
    beginVerdict(state, source);
    begin(state);
    return endVerdict(state,
                      tokenizeStream(state, source, [](void* buffer, size_t size, int& error) {
                          for (;;) {
                              ssize_t length = ::read(STDIN_FILENO, buffer, size);
                              if (length >= 0) return static_cast<long>(length);
                              if (errno != EINTR) {
                                  error = errno;
                                  return -1L;
                              }
                          }
                      }));
}

bool ZUVSAX2Parser::parseString(const ZUVString& text) {
    const char* source = "string";
    if (nested(state, source)) return false;
    Busy busy(state);
    beginVerdict(state, source);
    begin(state);
    const char* bytes = text.getText();
    size_t length = static_cast<size_t>(text.getLength());
    return endVerdict(state, tokenizeString(state, source, bytes, length));
}

ZUVSAX2Position ZUVSAX2Parser::getPosition() const {
    // Inside a callback, where Expat is now; otherwise what the last parse left.
    if (state->parsing && state->inTokenizer) return state->tokenizer.eventPosition();
    if (state->parsing || state->positionInExpat) return currentPosition(state->expat);
    return state->position;
}

namespace {

// Where Expat reads, or outside a parse: the position is known now.
[[gnu::noinline]] void writePosition(const ZUVSAX2Parser* parser, int* line, int* column) {
    ZUVSAX2Position at = parser->getPosition();
    *line = at.line;
    *column = at.column;
}

}  // namespace

void ZUVSAX2Parser::getPositionLater(int* line, int* column) {
    State* s = state;
    if (__builtin_expect(s->parsing && s->inTokenizer, 1))
        s->tokenizer.deferPosition(line, column);
    else
        writePosition(this, line, column);
}

const ZUVSAX2Error& ZUVSAX2Parser::getError() const {
    return state->error;
}

void ZUVSAX2Parser::setMaxDepth(int depth) {
    state->maxDepth = depth >= 1 && depth <= kMaxDepth ? depth : kMaxDepth;
}

void ZUVSAX2Parser::setMaxTextLength(long bytes) {
    state->maxTextLength = bytes >= 1 && bytes <= kMaxTextLength ? bytes : kMaxTextLength;
}

void ZUVSAX2Parser::setEngine(Engine engine) {
    state->engine = engine;
}

void ZUVSAX2Parser::setUserData(void* userData) {
    // The lexers took their copy when the parse began.
    if (!state->parsing) state->userData = userData;
}

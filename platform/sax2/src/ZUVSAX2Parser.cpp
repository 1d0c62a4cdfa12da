// ZUVSAX2Parser: a thin layer over Expat.
//
// Expat does the lexical work; this file adds the pieces the family needs:
// streaming from files and standard input, one-line error reports with a
// source name, nesting and text-length limits, exceptions carried across
// Expat's C frames, and single-byte encodings through iconv tables.
#include "ZUVSAX2Parser.h"

#include <expat.h>
#include <iconv.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <exception>
#include <new>

#include "ZUVFile.h"
#include "ZUVLog.h"
#include "ZUVString.h"

static_assert(XML_MAJOR_VERSION > 2 || (XML_MAJOR_VERSION == 2 && XML_MINOR_VERSION >= 4),
              "Expat 2.4 or later is needed for its amplification (billion laughs) protection");

namespace {

// Why our own code stopped Expat (as opposed to Expat finding an error).
enum class Stop { None, Depth, Text, Attribute, Name, Exception };

// Most bytes handed to one XML_Parse call, whose length is an int.
constexpr size_t kMaxFeed = 1u << 30;

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

    // Position of the last event or error, once the last parse returned.
    // After a parse that succeeded it is read from Expat when asked:
    // Expat counts lines by rescanning, which would cost a pass over the
    // whole document on every parse.
    ZUVSAX2Position position;
    bool positionInExpat = false;
};

using State = ParserState;

int clampToInt(XML_Size value) {
    return value > static_cast<XML_Size>(INT_MAX) ? INT_MAX : static_cast<int>(value);
}

ZUVSAX2Position currentPosition(XML_Parser expat) {
    ZUVSAX2Position position;
    position.line = clampToInt(XML_GetCurrentLineNumber(expat));
    position.column = clampToInt(XML_GetCurrentColumnNumber(expat) + 1);
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
// for any other declared encoding. We accept single-byte encodings that
// iconv knows and that keep ASCII in place (windows-125x, ISO-8859-x, KOI8-x
// ...): their table maps each byte to its code point, or -1 when the byte
// means nothing in the encoding.
int XMLCALL onUnknownEncoding(void* data, const XML_Char* name, XML_Encoding* info) noexcept {
    State* s = static_cast<State*>(data);
    std::snprintf(s->encodingName, sizeof s->encodingName, "%s", name);
    s->encodingProblem = "iconv does not know it";
    iconv_t converter = iconv_open("UTF-32LE", name);
    if (converter == reinterpret_cast<iconv_t>(-1)) return XML_STATUS_ERROR;

    for (int byte = 0; byte < 256; ++byte) {
        char in = static_cast<char>(byte);
        unsigned char out[32];
        char* inPointer = &in;
        char* outPointer = reinterpret_cast<char*>(out);
        size_t inLeft = 1;
        size_t outLeft = sizeof out;
        iconv(converter, nullptr, nullptr, nullptr, nullptr);
        size_t result = iconv(converter, &inPointer, &inLeft, &outPointer, &outLeft);
        if (result == static_cast<size_t>(-1)) {
            if (errno == EILSEQ) {
                info->map[byte] = -1;
                continue;
            }
            // EINVAL: the byte starts a longer sequence; E2BIG: it cannot be
            // one character.
            s->encodingProblem = "only single-byte encodings are supported";
            iconv_close(converter);
            return XML_STATUS_ERROR;
        }
        // Some converters (windows-1255, TCVN) hold a character back to
        // combine it with the next one: flush it out.
        iconv(converter, nullptr, nullptr, &outPointer, &outLeft);
        size_t produced = sizeof out - outLeft;
        if (produced == 0) {  // a shift byte of a stateful encoding
            s->encodingProblem = "only single-byte encodings are supported";
            iconv_close(converter);
            return XML_STATUS_ERROR;
        }
        if (produced != 4) {  // one byte, several characters: not in Expat's model
            info->map[byte] = -1;
            continue;
        }
        unsigned long code = out[0] | (out[1] << 8) | (static_cast<unsigned long>(out[2]) << 16) |
                             (static_cast<unsigned long>(out[3]) << 24);
        info->map[byte] = code > 0xFFFF ? -1 : static_cast<int>(code);
    }
    iconv_close(converter);

    // Markup characters must be where ASCII has them (Expat checks this too,
    // but without saying why).
    for (int byte = 0; byte < 128; ++byte) {
        bool markup = byte == '\t' || byte == '\n' || byte == '\r' || (byte >= 0x20 && byte < 0x7f);
        if (markup && info->map[byte] != byte) {
            s->encodingProblem = "it is not ASCII-compatible";
            return XML_STATUS_ERROR;
        }
    }
    info->data = nullptr;
    info->convert = nullptr;
    info->release = nullptr;
    s->encodingProblem = "Expat refused its table";
    return XML_STATUS_OK;
}

void report(State* s, const char* source, ZUVSAX2Position position, const char* format, ...)
    __attribute__((format(printf, 4, 5)));

void report(State* s, const char* source, ZUVSAX2Position position, const char* format, ...) {
    s->position = position;
    s->positionInExpat = false;
    if (!s->log) return;
    char message[512];
    va_list args;
    va_start(args, format);
    std::vsnprintf(message, sizeof message, format, args);
    va_end(args);
    s->log->error("%s:%d:%d: %s", source, position.line, position.column, message);
}

const char* describeErrno(int error, char* buffer, size_t size) {
    // The GNU strerror_r returns the text, in `buffer` or static.
    return strerror_r(error, buffer, size);
}

// Marks the parser busy for the length of a parse call, even when a
// callback's exception leaves it.
class Busy {
public:
    explicit Busy(State* s) : s(s) { s->parsing = true; }
    ~Busy() { s->parsing = false; }
    Busy(const Busy&) = delete;
    Busy& operator=(const Busy&) = delete;

private:
    State* s;
};

// Puts Expat back at the start of a document with our settings.
void begin(State* s) {
    if (!XML_ParserReset(s->expat, nullptr)) throw std::bad_alloc();
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
            report(s, source, s->stopPosition, "elements nested deeper than %d levels",
                   s->maxDepth);
            return false;
        case Stop::Text:
            report(s, source, s->stopPosition, "text longer than %ld bytes between two tags",
                   s->maxTextLength);
            return false;
        case Stop::Attribute:
            report(s, source, s->stopPosition, "attribute value longer than %ld bytes",
                   s->maxTextLength);
            return false;
        case Stop::Name:
            report(s, source, s->stopPosition,
                   "name holds a character that XML does not allow in names "
                   "(U+00AA, U+00B5 or U+00BA)");
            return false;
        case Stop::None:
            break;
    }
    XML_Error code = XML_GetErrorCode(s->expat);
    ZUVSAX2Position position = currentPosition(s->expat);
    if (code == XML_ERROR_UNKNOWN_ENCODING && s->encodingProblem) {
        report(s, source, position, "unsupported encoding \"%s\": %s", s->encodingName,
               s->encodingProblem);
    } else {
        report(s, source, position, "%s", XML_ErrorString(code));
    }
    return false;
}

// Reads a source to its end through Expat's own buffer, kChunkSize bytes at
// a time. `read` returns bytes read, 0 at the end, or -1 with `error` set.
template <typename Reader>
bool stream(State* s, const char* source, Reader read) {
    for (;;) {
        void* buffer = XML_GetBuffer(s->expat, ZUVSAX2Parser::kChunkSize);
        if (!buffer) return finish(s, source, false);
        int error = 0;
        long length = read(buffer, static_cast<size_t>(ZUVSAX2Parser::kChunkSize), error);
        if (length < 0) {
            char text[128];
            report(s, source, currentPosition(s->expat), "cannot read: %s",
                   describeErrno(error, text, sizeof text));
            return false;
        }
        bool last = length == 0;
        if (XML_ParseBuffer(s->expat, static_cast<int>(length), last) != XML_STATUS_OK)
            return finish(s, source, false);
        if (last) return finish(s, source, true);
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
    state->expat = XML_ParserCreate(nullptr);
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
    begin(state);
    ZUVFile input;
    input = file.getName();
    if (!input.open(ZUVFile::Read)) {
        char text[128];
        report(state, source, currentPosition(state->expat), "cannot open: %s",
               describeErrno(input.getErrorNumber(), text, sizeof text));
        return false;
    }
    return stream(state, source, [&input](void* buffer, size_t size, int& error) {
        long length = input.read(buffer, size);
        if (length < 0) error = input.getErrorNumber();
        return length;
    });
}

bool ZUVSAX2Parser::parseStdIn() {
    const char* source = "standard input";
    if (nested(state, source)) return false;
    Busy busy(state);
    begin(state);
    return stream(state, source, [](void* buffer, size_t size, int& error) {
        for (;;) {
            ssize_t length = ::read(STDIN_FILENO, buffer, size);
            if (length >= 0) return static_cast<long>(length);
            if (errno != EINTR) {
                error = errno;
                return -1L;
            }
        }
    });
}

bool ZUVSAX2Parser::parseString(const ZUVString& text) {
    const char* source = "string";
    if (nested(state, source)) return false;
    Busy busy(state);
    begin(state);
    const char* bytes = text.getText();
    size_t left = static_cast<size_t>(text.getLength());
    // One call in the usual case; Expat takes an int length, so anything
    // longer goes in pieces.
    do {
        size_t piece = left < kMaxFeed ? left : kMaxFeed;
        left -= piece;
        if (XML_Parse(state->expat, bytes, static_cast<int>(piece), left == 0) != XML_STATUS_OK)
            return finish(state, source, false);
        bytes += piece;
    } while (left > 0);
    return finish(state, source, true);
}

ZUVSAX2Position ZUVSAX2Parser::getPosition() const {
    // Inside a callback, where Expat is now; otherwise what the last parse left.
    if (state->parsing || state->positionInExpat) return currentPosition(state->expat);
    return state->position;
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

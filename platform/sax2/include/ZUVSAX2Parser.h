// ZUVSAX2Parser: an event-driven XML parser.
#ifndef ZUVSAX2PARSER_H
#define ZUVSAX2PARSER_H

#include "ZUVSAX2Export.h"

class ZUVFile;
class ZUVLog;
class ZUVString;

// Where the parser is: 1-based line and column (in bytes) of the last event,
// or of the error that stopped it.
struct ZUVSAX2Position {
    int line = 0;
    int column = 0;
};

// Reads one XML 1.0 document and reports its elements, text and processing
// instructions to plain functions, on the caller's thread, in document order,
// before the parse call returns. Names arrive as written, prefixes included
// (no namespace processing). Text arrives as UTF-8 whatever the document's
// encoding, possibly split over several calls.
//
// Errors (malformed or truncated input, an unreadable source, an encoding we
// cannot read, a limit passed) stop the parse and are written to the log as
// one line: "error: SOURCE:LINE:COLUMN: what", where SOURCE is the file name,
// "standard input" or "string". No event follows an error. Nothing throws
// for bad input; an exception thrown by a callback stops the parse and
// leaves the parse call unchanged.
//
// Hostile input: no external entity or external DTD is ever loaded (no file
// or network access from a document); internal entities are expanded, with
// the protection against amplification ("billion laughs") on.
//
// One parser, one thread at a time; separate parsers share nothing.
class ZUVSAX2_API ZUVSAX2Parser {
public:
    // Start tag: name, then a null-terminated array of attribute name/value
    // pairs in document order; never null (no attributes: first entry null).
    typedef void (*StartElementHandler)(void* userData, const char* name, const char** attributes);
    // End tag of the innermost open element.
    typedef void (*EndElementHandler)(void* userData, const char* name);
    // A run of text, `length` bytes, not NUL-terminated.
    typedef void (*CharacterDataHandler)(void* userData, const char* text, int length);
    // Processing instruction: target, then data (empty when none).
    typedef void (*ProcessingInstructionHandler)(void* userData, const char* target,
                                                 const char* data);

    // Deepest element nesting accepted. Deeper documents are refused: the
    // trees built from them are freed and written by recursion, and at this
    // depth that recursion stays far from the end of a default 8 MB stack,
    // sanitizers included.
    static constexpr int kMaxDepth = 10000;
    // Longest run of text between two tags, or attribute value, in bytes:
    // the most that an int length can count, so callers never see one wrap.
    static constexpr long kMaxTextLength = 0x7ffffffe;
    // Bytes read from a file or standard input at a time. Memory stays this
    // plus the parser's own state, whatever the document's size.
    static constexpr int kChunkSize = 64 * 1024;

    // Keeps `userData` and the handlers; any handler may be null, and a null
    // handler is never called. `log` receives errors; it stays the caller's
    // and may be null (errors are then not written anywhere).
    ZUVSAX2Parser(void* userData, ZUVLog* log, StartElementHandler start, EndElementHandler end,
                  CharacterDataHandler characters, ProcessingInstructionHandler instruction);
    virtual ~ZUVSAX2Parser();
    ZUVSAX2Parser(const ZUVSAX2Parser&) = delete;
    ZUVSAX2Parser& operator=(const ZUVSAX2Parser&) = delete;

    // Parses the file named by `file` (only its name is used), reading it in
    // chunks. Returns true when the whole document was well-formed.
    bool parseFile(const ZUVFile& file);
    // Parses standard input to its end, in chunks. Returns true when
    // well-formed.
    bool parseStdIn();
    // Parses every byte of `text` (a NUL byte is an error, not the end).
    // Returns true when well-formed.
    bool parseString(const ZUVString& text);

    // Line and column of the last event, or of the error that stopped the
    // last parse; both 0 before any parse.
    ZUVSAX2Position getPosition() const;

    // Lowers (or restores) the nesting limit; values outside 1..kMaxDepth
    // mean kMaxDepth.
    void setMaxDepth(int depth);
    // Lowers (or restores) the limit on a text run or attribute value; values
    // outside 1..kMaxTextLength mean kMaxTextLength.
    void setMaxTextLength(long bytes);

private:
    struct State;
    State* state;
};

#endif

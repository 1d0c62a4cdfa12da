// ZUVSAX2Parser: an event-driven XML parser.
#ifndef ZUVSAX2PARSER_H
#define ZUVSAX2PARSER_H

#include "ZUVSAX2Export.h"
#include "ZUVString.h"

class ZUVFile;
class ZUVLog;

// Where the parser is: 1-based line and column of the last event, or of the
// error that stopped it. Columns count characters of the document as read
// (a multi-byte UTF-8 character is one column), as Expat counts them.
struct ZUVSAX2Position {
    // 1-based line; 0 before the first event.
    int line = 0;
    // 1-based column, in characters; 0 before the first event.
    int column = 0;
};

// Why the last parse failed, as values: the same facts as its log line.
struct ZUVSAX2Error {
    // What went wrong, as in the log ("mismatched tag"); empty when the last
    // parse succeeded or there was none.
    ZUVString message;
    // The file name, "standard input" or "string"; empty when no parse failed.
    ZUVString source;
    //@{
    // 1-based line and column of the fault; both 0 when it has no place in
    // the document (a file that cannot be opened or read from the start).
    int line = 0;
    int column = 0;
    //@}
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
// Encodings read: UTF-8, UTF-16, ISO-8859-1 and US-ASCII, and any encoding
// that iconv knows and that keeps the characters of markup where ASCII has
// them, single-byte (windows-1252, KOI8-R...) or multi-byte (EUC-JP,
// Shift_JIS, GB18030, Big5...). Any other declared encoding is refused with
// an error that names it.
//
// Hostile input: no external entity or external DTD is ever loaded (no file
// or network access from a document); internal entities are expanded, with
// the protection against amplification ("billion laughs") on. A reference
// to an external entity, or to an entity that only the unread external DTD
// could declare, is skipped: no event stands for it.
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
    // Longest run of text between two tags, or attribute value, in bytes of
    // UTF-8 as delivered: the most that an int length can count, so callers
    // never see one wrap. The run is counted over all the character calls
    // since the last start or end tag (comments and processing instructions
    // do not end it). A longer one stops the parse with an error; it is never
    // cut.
    static constexpr long kMaxTextLength = 0x7ffffffe;
    // Bytes read from a file or standard input at a time. Memory stays this
    // plus the parser's own state, whatever the document's size.
    static constexpr int kChunkSize = 64 * 1024;

    // Which lexer reads the documents.
    enum class Engine {
        // Our own tokenizer, on UTF-8 converted as it streams in for other
        // encodings. A prolog it does not read as Expat does (an internal DTD
        // subset that declares entities or notations or refers to parameter
        // entities, a malformed declaration) sends the document to Expat,
        // decided before any event is sent; a subset of element and
        // attribute-list declarations, comments and instructions stays on the
        // tokenizer. The default.
        Automatic,
        // Expat for every document: slower, and the reference the tokenizer
        // is tested against. Events, verdicts and error lines are the same.
        Expat
    };

    // Keeps `userData` and the handlers; any handler may be null, and a null
    // handler is never called. `log` receives errors; it stays the caller's
    // and may be null (errors are then not written anywhere).
    ZUVSAX2Parser(void* userData, ZUVLog* log, StartElementHandler start, EndElementHandler end,
                  CharacterDataHandler characters, ProcessingInstructionHandler instruction);
    virtual ~ZUVSAX2Parser();
    ZUVSAX2Parser(const ZUVSAX2Parser&) = delete;
    ZUVSAX2Parser& operator=(const ZUVSAX2Parser&) = delete;

    // Each parse starts from a clean state, whatever the previous one did. A
    // parse called from inside one of this parser's own callbacks is refused
    // (logged, returns false) and leaves the running parse alone.

    // Parses the file named by `file` (only its name is used), reading it in
    // chunks. Returns true when the whole document was well-formed; false,
    // after logging why, when it was not or when the file cannot be read (a
    // missing file, a directory, no permission).
    bool parseFile(const ZUVFile& file);
    // Parses standard input (file descriptor 0) to its end, in chunks.
    // Returns true when well-formed.
    bool parseStdIn();
    // Parses every byte of `text` (a NUL byte is an error, not the end).
    // Returns true when well-formed.
    bool parseString(const ZUVString& text);

    // Inside a callback: where the current event starts. After a parse:
    // where the error that stopped it is, or where a callback threw; after an
    // accepted document, just past the last thing read. Both 0 before any
    // parse.
    ZUVSAX2Position getPosition() const;
    // Inside a callback: the line and column getPosition() would give, written
    // to *line and *column now or, while the parser's own lexer reads, once
    // it has counted them: at the latest before the parse call returns or
    // passes an exception on. Both must stay writable until then; the parser
    // owns neither.
    void getPositionLater(int* line, int* column);
    // Why the last parse failed; an empty message when it succeeded or none
    // ran yet. A parse left by an exception (from a callback or out of
    // memory) counts as failed, with the message "parse did not finish".
    // The error is the parser's, replaced by the next parse.
    const ZUVSAX2Error& getError() const;

    // Lowers (or restores) the nesting limit; values outside 1..kMaxDepth
    // mean kMaxDepth.
    void setMaxDepth(int depth);
    // Lowers (or restores) the limit on a text run or attribute value; values
    // outside 1..kMaxTextLength mean kMaxTextLength.
    void setMaxTextLength(long bytes);
    // Chooses the lexer for the following parses.
    void setEngine(Engine engine);
    // Replaces the pointer handed to the handlers, for the following parses
    // (ignored while a parse runs); it stays the caller's.
    void setUserData(void* userData);

private:
    struct State;
    State* state;
};

#endif

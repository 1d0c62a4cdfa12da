// ZUVDOM: reads an XML document into a tree of ZUVDOMElement.
#ifndef ZUVDOM_H
#define ZUVDOM_H

#include "ZUVDOMElement.h"
#include "ZUVDOMExport.h"
#include "ZUVDOMVersion.h"
#include "ZUVFile.h"
#include "ZUVLog.h"
#include "ZUVOrderedVector.h"
#include "ZUVSAX2Parser.h"
#include "ZUVString.h"

// Builds element trees from documents. It owns an event parser and keeps a
// stack of the elements still open; each start tag creates an element and
// appends it to the one on top, each end tag gives the closing element the
// text that came after its last child (white space included, nothing
// trimmed; text before or between children is dropped) and pops it.
//
// The tree belongs to the caller from the moment a parse returns: it
// outlives the ZUVDOM and is freed by deleting its root. Whether the last
// parse succeeded is hasError(), and why not getError(), as values; the log,
// when there is one, gets the same as one line ("error: SOURCE:LINE:COLUMN:
// what"). A parse that stopped early still returns what was built, which is
// the caller's like any tree: deleting that root frees all of it.
//
// One thread at a time; separate ZUVDOMs (each with its own log) may parse
// on separate threads.
class ZUVDOM_API ZUVDOM {
public:
    // A builder whose parser reports errors to `log`, which stays the
    // caller's and must outlive this object (null: errors are only kept as
    // values, see getError()).
    explicit ZUVDOM(ZUVLog* log = nullptr);
    // Frees the parser; never the tree.
    ~ZUVDOM();
    ZUVDOM(const ZUVDOM&) = delete;
    ZUVDOM& operator=(const ZUVDOM&) = delete;

    // Each parse first empties the stack of open elements and sets the root
    // to null (freeing nothing), so nothing an earlier parse built, which the
    // caller may since have freed, is touched or returned again. A parse
    // returns the root of its document, whole or as far as it was built
    // when the parse stopped, or null when no element started (an empty,
    // missing or unreadable input). What it returns is the caller's either
    // way. An exception from the parser or from allocation passes out
    // unchanged, the elements built so far staying linked below getRoot().

    // Parses the file named by `file`, reading it in chunks.
    ZUVDOMElement* parseFile(const ZUVFile& file);
    // Parses the file at `path`, reading it in chunks.
    ZUVDOMElement* parseFile(const ZUVString& path);
    // Parses standard input to its end, reading it in chunks.
    ZUVDOMElement* parseStdIn();
    // Parses every byte of `text`.
    ZUVDOMElement* parseString(const ZUVString& text);

    // Line and column (1-based) of the parser's last event, or of the error
    // that stopped the last parse.
    ZUVSAX2Position getPosition() const;

    // True when the last parse failed (the document was refused, or the
    // input could not be read); false after a document was accepted and
    // before any parse.
    bool hasError() const { return !getError().message.isEmpty(); }
    // Why the last parse failed: message ("mismatched tag"), source (the
    // file name, "standard input" or "string"), line and column (both 0 when
    // the fault has no place in the text, as for a missing file). An empty
    // message when it succeeded. Owned by this object, replaced by the next
    // parse.
    const ZUVSAX2Error& getError() const;

    // Settings for the following parses (see ZUVSAX2Parser).
    // Deepest nesting accepted; values outside 1..ZUVSAX2Parser::kMaxDepth
    // mean that maximum.
    void setMaxDepth(int depth);
    // Longest text run or attribute value accepted, in bytes; values outside
    // 1..ZUVSAX2Parser::kMaxTextLength mean that maximum.
    void setMaxTextLength(long bytes);
    // Which lexer reads documents: Automatic (the default) or Expat.
    void setEngine(ZUVSAX2Parser::Engine engine);

    // The last element that started while no element was open, or null.
    // Not owned by the ZUVDOM.
    ZUVDOMElement* getRoot() const { return root; }
    // Replaces the root pointer; frees nothing.
    void setRoot(ZUVDOMElement* element) { root = element; }

    // The stack of open elements holds, once a parse has returned, those it
    // left open (none after a whole document), outermost first.

    // Pushes `element` on the stack of open elements.
    void pushObject(ZUVDOMElement* element) { objectStack.addElement(element, false); }
    // Pops the innermost open element; nothing when the stack is empty.
    void popObject() { objectStack.removeElement(objectStack.size() - 1); }
    // The open element `offset` levels out from the innermost (0 the
    // innermost, -1 the one enclosing it, ...); null beyond either end.
    ZUVDOMElement* getObject(int offset) const {
        int at = objectStack.size() - 1 + offset;
        return at < 0 ? nullptr : static_cast<ZUVDOMElement*>(objectStack.elementAt(at));
    }

    // Unused, and empty: the builder gathers the text received since the
    // last start or end tag in a state of each parse. Kept for the layout.
    ZUVString characterData;

private:
    friend struct ZUVDOMBuilder;  // asks the parser for positions

    void startParse();
    void endParse();

    ZUVOrderedVector objectStack;
    ZUVSAX2Parser* parser;
    ZUVDOMElement* root;
};

#endif

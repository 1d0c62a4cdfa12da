// ZUVDOM: reads an XML document into a tree of ZUVDOMElement.
#ifndef ZUVDOM_H
#define ZUVDOM_H

#include "ZUVDOMElement.h"
#include "ZUVDOMExport.h"
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
// outlives the ZUVDOM and is freed by deleting its root. Errors in the
// document are written to the log by the parser (one line, with source,
// line and column); a parse that stopped early still returns what was built,
// and deleting that root frees all of it.
//
// One thread at a time; separate ZUVDOMs (each with its own log) may parse
// on separate threads.
class ZUVDOM_API ZUVDOM {
public:
    // A builder whose parser reports errors to `log`, which stays the
    // caller's and must outlive this object (null: errors go nowhere).
    explicit ZUVDOM(ZUVLog* log);
    // Frees the parser; never the tree.
    ~ZUVDOM();
    ZUVDOM(const ZUVDOM&) = delete;
    ZUVDOM& operator=(const ZUVDOM&) = delete;

    // Each parse first empties the stack of open elements (freeing nothing),
    // so elements left open by an earlier parse that stopped early, which
    // the caller may since have freed, are never touched again. The root is
    // kept: a parse returns the root of its document, the previous root when
    // it started no element (for instance on an empty or unreadable input),
    // or null when no element has started since this object was made. An
    // exception from the parser or from allocation passes out unchanged, the
    // elements built so far staying linked below getRoot().

    // Parses the file named by `file`, reading it in chunks.
    ZUVDOMElement* parseFile(const ZUVFile& file);
    // Parses standard input to its end, reading it in chunks.
    ZUVDOMElement* parseStdIn();
    // Parses every byte of `text`.
    ZUVDOMElement* parseString(const ZUVString& text);

    // Line and column (1-based) of the parser's last event, or of the error
    // that stopped the last parse.
    ZUVSAX2Position getPosition() const;

    // The last element that started while no element was open, or null.
    // Not owned by the ZUVDOM.
    ZUVDOMElement* getRoot() const { return root; }
    // Replaces the root pointer; frees nothing.
    void setRoot(ZUVDOMElement* element) { root = element; }

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

    // Text received since the last start or end tag.
    ZUVString characterData;

private:
    void startParse();
    void endParse();

    ZUVOrderedVector objectStack;
    ZUVSAX2Parser* parser;
    ZUVDOMElement* root;
};

#endif

// ZUVDOMPrinter: writes a tree as an XML document anywhere, and says whether
// it worked.
#ifndef ZUVDOMPRINTER_H
#define ZUVDOMPRINTER_H

#include <cstdio>
#include <string>

#include "ZUVDOMElement.h"
#include "ZUVDOMExport.h"
#include "ZUVString.h"

// The bytes ZUVDOMWriter writes to its file, sent to a string, a FILE*, a
// file descriptor or a file by name; for a whole tree or any subtree (the
// element given is written as the document's root). Options: the unit of
// indentation (three spaces by default; "" writes the document on one line,
// with no line breaks at all) and whether the XML declaration comes first
// (by default it does, followed by a line feed unless the indentation is
// "").
//
// Every write returns true when all of it reached its destination, and false
// otherwise, with the reason (the system's text, as strerror gives it) in
// getError(). Nothing throws of its own. Allocation failures while walking
// pass out unchanged; a string output that outgrows memory or its largest
// length is a failed write (ENOMEM, EFBIG). The printer only reads the tree,
// and any depth that can be built can be written. One printer may write
// many documents; one thread at a time per printer.
//
//     ZUVDOMPrinter printer;
//     printer.setIndent("");
//     std::string text = printer.toStdString(root);
//     if (!printer.writeFile(root, "out.xml")) report(printer.getError());
class ZUVDOM_API ZUVDOMPrinter {
public:
    // Three spaces of indentation, with the declaration.
    ZUVDOMPrinter();
    ~ZUVDOMPrinter();
    ZUVDOMPrinter(const ZUVDOMPrinter&) = delete;
    ZUVDOMPrinter& operator=(const ZUVDOMPrinter&) = delete;

    // The unit of indentation, once per enclosing element (only its spaces
    // and tabs are used); "" for a compact document on one line.
    void setIndent(const ZUVString& unit);
    // The unit of indentation; three spaces unless set.
    const ZUVString& getIndent() const { return indent; }
    // Whether <?xml version="1.0" encoding="UTF-8"?> comes first.
    void setDeclaration(bool write);
    // True (the default) when the declaration is written.
    bool getDeclaration() const { return declaration; }

    // The document as a std::string; "" when `element` is null or the text
    // cannot be held (see getError()).
    std::string toStdString(ZUVDOMElement* element);
    // Replaces `text` by the document. False, leaving `text` as it was, when
    // `element` is null or the text cannot be held.
    bool writeString(ZUVDOMElement* element, ZUVString& text);
    // Writes the document to the file `fileName`, replacing it only once all
    // of it was written (see ZUVDOMWriter): a failed save leaves the old file
    // as it was. False when the file cannot be opened or written.
    bool writeFile(ZUVDOMElement* element, const ZUVString& fileName);
    // Writes the document to `stream` after what it already holds (text the
    // stream had buffered goes first); the stream stays open and the caller's.
    // False for a null stream or element, or when a write fails.
    bool writeStream(ZUVDOMElement* element, std::FILE* stream);
    // Writes the document to the open `descriptor` at its current position
    // (never truncating: on a descriptor opened for appending, such as
    // `prog >> out.log`, it goes to the end). The descriptor stays open and
    // the caller's. False for a negative descriptor or a null element, or
    // when a write fails.
    bool writeDescriptor(ZUVDOMElement* element, int descriptor);

    // Why the last write failed: the system's reason, with the file name for
    // writeFile(); "" when it succeeded. The string belongs to the printer
    // and changes with the next write.
    const ZUVString& getError() const { return error; }
    // The errno of the last write's failure, or 0 when it succeeded.
    int getErrorNumber() const { return errorNumber; }

private:
    // Writes the document to a sink of ZUVFile's.
    bool writeToSink(ZUVDOMElement* element, int (*sink)(void*, const char*, size_t),
                     void* context);
    // True, with no error, when `number` is 0; else fail(number).
    bool succeeded(int number);
    // False, with the error `number` (EIO for 0) and its reason.
    bool fail(int number, const ZUVString* fileName = nullptr);

    ZUVString indent;
    ZUVString error;
    int errorNumber;
    bool declaration;
};

#endif

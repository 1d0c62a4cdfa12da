// ZUVXMLWriter: formats XML into a ZUVFile.
#ifndef ZUVXMLWRITER_H
#define ZUVXMLWRITER_H

#include "ZUVFile.h"
#include "ZUVString.h"
#include "ZUVXMLWriterExport.h"

class ZUVSimpleStringHashtable;

// The base of XML writers. A subclass names and opens `outputFile`, then calls
// the print operations; each writes after what is already in the file.
//
// Layout: every start tag but the first at the top level begins a new line,
// indented by `indentString` once per enclosing element, up to
// kMaxIndentLevels of them; an empty `indentString` writes no line breaks,
// for a document on one line. Nothing else adds
// white space: in particular nothing stands between an element's last child
// and its end tag, where its text goes verbatim, so reading the file back
// gives each element exactly the text that was printed for it.
//
// Escaping: in text, "&", "<" and ">" become entity references (so "]]>"
// never appears raw) and a carriage return becomes "&#13;"; in attribute
// values, "&", "<" and the quote become references, and tab, line feed and
// carriage return become "&#9;", "&#10;" and "&#13;" so that a reader's
// normalisation of attribute values does not change them.
//
// Text XML 1.0 cannot carry: bytes that are not well-formed UTF-8 and
// characters that XML 1.0 forbids (control characters other than tab, line
// feed and carriage return, UTF-16 surrogates, U+FFFE and U+FFFF) are each
// written as U+FFFD, the replacement character, so the file always parses.
// getReplacementCount() tells how many were replaced. Names that are not XML
// names have each offending character written as "_" ("_" for an empty
// name), and are counted the same way.
//
// Misuse never produces a broken file: an attribute with no start tag open,
// or whose name the open tag already has, is dropped; content or a new start
// tag closes an open start tag first; an end with no open element is
// ignored; text with no element open, and a second top-level element with
// all it holds, are dropped. Writes go through the file's buffer; a failed
// write is remembered by `outputFile` (see ZUVFile), and printing to a file
// that is not open changes nothing but that.
class ZUVXMLWRITER_API ZUVXMLWriter {
public:
    // Most levels of indentation a line gets: deeper elements are indented as
    // at this depth, so that a file stays within a constant factor of what it
    // holds however deep the tree (indenting every level would make it grow
    // with the square of the depth).
    static constexpr int kMaxIndentLevels = 64;

    // Nothing open; indentation of two spaces.
    ZUVXMLWriter();
    // Closes `outputFile` if it is still open.
    virtual ~ZUVXMLWriter();
    ZUVXMLWriter(const ZUVXMLWriter&) = delete;
    ZUVXMLWriter& operator=(const ZUVXMLWriter&) = delete;

    // `<name/>`
    virtual void printXmlElement(const ZUVString& name);
    // `<name>value</name>`
    virtual void printXmlElement(const ZUVString& name, const ZUVString& value);
    // `<name>value</name>`, the value in decimal.
    virtual void printXmlElement(const ZUVString& name, long value);
    // `<name attribute="attributeValue">value</name>`
    virtual void printXmlElement(const ZUVString& name, const ZUVString& value,
                                 const ZUVString& attribute, const ZUVString& attributeValue);
    // `<name attribute="attributeValue">value</name>`, both numbers in decimal.
    virtual void printXmlElement(const ZUVString& name, long value, const ZUVString& attribute,
                                 long attributeValue);
    // `<name attribute="attributeValue">value</name>`, the value in decimal.
    virtual void printXmlElement(const ZUVString& name, long value, const ZUVString& attribute,
                                 const ZUVString& attributeValue);
    // `<name attribute="attributeValue">value</name>`, the attribute in decimal.
    virtual void printXmlElement(const ZUVString& name, const ZUVString& value,
                                 const ZUVString& attribute, long attributeValue);
    // `<name attribute="attributeValue"/>`
    virtual void printXmlElement(const ZUVString& name, const ZUVString& attribute,
                                 const ZUVString& attributeValue);
    // `<name attribute="attributeValue"/>`, the attribute in decimal.
    virtual void printXmlElement(const ZUVString& name, const ZUVString& attribute,
                                 long attributeValue);

    // Begins the start tag "<name". `close` true ends it at once (">") so
    // content can follow; false leaves it open for attributes.
    virtual void printXmlElementStart(const ZUVString& name, bool close);
    // Begins "<name attribute="attributeValue"", the value in decimal, and
    // ends the start tag when `close` is true.
    virtual void printXmlElementStart(const ZUVString& name, const ZUVString& attribute,
                                      long attributeValue, bool close);
    // Begins "<name attribute="attributeValue"" and ends the start tag when
    // `close` is true.
    virtual void printXmlElementStart(const ZUVString& name, const ZUVString& attribute,
                                      const ZUVString& attributeValue, bool close);

    // Writes `text`, escaped, as content of the current element.
    virtual void printXmlElementValue(const ZUVString& text);
    // Writes `value` in decimal as content of the current element.
    virtual void printXmlElementValue(long value);
    // Ends the open start tag (">"), so content can follow.
    virtual void printXmlElementClose();
    // Ends an element whose start tag is still open, as an empty element
    // ("/>"). Ignored when no start tag is open.
    virtual void printXmlElementEnd();
    // Writes the end tag "</name>" after the element's content (closing an
    // open start tag first). The end tag names the innermost open element, as
    // written in its start tag, even when `name` differs. Ignored when no
    // element is open.
    virtual void printXmlElementEnd(const ZUVString& name);

    // Writes name="value" into the open start tag. `doubleQuotes` true
    // quotes with '"', false with '\'' (the quote used is the one escaped).
    virtual void printXmlAttribute(const ZUVString& name, const ZUVString& value,
                                   bool doubleQuotes);
    // Writes name="value", the value in decimal.
    virtual void printXmlAttribute(const ZUVString& name, long value);
    // Writes name="true" or name="false".
    virtual void printXmlBooleanAttribute(const ZUVString& name, bool value);

    // Writes the UTF-8 byte-order mark (EF BB BF). Only at the very start:
    // dropped once this writer has printed anything.
    virtual void printByteOrderMark();
    // Writes <?xml version="1.0" encoding="UTF-8"?> and a line feed. Only at
    // the start (after the byte-order mark at most): dropped otherwise.
    virtual void printXmlHeaderUTF8();
    // Writes <!--text-->: outside the root on its own line, inside an element
    // where it stands (a line break there would join the element's text).
    // "--" cannot stand in a comment, so a space is put between two hyphens,
    // and after a final hyphen; characters XML forbids become U+FFFD.
    virtual void printXmlComment(const ZUVString& text);

    // Characters and name bytes written as replacements so far (see above).
    long getReplacementCount() const;

protected:
    // Where everything goes; named and opened by the subclass.
    ZUVFile outputFile;
    // One level of indentation; only spaces and tabs are used from it.
    ZUVString indentString;

    // For a subclass that writes whole trees: one call per start tag and one
    // per end, bypassing the virtual prints. Names that need no repair go
    // straight to the file, and a table's attributes are checked for
    // repeats only once a name needed repair.
    //
    // printXmlElementStart(name, false), then every attribute of `attributes`
    // (null: none) up to the first null value, then printXmlElementClose()
    // when `close`. True when the name was written as it is.
    bool startTreeElement(const ZUVString& name, const ZUVSimpleStringHashtable* attributes,
                          bool close);
    // `text` (when not null) as printXmlElementValue(), then the end: "/>"
    // when `empty`, else "</name>". `name` and `verbatim` are the element's
    // own and what startTreeElement() returned for it.
    void endTreeElement(const ZUVString& name, bool verbatim, const ZUVString* text, bool empty);
    // An element with no children at once: what startTreeElement() and
    // endTreeElement() write for it, with `text` null or empty for none.
    void writeTreeLeaf(const ZUVString& name, const ZUVSimpleStringHashtable* attributes,
                       const ZUVString* text);

private:
    // The rest of the writer's state, kept out of this header so that a
    // change to it leaves the layout of every subclass as it is.
    struct State;
    State* state;
};

#endif

// ZUVSAX2Transcoder: turns a document in any encoding the parser reads into
// UTF-8 as it streams in, so the tokenizer only ever reads UTF-8.
//
// Internal to the parser library, not exported. Decisions follow Expat's
// wherever Expat reads the encoding, so that both engines accept and refuse
// the same documents:
// - the family comes from the first bytes, with or without a byte order mark;
// - the encoding named in the XML declaration must agree with that family;
// - UTF-8, US-ASCII, ISO-8859-1 and UTF-16 are read here; any other encoding
//   goes through iconv, provided the characters of markup stay where ASCII
//   has them.
//
// Use: detect() on the first bytes, skip bomLength() bytes, then convert().
// A document that starts with an XML declaration is converted up to its
// '>' only; the caller reads it and calls declare() (with nullptr when
// there is none), after which convert() goes on in the declared encoding.
// While passThrough() holds, the input is UTF-8 and may be read in place.
#ifndef ZUVSAX2_TRANSCODER_H
#define ZUVSAX2_TRANSCODER_H

#include <cstddef>
#include <string>

class ZUVSAX2Transcoder {
public:
    enum class Family { Unknown, Utf8, Utf16LE, Utf16BE };
    enum class Declared { Ok, Incorrect, Unsupported };

    ZUVSAX2Transcoder() = default;
    ~ZUVSAX2Transcoder();
    ZUVSAX2Transcoder(const ZUVSAX2Transcoder&) = delete;
    ZUVSAX2Transcoder& operator=(const ZUVSAX2Transcoder&) = delete;

    // Ready for a new document.
    void reset();

    // Each byte of encoding `name` decoded alone: its code point (one UTF-16
    // unit, as in Expat's tables), -1 when it means nothing alone, -2 when it
    // starts a longer sequence or shifts state. False when iconv does not
    // know the encoding.
    static bool byteCodes(const char* name, long (&code)[256]);

    // Reads the family from the first bytes: a byte order mark (EF BB BF,
    // FF FE, FE FF), else as Expat does, a NUL first byte means UTF-16BE and
    // a NUL second byte UTF-16LE (so 00 3C 00 3F and 3C 00 3F 00), else
    // UTF-8. Returns false, deciding nothing, while fewer than 4 bytes are
    // there and more may come.
    bool detect(const char* data, size_t len, bool atEnd);
    Family family() const { return family_; }
    size_t bomLength() const { return bomLength_; }

    // Appends the UTF-8 of data[0..len) to `out` and returns the bytes
    // consumed: an incomplete sequence at the end is left for the next call,
    // unless atEnd. A sequence that cannot be decoded becomes one 0xFF byte,
    // invalid in UTF-8, so the tokenizer reports an invalid token there;
    // half a UTF-16 unit at the end becomes a lone lead byte, a cut character.
    // UTF-8 input is copied as it is. Before declare(), a document that
    // starts with "<?xml" is converted only up to and including its first
    // '>' (0 is returned after that); nothing is converted before detect().
    size_t convert(const char* data, size_t len, bool atEnd, std::string& out);

    // The encoding named in the XML declaration; nullptr when there is no
    // declaration or it names none. Checked against the family as Expat does
    // (Incorrect: "encoding specified in XML declaration is incorrect"),
    // then convert() decodes in it. Unsupported: encodingName() and problem()
    // fill "unsupported encoding \"NAME\": PROBLEM". Names are
    // case-insensitive.
    Declared declare(const char* name);
    const std::string& encodingName() const { return name_; }
    const std::string& problem() const { return problem_; }

    // True while the input is UTF-8 as it stands: the caller may read it in
    // place past bomLength() and need not call convert(). It may turn false
    // at declare().
    bool passThrough() const { return family_ == Family::Utf8 && decoder_ == Decoder::Utf8; }
    // True when convert() stopped after the declaration and waits for declare().
    bool waiting() const { return start_ == Start::AfterDeclaration; }
    // True when the declared encoding is decoded by iconv, which Expat cannot
    // read itself: it must be given our UTF-8.
    bool multiByte() const { return decoder_ == Decoder::Iconv; }
    // True once declare() chose a decoder other than UTF-8's.
    bool decodes() const { return decoder_ != Decoder::Utf8; }

private:
    enum class Decoder { Utf8, Utf16LE, Utf16BE, Latin1, Ascii, Table, Iconv };
    // Whether convert() stops at the end of an XML declaration: not known
    // yet, inside one, past its '>', or no more (none, or declare() called).
    enum class Start { Unseen, InDeclaration, AfterDeclaration, Free };

    size_t decode(const char* data, size_t len, bool atEnd, std::string& out);
    size_t decodeUtf16(const unsigned char* data, size_t len, bool atEnd, char*& out) const;
    size_t decodeIconv(const char* data, size_t len, bool atEnd, std::string& out);
    Decoder familyDecoder() const;
    unsigned unitAt(const char* data, size_t index) const;
    Declared unsupported(const char* problem);
    void closeIconv();

    Family family_ = Family::Unknown;
    size_t bomLength_ = 0;
    Decoder decoder_ = Decoder::Utf8;
    Start start_ = Start::Unseen;
    std::string name_;
    std::string problem_;

    // A single-byte encoding: the UTF-8 of each byte, its length in [3]. Kept
    // from one document to the next for the same name.
    std::string tableName_;
    unsigned char table_[256][4] = {};
    // A multi-byte encoding, to UTF-8 (an iconv_t).
    void* iconv_ = nullptr;
};

#endif

#include "ZUVSAX2Transcoder.h"

#include <iconv.h>
#include <strings.h>

#include <cerrno>
#include <cstring>

#include "ZUVUtf8.h"

namespace {

const iconv_t kNoIconv = reinterpret_cast<iconv_t>(-1);

// What a byte read alone decodes to, besides a code point.
constexpr long kUndecodable = -1;
constexpr long kLonger = -2;  // starts a longer sequence, or shifts state

bool same(const char* a, const char* b) {
    return strcasecmp(a, b) == 0;
}

// An EncName of XML: anything else would reach iconv as options ("//").
bool isEncodingName(const char* name) {
    auto letter = [](char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); };
    if (!letter(*name)) return false;
    for (const char* p = name + 1; *p; ++p) {
        char c = *p;
        if (!letter(c) && !(c >= '0' && c <= '9') && c != '.' && c != '_' && c != '-') return false;
    }
    return true;
}

// The characters markup is made of, which must be where ASCII has them.
// Leaves out the few that only ever stand in text: Shift_JIS has its own
// at 5C and 7E.
bool isMarkup(int byte) {
    if (byte == '\t' || byte == '\n' || byte == '\r') return true;
    if (byte < 0x20 || byte > 0x7e) return false;
    return !std::strchr("$@\\^`{}~", byte);
}

}  // namespace

bool ZUVSAX2Transcoder::byteCodes(const char* name, long (&code)[256]) {
    iconv_t converter = iconv_open("UTF-32LE", name);
    if (converter == kNoIconv) return false;
    for (int byte = 0; byte < 256; ++byte) {
        char in = static_cast<char>(byte);
        unsigned char out[32];
        char* inPointer = &in;
        char* outPointer = reinterpret_cast<char*>(out);
        size_t inLeft = 1;
        size_t outLeft = sizeof out;
        iconv(converter, nullptr, nullptr, nullptr, nullptr);
        if (iconv(converter, &inPointer, &inLeft, &outPointer, &outLeft) ==
            static_cast<size_t>(-1)) {
            code[byte] = errno == EILSEQ ? kUndecodable : kLonger;
            continue;
        }
        // Some converters (windows-1255, TCVN) hold a character back to
        // combine it with the next one: flush it out.
        iconv(converter, nullptr, nullptr, &outPointer, &outLeft);
        size_t produced = sizeof out - outLeft;
        if (produced == 0) {  // a shift byte
            code[byte] = kLonger;
            continue;
        }
        unsigned long value = out[0] | (out[1] << 8) | (static_cast<unsigned long>(out[2]) << 16) |
                              (static_cast<unsigned long>(out[3]) << 24);
        // Expat's tables have one UTF-16 unit a byte.
        code[byte] = produced != 4 || value > 0xFFFF ? kUndecodable : static_cast<long>(value);
    }
    iconv_close(converter);
    return true;
}

ZUVSAX2Transcoder::~ZUVSAX2Transcoder() {
    closeIconv();
}

void ZUVSAX2Transcoder::reset() {
    family_ = Family::Unknown;
    bomLength_ = 0;
    decoder_ = Decoder::Utf8;
    start_ = Start::Unseen;
    name_.clear();
    problem_.clear();
    closeIconv();
}

void ZUVSAX2Transcoder::closeIconv() {
    if (iconv_) iconv_close(static_cast<iconv_t>(iconv_));
    iconv_ = nullptr;
}

bool ZUVSAX2Transcoder::detect(const char* data, size_t len, bool atEnd) {
    if (len < 4 && !atEnd) return false;
    const unsigned char* b = reinterpret_cast<const unsigned char*>(data);
    bomLength_ = 0;
    family_ = Family::Utf8;
    if (len >= 3 && b[0] == 0xEF && b[1] == 0xBB && b[2] == 0xBF) {
        bomLength_ = 3;
    } else if (len >= 2 && b[0] == 0xFF && b[1] == 0xFE) {
        family_ = Family::Utf16LE;
        bomLength_ = 2;
    } else if (len >= 2 && b[0] == 0xFE && b[1] == 0xFF) {
        family_ = Family::Utf16BE;
        bomLength_ = 2;
    } else if (len >= 2 && b[0] == 0) {
        // A document starts with an ASCII character and NUL is none, so
        // Expat takes a NUL byte for the high half of a UTF-16 unit.
        family_ = Family::Utf16BE;
    } else if (len >= 2 && b[1] == 0) {
        family_ = Family::Utf16LE;
    }
    decoder_ = familyDecoder();
    return true;
}

ZUVSAX2Transcoder::Decoder ZUVSAX2Transcoder::familyDecoder() const {
    switch (family_) {
        case Family::Utf16LE:
            return Decoder::Utf16LE;
        case Family::Utf16BE:
            return Decoder::Utf16BE;
        default:
            return Decoder::Utf8;
    }
}

unsigned ZUVSAX2Transcoder::unitAt(const char* data, size_t index) const {
    const unsigned char* b = reinterpret_cast<const unsigned char*>(data);
    switch (family_) {
        case Family::Utf16LE:
            return b[2 * index] | (b[2 * index + 1] << 8);
        case Family::Utf16BE:
            return (b[2 * index] << 8) | b[2 * index + 1];
        default:
            return b[index];
    }
}

size_t ZUVSAX2Transcoder::convert(const char* data, size_t len, bool atEnd, std::string& out) {
    if (family_ == Family::Unknown || start_ == Start::AfterDeclaration) return 0;
    size_t unit = family_ == Family::Utf8 ? 1 : 2;
    size_t units = len / unit;
    if (start_ == Start::Unseen) {
        // An XML declaration is "<?xml" then white space, or '?' (which
        // Expat takes for a declaration too, and refuses).
        static const char kOpen[] = "<?xml";
        size_t i = 0;
        for (; i < 6 && i < units; ++i) {
            unsigned c = unitAt(data, i);
            bool expected = i < 5 ? c == static_cast<unsigned char>(kOpen[i])
                                  : c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '?';
            if (!expected) break;
        }
        if (i < 6 && i == units && !atEnd) return 0;
        start_ = i == 6 ? Start::InDeclaration : Start::Free;
    }
    if (start_ == Start::InDeclaration) {
        for (size_t i = 0; i < units; ++i) {
            if (unitAt(data, i) != '>') continue;
            start_ = Start::AfterDeclaration;
            return decode(data, (i + 1) * unit, false, out);
        }
    }
    return decode(data, len, atEnd, out);
}

size_t ZUVSAX2Transcoder::decode(const char* data, size_t len, bool atEnd, std::string& out) {
    if (decoder_ == Decoder::Utf8) {
        out.append(data, len);
        return len;
    }
    if (decoder_ == Decoder::Iconv) return decodeIconv(data, len, atEnd, out);

    const unsigned char* in = reinterpret_cast<const unsigned char*>(data);
    size_t old = out.size();
    out.resize(old + 3 * len + 4);
    char* begin = &out[old];
    char* o = begin;
    size_t consumed = len;
    switch (decoder_) {
        case Decoder::Latin1:
            for (size_t i = 0; i < len; ++i) {
                o += ZUVUtf8::encode(in[i], o);
            }
            break;
        case Decoder::Ascii:
            for (size_t i = 0; i < len; ++i)
                *o++ = in[i] < 0x80 ? static_cast<char>(in[i]) : '\xFF';
            break;
        case Decoder::Table:
            for (size_t i = 0; i < len; ++i) {
                const unsigned char* entry = table_[in[i]];
                std::memcpy(o, entry, 3);
                o += entry[3];
            }
            break;
        default:
            consumed = decodeUtf16(in, len, atEnd, o);
            break;
    }
    out.resize(old + static_cast<size_t>(o - begin));
    return consumed;
}

size_t ZUVSAX2Transcoder::decodeUtf16(const unsigned char* in, size_t len, bool atEnd,
                                      char*& o) const {
    bool little = decoder_ == Decoder::Utf16LE;
    auto unit = [in, little](size_t i) -> unsigned {
        return little ? in[i] | (in[i + 1] << 8) : (in[i] << 8) | in[i + 1];
    };
    unsigned char* out = reinterpret_cast<unsigned char*>(o);
    size_t i = 0;
    while (i + 1 < len) {
        unsigned u = unit(i);
        if (u < 0x80) {
            *out++ = static_cast<unsigned char>(u);
            i += 2;
            continue;
        }
        if (u < 0xD800 || u > 0xDFFF) {
            out += ZUVUtf8::encode(u, out);
            i += 2;
            continue;
        }
        if (u >= 0xDC00) {  // a low surrogate with no high one before it
            *out++ = 0xFF;
            i += 2;
            continue;
        }
        if (i + 3 >= len) {
            if (!atEnd) break;
            *out++ = 0xFF;
            i += 2;
            continue;
        }
        unsigned low = unit(i + 2);
        if (low < 0xDC00 || low > 0xDFFF) {
            *out++ = 0xFF;
            i += 2;
            continue;
        }
        out += ZUVUtf8::encode(0x10000 + ((u - 0xD800) << 10) + (low - 0xDC00), out);
        i += 4;
    }
    if (atEnd && i < len) {  // half a unit: a cut character, as Expat sees it
        *out++ = 0xC2;
        i = len;
    }
    o = reinterpret_cast<char*>(out);
    return i;
}

size_t ZUVSAX2Transcoder::decodeIconv(const char* data, size_t len, bool atEnd, std::string& out) {
    iconv_t converter = static_cast<iconv_t>(iconv_);
    char* in = const_cast<char*>(data);  // iconv's signature; it only reads
    size_t inLeft = len;
    size_t used = out.size();
    // Runs iconv into the end of `out`; returns 0 or its errno.
    auto run = [&](char** input, size_t* left) {
        size_t room = (left ? *left : 0) * 4 + 16;
        out.resize(used + room);
        char* o = &out[used];
        size_t oLeft = room;
        int error =
            iconv(converter, input, left, &o, &oLeft) == static_cast<size_t>(-1) ? errno : 0;
        used += room - oLeft;
        out.resize(used);
        return error;
    };
    while (inLeft > 0) {
        int error = run(&in, &inLeft);
        if (error == 0 || error == E2BIG) continue;
        if (error == EINVAL) {  // incomplete at the end of the input
            if (!atEnd) break;
            out.push_back('\xFF');
            ++used;
            inLeft = 0;
            break;
        }
        out.push_back('\xFF');  // EILSEQ: skip one byte and go on
        ++used;
        ++in;
        --inLeft;
    }
    // A converter may hold a character back, to combine it with the next.
    if (atEnd && inLeft == 0) {
        while (run(nullptr, nullptr) == E2BIG) {
        }
    }
    return len - inLeft;
}

ZUVSAX2Transcoder::Declared ZUVSAX2Transcoder::unsupported(const char* problem) {
    problem_ = problem;
    return Declared::Unsupported;
}

ZUVSAX2Transcoder::Declared ZUVSAX2Transcoder::declare(const char* name) {
    start_ = Start::Free;
    closeIconv();
    decoder_ = familyDecoder();
    name_ = name ? name : "";
    problem_.clear();
    if (!name) return Declared::Ok;

    // Expat's own encodings: UTF-16 must agree with the family in width and,
    // when named, in byte order; the others need an 8-bit family.
    bool wide = family_ == Family::Utf16LE || family_ == Family::Utf16BE;
    if (same(name, "UTF-16")) return wide ? Declared::Ok : Declared::Incorrect;
    if (same(name, "UTF-16LE"))
        return family_ == Family::Utf16LE ? Declared::Ok : Declared::Incorrect;
    if (same(name, "UTF-16BE"))
        return family_ == Family::Utf16BE ? Declared::Ok : Declared::Incorrect;
    Decoder builtin = Decoder::Table;
    if (same(name, "UTF-8")) builtin = Decoder::Utf8;
    if (same(name, "US-ASCII")) builtin = Decoder::Ascii;
    if (same(name, "ISO-8859-1")) builtin = Decoder::Latin1;
    if (builtin != Decoder::Table) {
        if (wide) return Declared::Incorrect;
        decoder_ = builtin;
        return Declared::Ok;
    }

    // Any other goes to iconv. Expat asks for it whatever the family, so an
    // encoding iconv cannot read is reported as such even in UTF-16.
    if (!isEncodingName(name)) return unsupported("it is not an encoding name");
    if (!wide && !tableName_.empty() && same(name, tableName_.c_str())) {
        decoder_ = Decoder::Table;
        return Declared::Ok;
    }
    long code[256];
    if (!byteCodes(name, code)) return unsupported("iconv does not know it");
    for (int byte = 0; byte < 128; ++byte)
        if (isMarkup(byte) && code[byte] != byte) return unsupported("it is not ASCII-compatible");
    if (wide) return Declared::Incorrect;

    bool singleByte = true;
    for (long c : code)
        if (c == kLonger) singleByte = false;
    if (singleByte) {
        for (int byte = 0; byte < 256; ++byte) {
            unsigned char* entry = table_[byte];
            std::memset(entry, 0, 4);
            if (code[byte] < 0) {
                entry[0] = 0xFF;
                entry[3] = 1;
            } else {
                entry[3] = static_cast<unsigned char>(
                    ZUVUtf8::encode(static_cast<uint32_t>(code[byte]), entry));
            }
        }
        tableName_ = name;
        decoder_ = Decoder::Table;
        return Declared::Ok;
    }
    iconv_t converter = iconv_open("UTF-8", name);
    if (converter == kNoIconv) return unsupported("iconv does not know it");
    iconv_ = converter;
    decoder_ = Decoder::Iconv;
    return Declared::Ok;
}

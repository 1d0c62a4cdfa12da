// The transcoder that feeds the tokenizer UTF-8.
//
// - Against Expat: every document of the W3C suite and of the peers' inputs
//   that is not UTF-8 gives the same events through the parser (Expat on its
//   own bytes) as through Expat reading our UTF-8 of it, and the same
//   verdict on its declared encoding.
// - Multi-byte encodings, made with iconv here: the same UTF-8 wherever the
//   input is split, undecodable and truncated sequences included.
#include <expat.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "ZUVLog.h"
#include "ZUVSAX2Parser.h"
#include "ZUVSAX2Transcoder.h"
#include "ZUVString.h"
#include "differential.h"
#include "test_helpers.h"

namespace {

namespace fs = std::filesystem;
using Declared = ZUVSAX2Transcoder::Declared;

struct Parsed {
    bool accepted;
    std::string events;
    std::string message;  // without the source and position
};

// Expat itself on `bytes`, in `encoding` (null: as the bytes say), with the
// parser's settings.
Parsed expat(const std::string& bytes, const char* encoding) {
    differential::Events recorder;
    XML_Parser expat = XML_ParserCreate(encoding);
    XML_SetUserData(expat, &recorder);
    XML_SetElementHandler(expat, differential::onStart, differential::onEnd);
    XML_SetCharacterDataHandler(expat, differential::onText);
    XML_SetProcessingInstructionHandler(expat, differential::onInstruction);
    XML_SetParamEntityParsing(expat, XML_PARAM_ENTITY_PARSING_NEVER);
    Parsed p;
    p.accepted =
        XML_Parse(expat, bytes.data(), static_cast<int>(bytes.size()), XML_TRUE) == XML_STATUS_OK;
    if (!p.accepted) p.message = XML_ErrorString(XML_GetErrorCode(expat));
    XML_ParserFree(expat);
    recorder.flush();
    p.events = recorder.log;
    return p;
}

// Expat reading the document's own bytes: itself for UTF-16 (the parser
// gives Expat our UTF-8 of it), else the parser's Expat engine, for its
// tables of single-byte encodings.
Parsed parseRaw(const std::string& document, bool wide) {
    if (wide) return expat(document, nullptr);
    differential::Events recorder;
    ZUVLog log(nullptr);
    ZUVSAX2Parser parser(&recorder, &log, differential::onStart, differential::onEnd,
                         differential::onText, differential::onInstruction);
    parser.setEngine(ZUVSAX2Parser::Engine::Expat);
    Parsed p;
    p.accepted = parser.parseString(zs(document));
    recorder.flush();
    p.events = recorder.log;
    std::string message = log.getLastMessage().getText();
    size_t colon = message.find(": ", message.find("string:"));
    p.message = colon == std::string::npos ? message : message.substr(colon + 2);
    return p;
}

// Expat told the input is UTF-8. A BOM goes first so that Expat takes a
// U+FEFF at the start of ours for a character, as the tokenizer does.
Parsed parseUtf8(const std::string& utf8) {
    return expat("\xEF\xBB\xBF" + utf8, "UTF-8");
}

struct Transcoded {
    Declared verdict = Declared::Ok;
    std::string utf8;
    std::string message;  // the parser's text for an unsupported encoding
    bool passThrough = false;
    bool wide = false;  // UTF-16
};

// The value of encoding="..." in a declaration; empty when there is none.
std::string declaredName(const std::string& declaration) {
    size_t at = declaration.find("encoding");
    if (at == std::string::npos) return "";
    at = declaration.find_first_of("'\"", at);
    if (at == std::string::npos) return "";
    size_t end = declaration.find(declaration[at], at + 1);
    return end == std::string::npos ? "" : declaration.substr(at + 1, end - at - 1);
}

// Drives the transcoder as the tokenizer will, the bytes arriving in pieces
// that end at `cuts` (ascending), then at the end of the document.
Transcoded transcode(const std::string& document, const std::vector<size_t>& cuts) {
    Transcoded t;
    ZUVSAX2Transcoder transcoder;
    size_t next = 0;
    size_t available = 0;
    auto more = [&] { available = next < cuts.size() ? cuts[next++] : document.size(); };
    more();
    while (!transcoder.detect(document.data(), available, available == document.size()))
        more();
    size_t at = transcoder.bomLength();
    bool declared = false;
    for (int calls = 0; calls < 100000; ++calls) {
        bool atEnd = available == document.size();
        at += transcoder.convert(document.data() + at, available - at, atEnd, t.utf8);
        size_t close = t.utf8.find('>');
        if (!declared && t.utf8.compare(0, 5, "<?xml") == 0 && close != std::string::npos) {
            declared = true;
            std::string name = declaredName(t.utf8.substr(0, close));
            t.verdict = transcoder.declare(name.empty() ? nullptr : name.c_str());
            if (t.verdict != Declared::Ok) {
                t.message = "unsupported encoding \"" + transcoder.encodingName() +
                            "\": " + transcoder.problem();
                break;
            }
            continue;
        }
        if (atEnd) {
            EXPECT_EQ(at, document.size());
            break;
        }
        more();
    }
    t.passThrough = transcoder.passThrough();
    t.wide = transcoder.family() != ZUVSAX2Transcoder::Family::Utf8;
    return t;
}

std::vector<size_t> every(size_t step, size_t size) {
    std::vector<size_t> cuts;
    for (size_t at = step; at < size; at += step)
        cuts.push_back(at);
    return cuts;
}

}  // namespace

TEST(Sax2Transcoder, ExpatReadsTheSameEventsFromOurUtf8) {
    TempDir unpacked;
    std::string why = unpackW3CSuite(unpacked);
    if (!why.empty()) GTEST_SKIP() << why;
    std::vector<std::string> files = filesUnder(unpacked.path, true);
    for (const std::string& file : filesUnder(fs::path(ZUVDOM_SHARED_DATA) / "peers", false))
        if (fs::path(file).extension() != ".txt") files.push_back(file);
    ASSERT_GT(files.size(), 2000u);

    int compared = 0, read = 0, incorrect = 0, unsupported = 0, refused = 0;
    for (const std::string& file : files) {
        std::string document = readFile(file);
        Transcoded whole = transcode(document, {});
        if (whole.passThrough && whole.verdict == Declared::Ok) continue;  // UTF-8
        ++compared;
        Transcoded pieces = transcode(document, every(7, document.size()));
        EXPECT_EQ(pieces.verdict, whole.verdict) << file;
        EXPECT_EQ(pieces.utf8, whole.utf8) << file;

        Parsed raw = parseRaw(document, whole.wide);
        if (raw.accepted) {
            ++read;
            EXPECT_EQ(whole.verdict, Declared::Ok) << file << ": " << whole.message;
            Parsed ours = parseUtf8(whole.utf8);
            EXPECT_TRUE(ours.accepted) << file << ": " << ours.message;
            EXPECT_EQ(ours.events, raw.events) << file;
        } else if (raw.message == "encoding specified in XML declaration is incorrect") {
            ++incorrect;
            EXPECT_EQ(whole.verdict, Declared::Incorrect) << file;
        } else if (raw.message.compare(0, 20, "unsupported encoding") == 0) {
            ++unsupported;
            EXPECT_EQ(whole.verdict, Declared::Unsupported) << file;
            EXPECT_EQ(whole.message, raw.message) << file;
        } else if (whole.verdict == Declared::Ok) {
            // Refused for what it holds: our UTF-8 must not make it well-formed.
            ++refused;
            EXPECT_FALSE(parseUtf8(whole.utf8).accepted) << file << ": " << raw.message;
        }
    }
    std::printf(
        "%d documents not in UTF-8: %d read, %d refused, %d incorrect and %d unsupported "
        "encodings\n",
        compared, read, refused, incorrect, unsupported);
    EXPECT_GT(read, 50);
}

TEST(Sax2Transcoder, MultiByteInputSplitAnywhereGivesTheSameUtf8) {
    const std::string japanese = "日本語のテキスト「漢字」、ひらがな・カタカナ";
    struct Case {
        const char* encoding;
        std::string text;
        std::string invalid;  // undecodable bytes, read as one 0xFF
    } cases[] = {
        {"EUC-JP", japanese + "ｶﾀｶﾅ丂", "\xFF"},  // 2-byte kana and a 3-byte JIS X 0212
        {"Shift_JIS", japanese + "ｶﾀｶﾅ", "\xFF"},
        {"ISO-2022-JP", japanese, "\xFF"},
        {"GB18030", "简体中文，€😀", "\xFF"},  // the emoji takes 4 bytes
        {"Big5", "繁體中文，臺灣", "\xFF"},
        {"UTF-16LE", japanese + "😀", std::string("\x00\xD8", 2)},  // a lone high surrogate
        {"UTF-16BE", japanese + "😀", std::string("\xDC\x00", 2)},  // a lone low surrogate
    };
    for (const Case& c : cases) {
        std::string head = std::string("<?xml version=\"1.0\" encoding=\"") + c.encoding +
                           "\"?>\n<doc a=\"" + c.text + "\">" + c.text;
        std::string tail = "</doc>\n" + c.text;
        // Ends with the first byte of a character: incomplete, one 0xFF.
        std::string bytes = iconvTo(c.encoding, head) + c.invalid + iconvTo(c.encoding, tail) +
                            iconvTo(c.encoding, "日").substr(0, 1);
        bool wide = std::string(c.encoding).compare(0, 6, "UTF-16") == 0;
        std::string expected = head + "\xFF" + tail + (wide ? "\xC2" : "\xFF");
        Transcoded whole = transcode(bytes, {});
        EXPECT_EQ(whole.verdict, Declared::Ok) << c.encoding;
        EXPECT_EQ(whole.utf8, expected) << c.encoding;
        EXPECT_EQ(transcode(bytes, every(1, bytes.size())).utf8, expected) << c.encoding;
        for (size_t cut = 0; cut <= bytes.size(); ++cut)
            ASSERT_EQ(transcode(bytes, {cut}).utf8, expected) << c.encoding << " cut at " << cut;
    }
    // The decoders of its own, which both engines read through: no peer checks them.
    const std::string latin1 =
        "<?xml version='1.0' encoding='ISO-8859-1'?><d>\xC2\x80\xC2\xBF\xC3\x80\xC3\xBF</d>";
    EXPECT_EQ(transcode(iconvTo("ISO-8859-1", latin1), {}).utf8, latin1);
    const std::string ascii = "<?xml version='1.0' encoding='US-ASCII'?><d>";
    EXPECT_EQ(transcode(ascii + "\x7F\x80\xFF", {}).utf8, ascii + "\x7F\xFF\xFF");
}

// Gives one document to both engines of ZUVSAX2Parser, our tokenizer and
// Expat, and says where they part: verdict, events (names, attributes in
// order, text joined between other events, instructions) and the line of
// the error. Text just before an error is left out: how much of it Expat
// delivers before it stops depends on how its input was cut.
#ifndef ZUVDOM_DIFFERENTIAL_H
#define ZUVDOM_DIFFERENTIAL_H

#include <expat.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "ZUVLog.h"
#include "ZUVSAX2Parser.h"
#include "ZUVString.h"

namespace differential {

struct LastLine : ZUVLog {
    std::string line;
    void write(const ZUVString& text) override { line = text.getText(); }
};

struct Events {
    std::string log;
    std::string text;
    void flush() {
        if (!text.empty()) log += "text " + text + "\n";
        text.clear();
    }
};

inline void onStart(void* user, const char* name, const char** attributes) {
    Events* e = static_cast<Events*>(user);
    e->flush();
    e->log += std::string("start ") + name;
    for (; *attributes; attributes += 2)
        e->log += std::string(" ") + attributes[0] + "=\"" + attributes[1] + "\"";
    e->log += "\n";
}
inline void onEnd(void* user, const char* name) {
    Events* e = static_cast<Events*>(user);
    e->flush();
    e->log += std::string("end ") + name + "\n";
}
inline void onText(void* user, const char* text, int length) {
    static_cast<Events*>(user)->text.append(text, static_cast<size_t>(length));
}
inline void onInstruction(void* user, const char* target, const char* data) {
    Events* e = static_cast<Events*>(user);
    e->flush();
    e->log += std::string("instruction ") + target + " " + data + "\n";
}

// Columns and messages too when `full`, or when ZUVDOM_DIFF_MESSAGES=1.
inline bool fullByDefault() {
    const char* full = std::getenv("ZUVDOM_DIFF_MESSAGES");
    return full && std::strcmp(full, "1") == 0;
}

// What one engine made of the document, as comparable text.
inline std::string outcome(const std::string& document, ZUVSAX2Parser::Engine engine,
                           bool full = fullByDefault()) {
    Events events;
    LastLine log;
    ZUVSAX2Parser parser(&events, &log, onStart, onEnd, onText, onInstruction);
    parser.setEngine(engine);
    bool accepted =
        parser.parseString(ZUVString(document.data(), static_cast<int>(document.size())));
    if (accepted) {
        events.flush();
        return events.log + "accepted\n";
    }
    events.text.clear();
    // "error: string:LINE:COLUMN: what"
    std::string line = log.line;
    if (!full) {
        size_t source = line.find(':', line.find(':') + 1);
        size_t column = source == std::string::npos ? source : line.find(':', source + 1);
        line = line.substr(0, column);
    }
    return events.log + "refused: " + line + "\n";
}

// Empty when `a` and `b` are equal; otherwise both, labelled, from the start
// of the line where they part (at most 200 bytes before): they can be long.
inline std::string whereTheyPart(const std::string& a, const char* aLabel, const std::string& b,
                                 const char* bLabel) {
    if (a == b) return std::string();
    size_t at = 0;
    while (at < a.size() && at < b.size() && a[at] == b[at])
        ++at;
    size_t line = a.rfind('\n', at);
    size_t from = line == std::string::npos ? 0 : line + 1;
    if (at > from + 200) from = at - 200;
    return aLabel + a.substr(from, 300) + "\n" + bLabel + b.substr(from, 300);
}

// Empty when both engines agree; otherwise both outcomes from where they part.
inline std::string compare(const std::string& document, bool full = fullByDefault()) {
    return whereTheyPart(outcome(document, ZUVSAX2Parser::Engine::Automatic, full),
                         "tokenizer: ", outcome(document, ZUVSAX2Parser::Engine::Expat, full),
                         "expat:     ");
}

// What Expat alone made of a document.
struct Parsed {
    bool accepted;
    std::string events;
    std::string message;  // without the source and position
};

// Expat itself, not through the parser, on `bytes` in `encoding` (null: as
// the bytes say), with the parser's settings.
inline Parsed expat(const std::string& bytes, const char* encoding) {
    Events recorder;
    XML_Parser expat = XML_ParserCreate(encoding);
    XML_SetUserData(expat, &recorder);
    XML_SetElementHandler(expat, onStart, onEnd);
    XML_SetCharacterDataHandler(expat, onText);
    XML_SetProcessingInstructionHandler(expat, onInstruction);
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

}  // namespace differential

#endif

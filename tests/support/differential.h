// Both engines of ZUVSAX2Parser, our tokenizer and Expat, on one document, and where they
// part. Text just before an error is left out: how much Expat gives depends on its input.
#ifndef ZUVDOM_DIFFERENTIAL_H
#define ZUVDOM_DIFFERENTIAL_H

#include <expat.h>

#include <cstdlib>
#include <deque>
#include <functional>
#include <string>

#include "ZUVFile.h"
#include "ZUVLog.h"
#include "ZUVSAX2Parser.h"
#include "ZUVString.h"

namespace differential {

inline std::string at(ZUVSAX2Position p) {
    return std::to_string(p.line) + ":" + std::to_string(p.column);
}

struct Events {
    std::string log;
    std::string text;
    std::function<ZUVSAX2Position()> where;  // when set, start tags say where they are
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
    e->log += (e->where ? " @" + at(e->where()) : "") + "\n";
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

// Positions and messages too when `full`, or when ZUVDOM_DIFF_MESSAGES=1.
inline bool fullByDefault() {
    return std::getenv("ZUVDOM_DIFF_MESSAGES") && *std::getenv("ZUVDOM_DIFF_MESSAGES") == '1';
}

// One engine's reading of `source` (`fromFile`: a path) as text. From a file only start tags
// are asked for, as by a program that wants elements alone: the parser skips the rest.
inline std::string outcome(const std::string& source, ZUVSAX2Parser::Engine engine,
                           bool full = fullByDefault(), bool fromFile = false) {
    Events events;
    ZUVLog log(nullptr);
    ZUVSAX2Parser parser(&events, &log, onStart, fromFile ? nullptr : onEnd,
                         fromFile ? nullptr : onText, fromFile ? nullptr : onInstruction);
    parser.setEngine(engine);
    if (full) events.where = [&parser] { return parser.getPosition(); };
    ZUVFile file;
    file = ZUVString(source.c_str());
    bool accepted = fromFile ? parser.parseFile(file)
                             : parser.parseString(ZUVString(source.data(), int(source.size())));
    std::string end = full ? "end " + at(parser.getPosition()) + "\n" : "";
    if (accepted) {
        events.flush();
        return events.log + "accepted\n" + end;
    }
    // "error: SOURCE:LINE:COLUMN: what"
    std::string line = log.getLastMessage().getText();
    if (!full) {
        size_t name = line.find(':', line.find(':') + 1);
        size_t column = name == std::string::npos ? name : line.find(':', name + 1);
        line = line.substr(0, column);
    }
    return events.log + "refused: " + line + "\n" + end;
}

// Empty when `a` and `b` are equal; otherwise both, from near where they part.
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

// Start tags and where they are, asked after each event as the builder asks
// (getPositionLater): our tokenizer counts them in runs, Expat at once.
inline std::string laterPositions(const std::string& source, ZUVSAX2Parser::Engine engine) {
    struct Asked {
        ZUVSAX2Parser* parser = nullptr;
        std::deque<std::pair<std::string, ZUVSAX2Position>> seen;
    } asked;
    auto start = [](void* user, const char* name, const char**) {
        Asked* a = static_cast<Asked*>(user);
        ZUVSAX2Position& kept = a->seen.emplace_back(name, ZUVSAX2Position()).second;
        a->parser->getPositionLater(&kept.line, &kept.column);
    };
    ZUVLog log(nullptr);
    ZUVSAX2Parser parser(
        &asked, &log, start, [](void*, const char*) {}, [](void*, const char*, int) {}, nullptr);
    asked.parser = &parser;
    parser.setEngine(engine);
    bool accepted = parser.parseString(ZUVString(source.data(), int(source.size())));
    std::string out;
    for (const auto& [name, where] : asked.seen)
        out += name + " @" + at(where) + "\n";
    return out + (accepted ? "accepted\n" : "refused\n");
}

// What Expat alone made of a document.
struct Parsed {
    bool accepted;
    std::string events;
    std::string message;  // without the source and position
    std::string end;      // where it stopped, LINE:COLUMN
};

// Expat alone on `bytes` in `encoding` (null: as they say), set as the parser sets it.
inline Parsed expat(const std::string& bytes, const char* encoding, bool where = false) {
    Events recorder;
    XML_Parser expat = XML_ParserCreate(encoding);
    auto position = [expat] {
        return ZUVSAX2Position{static_cast<int>(XML_GetCurrentLineNumber(expat)),
                               static_cast<int>(XML_GetCurrentColumnNumber(expat)) + 1};
    };
    if (where) recorder.where = position;
    XML_SetUserData(expat, &recorder);
    XML_SetElementHandler(expat, onStart, onEnd);
    XML_SetCharacterDataHandler(expat, onText);
    XML_SetProcessingInstructionHandler(expat, onInstruction);
    XML_SetParamEntityParsing(expat, XML_PARAM_ENTITY_PARSING_NEVER);
    Parsed p;
    p.accepted =
        XML_Parse(expat, bytes.data(), static_cast<int>(bytes.size()), XML_TRUE) == XML_STATUS_OK;
    if (!p.accepted) p.message = XML_ErrorString(XML_GetErrorCode(expat));
    if (!p.accepted) recorder.text.clear();
    p.end = at(position());
    XML_ParserFree(expat);
    recorder.flush();
    p.events = recorder.log;
    return p;
}

}  // namespace differential

#endif

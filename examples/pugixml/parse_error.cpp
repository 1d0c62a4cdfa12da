// parse_error.cpp written with pugixml, to compare: pugixml gives the byte
// offset of an error, so the line and column are counted here.
#include <pugixml.hpp>

#include <algorithm>
#include <fstream>
#include <iostream>
#include <iterator>
#include <string>

int main(int argc, char** argv) {
    const char* path = argc > 1 ? argv[1] : "broken.xml";
    pugi::xml_document doc;
    pugi::xml_parse_result result = doc.load_file(path);
    if (result) {
        std::cout << path << ": well-formed\n";
        return 0;
    }
    std::ifstream in(path, std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    size_t end = std::min(static_cast<size_t>(result.offset), bytes.size());
    size_t start = bytes.rfind('\n', end ? end - 1 : 0);
    start = start == std::string::npos || start >= end ? 0 : start + 1;
    int line = 1, column = 1;
    for (size_t i = 0; i < end; ++i)
        line += bytes[i] == '\n';
    for (size_t i = start; i < end; ++i)
        column += (bytes[i] & 0xC0) != 0x80;
    std::cout << path << ":" << line << ":" << column << ": " << result.description() << "\n";
    std::cout << bytes.substr(start, bytes.find('\n', start) - start) << "\n"
              << std::string(column - 1, ' ') << "^\n";
    return 1;
}

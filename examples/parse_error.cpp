// Shows why a document was refused, the way a compiler shows an error: file,
// line and column, the line itself and a mark under the column.
//
//   parse_error [broken.xml]
#include <ZUVDOM.h>

#include <fstream>
#include <iostream>
#include <memory>
#include <string>

int main(int argc, char** argv) {
    const char* path = argc > 1 ? argv[1] : "broken.xml";
    ZUVDOM dom;
    std::unique_ptr<ZUVDOMElement> root(dom.parseFile(path));  // what was built is ours too
    if (!dom.hasError()) {
        std::cout << path << ": well-formed\n";
        return 0;
    }
    const ZUVSAX2Error& error = dom.getError();
    std::cout << error.source << ":" << error.line << ":" << error.column << ": " << error.message
              << "\n";
    std::ifstream in(path);
    std::string text;
    for (int line = 0; line < error.line && std::getline(in, text);)
        ++line;
    if (error.line > 0) std::cout << text << "\n" << std::string(error.column - 1, ' ') << "^\n";
    return 1;
}

// Reads a document, looks around in it, changes it and writes it back out.
//
//   demo [input.xml [output.xml]]
#include <ZUVDOM.h>
#include <ZUVDOMWriter.h>

#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv) {
    const char* input = argc > 1 ? argv[1] : "library.xml";
    const char* output = argc > 2 ? argv[2] : "library-out.xml";

    // Read: errors go to standard error, one line each, with line and column.
    ZUVLog log;
    ZUVDOM dom(&log);
    ZUVFile file;
    file = ZUVString(input);
    ZUVDOMElement* library = dom.parseFile(file);
    if (!library || log.getErrorCount() != 0) {
        delete library;
        return EXIT_FAILURE;
    }

    // Navigate: children by name and by position, attributes, values.
    std::printf("%s \"%s\": %d children, %d books\n", library->getTagName().getText(),
                library->getAttribute("name").getText(), library->getElementCount(),
                library->getElementCount("book"));
    for (int i = 0; i < library->getElementCount("book"); ++i) {
        ZUVDOMElement* book = library->getElement("book", i);
        std::printf("  %s  %-28s %-20s copies: %s\n", book->getAttribute("id").getText(),
                    book->getFirstElementValue("title").getText(),
                    book->getFirstElementValue("author").getText(),
                    book->getFirstElementValue("copies").getText());
    }

    // Change: drop books with no copies left...
    for (int i = library->getElementCount("book") - 1; i >= 0; --i) {
        ZUVDOMElement* book = library->getElement("book", i);
        if (book->getFirstElementValue("copies") == ZUVString("0")) {
            library->removeChild(book);
            delete book;  // detached, so it is ours to free
        }
    }
    // ...add one at the end (the constructor appends it to its parent)...
    ZUVDOMElement* added = new ZUVDOMElement("book", library);
    added->setAttribute("id", "b4");
    added->setAttribute("year", "1953");
    new ZUVDOMElement("title", added);
    added->getElement(0)->setValue("Fahrenheit 451 <first edition>");
    // ...and insert a notice before the first child.
    ZUVDOMElement* notice = new ZUVDOMElement("notice", nullptr);
    notice->setValue("Closed on Sundays");
    library->insertBefore(notice, library->getElement(0));

    // Write, then show what was written.
    { ZUVDOMWriter writer(output, library); }
    delete library;

    std::printf("\nWrote %s:\n", output);
    std::FILE* written = std::fopen(output, "r");
    if (!written) return EXIT_FAILURE;
    char line[512];
    while (std::fgets(line, sizeof line, written))
        std::fputs(line, stdout);
    std::fclose(written);
    std::printf("\n");
    return EXIT_SUCCESS;
}

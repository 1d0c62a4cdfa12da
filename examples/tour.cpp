// The README's short tour as a program: parse, look around, add, write.
#include <ZUVDOM.h>
#include <ZUVDOMWriter.h>

#include <cstdio>

int main() {
    ZUVLog log;  // errors: one line each on stderr
    ZUVDOM dom(&log);
    ZUVDOMElement* list = dom.parseString("<list><item id=\"1\">a</item></list>");
    if (!list) return 1;

    ZUVDOMElement* item = list->getFirstElement("item");  // by name
    std::printf("id=%s value=%s first=%s\n",
                item->getAttribute("id").getText(),            // "1"
                list->getFirstElementValue("item").getText(),  // "a"
                list->getElement(0)->getTagName().getText());  // by position

    ZUVDOMElement* more = new ZUVDOMElement("item", list);  // appended to list
    more->setAttribute("id", "2");
    more->setValue("b & c");

    { ZUVDOMWriter writer("list.xml", list); }  // writes the whole document
    delete list;                                // frees the whole tree
    return 0;
}

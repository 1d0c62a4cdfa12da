// Uses every public class through the installed headers; exits non-zero on
// any surprise.
#include <ZUVDOM.h>
#include <ZUVDOMElement.h>
#include <ZUVDOMPrinter.h>
#include <ZUVDOMVersion.h>
#include <ZUVDOMWriter.h>
#include <ZUVFile.h>
#include <ZUVLog.h>
#include <ZUVOrderedVector.h>
#include <ZUVSAX2Parser.h>
#include <ZUVSimpleStringHashtable.h>
#include <ZUVString.h>
#include <ZUVXMLWriter.h>

#include <unistd.h>
#include <cstdio>
#include <cstdlib>
#include <cstring>

static int failures = 0;
#define CHECK(c)                                            \
    do {                                                    \
        if (!(c)) {                                         \
            std::fprintf(stderr, "check failed: %s\n", #c); \
            ++failures;                                     \
        }                                                   \
    } while (0)

int main() {
    int marker = 0;
    ZUVDOMElement* root = new ZUVDOMElement("list", nullptr);
    ZUVDOMElement* a = new ZUVDOMElement("item", root);
    ZUVDOMElement* b = new ZUVDOMElement("note", root);
    a->setAttribute("id", "1");
    a->setValue("a & b");
    a->setGeneralPointer(&marker);
    ZUVDOMElement* c = new ZUVDOMElement("item", nullptr);
    root->insertBefore(c, b);
    root->removeChild(b);
    root->appendChild(b);
    CHECK(root->getElementCount() == 3);
    CHECK(root->getElementCount("item") == 2);
    CHECK(root->getElement(1) == c && root->getElement("item", 1) == c);
    CHECK(root->getFirstElementValue("item") == ZUVString("a & b"));
    CHECK(root->getFirstElement("item")->getAttribute("id") == ZUVString("1"));
    CHECK(a->getGeneralPointer() == &marker);

    char path[] = "/tmp/zuvdom-consumer-XXXXXX";
    int fd = mkstemp(path);
    CHECK(fd >= 0);
    close(fd);
    { ZUVDOMWriter writer(path, root); }
    delete root;

    ZUVLog log(nullptr);
    ZUVDOM dom(&log);
    ZUVFile file;
    file = ZUVString(path);
    ZUVDOMElement* back = dom.parseFile(file);
    CHECK(log.getErrorCount() == 0);
    CHECK(back && back->getElementCount() == 3 &&
          back->getElement(2)->getTagName() == ZUVString("note"));
    CHECK(back && back->getFirstElementValue("item") == ZUVString("a & b"));
    delete back;
    unlink(path);
    // The version header agrees with itself and says what it was built as.
    static_assert(ZUVDOM_VERSION_NUMBER >= 200, "version 0.2.0 or later");
    CHECK(std::strchr(ZUVDOM_VERSION, '.') != nullptr);
    ZUVDOMElement* doc = new ZUVDOMElement("doc", nullptr);
    CHECK(ZUVDOMPrinter().toStdString(doc).find("<doc/>") != std::string::npos);
    delete doc;
    return failures ? EXIT_FAILURE : EXIT_SUCCESS;
}

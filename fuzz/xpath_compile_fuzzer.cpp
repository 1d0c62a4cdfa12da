// Raw bytes as an expression: compiling, and evaluating with a budget, must end cleanly.
#include <cstdint>

#include "ZUVDOM.h"
#include "ZUVDOMElement.h"
#include "ZUVXPath.h"
#include "fuzz_check.h"

namespace {

const char kDocument[] =
    "<r a=\"1\" b=\"x\"><s n=\"2\"><t>3</t><t>four</t>tail</s><s n=\"5\"/><u a=\"\">"
    "<s n=\"6\"><t>7</t></s>8</u>text</r>";

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static ZUVDOMElement* root = [] {
        ZUVDOM dom(nullptr);
        return dom.parseString(kDocument);
    }();
    ZUVXPath compiled(ZUVString(reinterpret_cast<const char*>(data), static_cast<int>(size)));
    if (!compiled.isValid()) {
        if (compiled.getErrorMessage().isEmpty() || compiled.getErrorColumn() < 1 ||
            compiled.getErrorColumn() > static_cast<int>(size) + 1)
            checkFailed("a compile error without a message or a column in the expression");
        return 0;
    }
    ZUVXPathResult result = compiled.evaluate(root->getElement(0), nullptr, 100000);
    if (result.isError() && result.getErrorMessage().isEmpty())
        checkFailed("an evaluation error without a message");
    for (const ZUVXPathNode& node : result)
        if (!node.getElement()) checkFailed("a null node in a node-set");
    result.getString();
    return 0;
}

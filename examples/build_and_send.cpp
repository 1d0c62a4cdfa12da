// Builds an order in memory and sends it as text to standard output.
#include <ZUVDOMPrinter.h>

#include <cstdio>

int main() {
    ZUVDOMElement* order = new ZUVDOMElement("order", nullptr);
    order->setAttribute("id", "1042");
    (new ZUVDOMElement("customer", order))->setValue("Ada Lovelace");
    const char* lines[][2] = {{"tea", "2"}, {"scones", "6"}};
    for (auto& line : lines) {
        ZUVDOMElement* item = new ZUVDOMElement("item", order);
        item->setAttribute("quantity", line[1]);
        item->setValue(line[0]);
    }
    ZUVDOMPrinter printer;
    bool sent = printer.writeStream(order, stdout);  // or toStdString(order)
    delete order;
    if (!sent) std::fprintf(stderr, "%s\n", printer.getError().getText());
    return sent ? 0 : 1;
}

// Separate builders on separate threads share nothing: each thread parses
// strings and files, writes, reads back and logs errors with its own ZUVDOM
// and ZUVLog, and gets exactly what one thread alone gets.
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "ZUVDOM.h"
#include "ZUVDOMWriter.h"
#include "ZUVLog.h"
#include "ZUVString.h"
#include "gtest/gtest.h"
#include "test_helpers.h"

namespace {

const std::string kData = ZUVDOM_TEST_DATA;

// Documents of each kind the builder meets: attributes, entities, mixed
// text, another encoding, and two that are refused.
const char* const kDocuments[] = {
    "<list><item id=\"1\">a</item><item id=\"2\">b &amp; c</item></list>",
    "<!DOCTYPE r [<!ENTITY e \"ent\">]><r x=\"&e;\"><a>&e;&e;</a>tail</r>",
    "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?><r a=\"\xe9\">caf\xe9</r>",
    "<a><b><c/></b>mixed<d>x</d>after</a>",
    "<a><b></a>",
    "<a>&#xD800;</a>",
};

// Everything one round of work produced, as text, so runs compare as a whole.
std::string runOnce(const std::string& scratch) {
    std::string result;
    ZUVLog log(nullptr);
    ZUVDOM dom(&log);
    for (const char* doc : kDocuments) {
        // Each document starts an element, so each root is new; clearing the
        // old pointer keeps a freed one from ever coming back.
        dom.setRoot(nullptr);
        ZUVDOMElement* root = dom.parseString(zs(doc));
        const std::string written = scratch + "/out.xml";
        { ZUVDOMWriter writer(zs(written), root); }
        result += readFile(written) + "\n";
        ZUVFile file;
        file = zs(written);
        ZUVDOM reader(&log);
        ZUVDOMElement* back = reader.parseFile(file);
        { ZUVDOMWriter writer(zs(written), back); }
        result += readFile(written) + "\n";
        delete back;
        delete root;
        result += std::to_string(log.getErrorCount()) + " " + str(log.getLastMessage()) + "\n";
    }
    ZUVFile sampler;
    sampler = zs(kData + "/hostile/sampler.xml");
    dom.setRoot(nullptr);
    ZUVDOMElement* root = dom.parseFile(sampler);
    result += root ? str(root->getFirstElementValue("c")) : "none";
    delete root;
    return result;
}

TEST(Threads, SeparateTreesDoNotInterfere) {
    const int kThreads = 4;
    const int kRounds = 20;
    TempDir alone;
    const std::string expected = runOnce(alone.path);
    ASSERT_NE(expected.find("<item id=\"2\">b &amp; c</item>"), std::string::npos) << expected;

    std::vector<std::vector<std::string>> results(kThreads);
    std::vector<TempDir> dirs(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int round = 0; round < kRounds; ++round)
                results[t].push_back(runOnce(dirs[t].path));
        });
    }
    for (std::thread& thread : threads)
        thread.join();
    for (int t = 0; t < kThreads; ++t) {
        ASSERT_EQ(results[t].size(), static_cast<size_t>(kRounds));
        for (const std::string& result : results[t])
            EXPECT_EQ(result, expected) << "thread " << t;
    }
}

// Readers of one parsed tree on several threads at once may all be the
// first to look a name up, which makes the index by name: each must see a
// whole index (TSan checks that they do not race).
TEST(Threads, ReadersOfOneTreeMeetAtItsIndexByName) {
    std::string doc = "<r>";
    for (int i = 0; i < 200; ++i)
        doc += "<p><a/><b/><a/>" + std::string(i % 7 ? "<c/>" : "") + "</p>";
    doc += "</r>";
    for (int round = 0; round < 5; ++round) {
        ZUVDOM dom;
        std::unique_ptr<ZUVDOMElement> root(dom.parseString(ZUVString(doc)));
        ASSERT_NE(root, nullptr);
        std::vector<int> counts(4);
        std::vector<std::thread> readers;
        for (int t = 0; t < 4; ++t) {
            readers.emplace_back([&, t] {
                for (int i = 0; i < root->getElementCount(); ++i) {
                    const ZUVDOMElement* p = root->getElement(i);
                    counts[static_cast<size_t>(t)] +=
                        p->getElementCount(ZUVString("a")) + p->getElementCount(ZUVString("c"));
                }
                counts[static_cast<size_t>(t)] += root->getElementCount(ZUVString("p"));
            });
        }
        for (std::thread& reader : readers)
            reader.join();
        for (int count : counts)
            EXPECT_EQ(count, 200 * 2 + 200 - 29 + 200);
    }
}

}  // namespace

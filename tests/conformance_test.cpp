// The parser over the W3C suite: "valid" and "invalid" documents must be read
// (the parser does not validate), "not-wf" ones refused; skipReason says which
// tests do not apply. Every test that does otherwise is listed with its reason
// in data/conformance_known_failures.txt, which must match exactly.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "ZUVFile.h"
#include "ZUVLog.h"
#include "ZUVSAX2Parser.h"
#include "ZUVString.h"
#include "test_helpers.h"

namespace {

namespace fs = std::filesystem;

const char kKnownFailures[] = ZUVDOM_TEST_DATA "/conformance_known_failures.txt";

// The catalog attributes a verdict depends on, and the document, absolute.
struct TestCase {
    std::map<std::string, std::string> a;
    std::string path;
};

// Collects the TEST elements of one catalog file.
struct CatalogReader {
    std::string directory;
    std::vector<std::string> bases{""};  // xml:base of the open elements
    std::vector<TestCase> tests;
};

void catalogStart(void* data, const char* name, const char** attributes) {
    CatalogReader* r = static_cast<CatalogReader*>(data);
    std::map<std::string, std::string> a;
    for (int i = 0; attributes[i]; i += 2)
        a[attributes[i]] = attributes[i + 1];
    std::string base = r->bases.back() + a["xml:base"];
    r->bases.push_back(base);
    if (std::strcmp(name, "TEST") == 0)
        r->tests.push_back({a, r->directory + "/" + base + a["URI"]});
}

void catalogEnd(void* data, const char*) {
    static_cast<CatalogReader*>(data)->bases.pop_back();
}

// A catalog file is an external entity: maybe a text declaration, then a
// TESTCASES element or several TEST elements. Wrapped, it is a document.
std::vector<TestCase> readCatalog(const fs::path& file) {
    std::string content = readFile(file);
    if (content.compare(0, 5, "<?xml") == 0) content.erase(0, content.find("?>") + 2);
    content = "<catalog>" + content + "</catalog>";
    CatalogReader reader;
    reader.directory = file.parent_path().string();
    ZUVLog log;
    ZUVSAX2Parser parser(&reader, &log, catalogStart, catalogEnd, nullptr, nullptr);
    EXPECT_TRUE(parser.parseString(ZUVString(content.data(), static_cast<int>(content.size()))))
        << file;
    return reader.tests;
}

// Why a test does not apply to us: one version, no namespaces, and Expat's
// older, narrower name characters; errors a reader need not report. Null when
// it does.
const char* skipReason(TestCase& t) {
    const std::string& recommendation = t.a["RECOMMENDATION"];
    const std::string &version = t.a["VERSION"], &edition = t.a["EDITION"];
    if (recommendation == "XML1.1" || recommendation.compare(0, 2, "NS") == 0) return "not XML 1.0";
    if (!version.empty() && version.find("1.0") == std::string::npos) return "not XML 1.0";
    if (t.a["NAMESPACE"] == "yes") return "needs namespaces";
    if (!edition.empty() && edition.find('4') == std::string::npos) return "fifth edition only";
    if (t.a["TYPE"] == "error") return "optional error";
    return nullptr;
}

// ID -> reason, from the checked-in list.
std::map<std::string, std::string> readKnownFailures() {
    std::map<std::string, std::string> known;
    std::ifstream in(kKnownFailures);
    std::string line;
    while (std::getline(in, line)) {
        if (line.empty() || line[0] == '#') continue;
        std::istringstream fields(line);
        std::string id, reason;
        fields >> id;
        std::getline(fields >> std::ws, reason);
        EXPECT_FALSE(reason.empty()) << "no reason given for " << id;
        EXPECT_TRUE(known.emplace(id, reason).second) << "listed twice: " << id;
    }
    return known;
}

}  // namespace

TEST(Conformance, W3CSuiteMatchesKnownFailures) {
    TempDir unpacked;
    std::string why = unpackW3CSuite(unpacked);
    if (!why.empty()) GTEST_SKIP() << why;

    // The master catalog names each collection file in an entity declaration
    // and includes the collections by reference, in order.
    const fs::path conf = fs::path(unpacked.path) / "xmlconf";
    std::string master = readFile(conf / "xmlconf.xml");
    std::map<std::string, std::string> entities;
    for (size_t at = master.find("<!ENTITY"); at != std::string::npos;
         at = master.find("<!ENTITY", at + 1)) {
        std::istringstream declaration(master.substr(at + 8, master.find('>', at) - at - 8));
        std::string name, system, file;
        declaration >> name >> system >> file;
        entities[name] = file.substr(1, file.size() - 2);
    }
    std::vector<std::string> collections;
    for (size_t at = master.find('&', master.find("<TESTSUITE")); at != std::string::npos;
         at = master.find('&', at + 1))
        collections.push_back(master.substr(at + 1, master.find(';', at) - at - 1));
    ASSERT_GE(collections.size(), 10u);

    std::map<std::string, std::string> known = readKnownFailures();
    std::set<std::string> seen;
    std::map<std::string, std::string> failures;  // ID -> what happened
    int run = 0, skipped = 0;
    ZUVLog log(nullptr);
    ZUVSAX2Parser parser(nullptr, &log, nullptr, nullptr, nullptr, nullptr);
    for (const std::string& collection : collections) {
        ASSERT_EQ(entities.count(collection), 1u) << collection;
        for (TestCase& t : readCatalog(conf / entities[collection])) {
            EXPECT_TRUE(seen.insert(t.a["ID"]).second) << "duplicate test ID " << t.a["ID"];
            if (skipReason(t)) {
                ++skipped;
                continue;
            }
            ++run;
            log.reset();
            ZUVFile file;
            file = ZUVString(t.path.c_str());
            bool accepted = parser.parseFile(file);
            if (accepted != (t.a["TYPE"] != "not-wf"))
                failures[t.a["ID"]] =
                    accepted ? "accepted, but it is not well-formed"
                             : std::string("refused: ") + log.getLastMessage().getText();
        }
    }
    std::printf("run %d, failed %zu, skipped %d\n", run, failures.size(), skipped);
    EXPECT_GT(run, 1000);

    for (const auto& failure : failures)
        EXPECT_EQ(known.count(failure.first), 1u)
            << "new failure: " << failure.first << "  " << failure.second;
    for (const auto& entry : known)
        EXPECT_EQ(failures.count(entry.first), 1u)
            << "listed as failing but "
            << (seen.count(entry.first) ? "passes or is skipped" : "unknown") << ": "
            << entry.first;
}

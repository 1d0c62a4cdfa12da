// What several suites need: byte-exact string conversions, whole files read
// independently of ZUVFile, a scratch folder, and trees as text.
#ifndef ZUVDOM_TEST_HELPERS_H
#define ZUVDOM_TEST_HELPERS_H

#include <gtest/gtest.h>
#include <iconv.h>
#include <malloc.h>
#include <stdlib.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <stdexcept>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

#include "ZUVDOM.h"
#include "ZUVDOMElement.h"
#include "string_bytes.h"

#if defined(__SANITIZE_ADDRESS__)
#define ZUVDOM_TEST_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define ZUVDOM_TEST_ASAN 1
#endif
#endif
#ifdef ZUVDOM_TEST_ASAN
#include <sanitizer/asan_interface.h>
// From the sanitizer's allocator interface, whose header gcc does not ship.
extern "C" size_t __sanitizer_get_current_allocated_bytes();
#endif

// Heap bytes in use (the sanitizer's count under ASan, which keeps freed memory).
inline size_t heapInUse() {
#ifdef ZUVDOM_TEST_ASAN
    return __sanitizer_get_current_allocated_bytes();
#else
    struct mallinfo2 info = mallinfo2();
    return info.uordblks + info.hblkhd;
#endif
}

// What the interface shows of a tree (the attributes named in `names`, each
// child's place in its name list): two trees are the same when their dumps are.
inline void dumpTree(const ZUVDOMElement* e, const std::vector<std::string>& names,
                     std::string& out) {
    out += "<" + str(e->getTagName());
    if (e->getParent()) out += " p=" + str(e->getParent()->getTagName());
    out += ">[" + str(e->getValue()) + "]";
    for (const std::string& name : names)
        out += " " + name + "=" + str(e->getAttribute(zs(name)));
    if (!e->getAllElements()) out += " no-children";
    for (int i = 0; i < e->getElementCount(); ++i) {
        const ZUVDOMElement* c = e->getElement(i);
        const ZUVOrderedVector* list = e->getElements(c->getTagName());
        out += " {" + std::to_string(list ? list->indexOf(c) : -1) + "/" +
               std::to_string(e->getElementCount(c->getTagName())) + "}";
        dumpTree(c, names, out);
    }
    out += "</>";
}

inline std::string dumpTree(const ZUVDOMElement* e, const std::vector<std::string>& names = {}) {
    std::string out;
    if (e) dumpTree(e, names, out);
    return out;
}

// The tree of `doc`, which must be read without an error.
inline std::unique_ptr<ZUVDOMElement> parseWhole(const std::string& doc) {
    ZUVDOM dom;
    std::unique_ptr<ZUVDOMElement> root(dom.parseString(zs(doc)));
    EXPECT_FALSE(dom.hasError()) << str(dom.getError().message);
    return root;
}

// `s` written `times` times.
inline std::string repeat(const std::string& s, int times) {
    std::string out;
    for (int i = 0; i < times; ++i)
        out += s;
    return out;
}

// The fastest of `runs` runs of each of `a` and `b` (taken in turn, each
// making its work ready and returning it to be timed), in seconds.
using TimedWork = std::function<void()>;
inline std::pair<double, double> fastestSeconds(const std::function<TimedWork()>& a,
                                                const std::function<TimedWork()>& b, int runs = 3) {
    double best[2] = {1e9, 1e9};
    for (int run = 0; run < 2 * runs; ++run) {
        TimedWork work = (run % 2 ? b : a)();
        auto start = std::chrono::steady_clock::now();
        work();
        std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
        best[run % 2] = std::min(best[run % 2], took.count());
    }
    return {best[0], best[1]};
}

// The file's bytes, read with the standard library; empty when it cannot be read.
inline std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// `utf8` in another encoding, into `out`; false when iconv cannot carry it.
inline bool convertWithIconv(const char* encoding, const std::string& utf8, std::string& out) {
    iconv_t converter = iconv_open(encoding, "UTF-8");
    if (converter == reinterpret_cast<iconv_t>(-1)) return false;
    out.assign(utf8.size() * 4 + 16, '\0');
    char* in = const_cast<char*>(utf8.data());
    size_t inLeft = utf8.size();
    char* o = &out[0];
    size_t oLeft = out.size();
    bool ok = iconv(converter, &in, &inLeft, &o, &oLeft) != static_cast<size_t>(-1) &&
              iconv(converter, nullptr, nullptr, &o, &oLeft) != static_cast<size_t>(-1);
    iconv_close(converter);
    out.resize(out.size() - oLeft);
    return ok;
}

// The same, failing the test when iconv cannot convert it.
inline std::string iconvTo(const char* encoding, const std::string& utf8) {
    std::string out;
    EXPECT_TRUE(convertWithIconv(encoding, utf8, out)) << encoding;
    return out;
}

// A new folder under GoogleTest's temporary one, removed at the end of its scope.
struct TempDir {
    std::string path;
    TempDir() {
        std::string name = testing::TempDir() + "zuvdom-XXXXXX";
        if (!mkdtemp(name.data())) throw std::runtime_error("mkdtemp failed for " + name);
        path = name;
    }
    ~TempDir() {
        std::error_code ignored;
        std::filesystem::remove_all(path, ignored);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    std::string file(const std::string& name) const { return path + "/" + name; }
    // Writes `content` to `name` in the folder; returns its path.
    std::string write(const std::string& name, const std::string& content) const {
        std::ofstream(file(name), std::ios::binary) << content;
        return file(name);
    }
};

// Every regular file below `folder`, sorted; with `onlyXml`, only those whose
// extension says XML.
inline std::vector<std::string> filesUnder(const std::filesystem::path& folder, bool onlyXml) {
    std::vector<std::string> files;
    if (!std::filesystem::exists(folder)) return files;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(folder)) {
        if (!entry.is_regular_file()) continue;
        std::string ext = entry.path().extension().string();
        if (!onlyXml || ext == ".xml" || ext == ".svg" || ext == ".xhtml")
            files.push_back(entry.path().string());
    }
    std::sort(files.begin(), files.end());
    return files;
}

#ifdef ZUVDOM_SHARED_DATA
// Unpacks the W3C suite into `into`: empty when done, else why not.
inline std::string unpackW3CSuite(const TempDir& into) {
    const std::string archive = ZUVDOM_SHARED_DATA "/xmlts20130923.zip";
    if (!std::filesystem::exists(archive)) return "no W3C suite at " + archive;
    if (std::system("unzip -v >/dev/null 2>&1") != 0) return "the unzip program is needed";
    std::string command = "unzip -q '" + archive + "' -d '" + into.path + "'";
    if (std::system(command.c_str()) != 0) return "could not run " + command;
    return std::string();
}
#endif

#endif

// Documents the benchmark reads: generated ones, seeded so every run and
// every library sees the same bytes, and real files a Debian system carries.
#ifndef ZUVDOM_BENCH_DOCUMENTS_H
#define ZUVDOM_BENCH_DOCUMENTS_H

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

// What a document is used for; a benchmark runs a workload only on the
// documents that carry its flag, which keeps the default run short.
enum DocumentUse : unsigned {
    kUseParse = 1,        // parse and build from a string, memory per element
    kUseFile = 2,         // parse and build from a file
    kUseNavigate = 4,     // walk the tree by position and by name
    kUseWrite = 8,        // write the tree to a file
    kUseDestroy = 16,     // free the tree
    kUseAll = 31,         // the workloads above
    kUseFirstParse = 32,  // parse and build once in a fresh process
    kUseStates = 64,      // parse and build with a tree kept alive, on two threads
    kUseParseDestroy = kUseParse | kUseDestroy,
};

// One document. The text is generated (or read) on first use, so a filtered
// run, or a run under a profiler, builds only what it needs.
class Document {
public:
    Document(std::string name, unsigned uses, std::function<std::string()> make);

    const std::string& getName() const { return name; }
    unsigned getUses() const { return uses; }
    // The bytes of the document.
    const std::string& getText();
    // Number of elements (start tags and empty-element tags).
    size_t getElementCount();
    // A file holding the text: the original for a real document, otherwise
    // one written once into the benchmark's scratch directory.
    const std::string& getPath();
    // Set for real documents, which are read from where they stand.
    void setSourcePath(const std::string& path) { sourcePath = path; }

private:
    std::string name;
    unsigned uses;
    std::function<std::string()> make;
    bool made = false;
    std::string text;
    size_t elements = 0;
    std::string sourcePath;
    std::string path;
};

// Records with attributes, text and nested lists, about `bytes` long.
std::string makeRecords(size_t bytes, uint64_t seed);
// `count` documents of 10 to 200 KB, alike locale and configuration files.
std::vector<std::string> makeSmallDocuments(size_t count, uint64_t seed);
// A root with `children` leaf children.
std::string makeWide(size_t children);
// A root holding `chains` chains, each `depth` elements deep.
std::string makeDeep(size_t chains, size_t depth);
// A complete tree, `fanout` children per element, `levels` below the root.
std::string makeBalanced(size_t fanout, size_t levels);

// Every document of this run: the generated ones (the 30 and 100 MB ones
// only when `large` is set) and the real ones present on this machine.
std::vector<Document*> allDocuments(bool large);

// Directory for files the benchmark writes; removed at exit.
const std::string& scratchDirectory();

#endif

// What several suites need: byte-exact string conversions, whole files read
// independently of ZUVFile, and a scratch folder.
#ifndef ZUVDOM_TEST_HELPERS_H
#define ZUVDOM_TEST_HELPERS_H

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>
#include <system_error>

#include "ZUVString.h"

// Both keep every byte, NULs included.
inline ZUVString zs(const std::string& s) {
    return ZUVString(s.data(), static_cast<int>(s.size()));
}
inline std::string str(const ZUVString& s) {
    return std::string(s.getText(), static_cast<size_t>(s.getLength()));
}

// The file's bytes, read with the standard library; empty when it cannot be read.
inline std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// A new folder of its own under GoogleTest's temporary directory, removed
// with all it holds at the end of its scope.
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

    // The path of `name` in the folder.
    std::string file(const std::string& name) const { return path + "/" + name; }
    // Writes `content` to `name` in the folder; returns its path.
    std::string write(const std::string& name, const std::string& content) const {
        std::ofstream(file(name), std::ios::binary) << content;
        return file(name);
    }
};

#endif

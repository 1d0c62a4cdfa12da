// ZUVFile: buffered writes read back, remembered failures, read mode.
// ZUVLog: one line per message, counts, the in-memory last message.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string>
#include <vector>

#include "ZUVFile.h"
#include "ZUVLog.h"

namespace {

// A file name in the test's temporary directory; the file is removed afterwards.
struct TempFile {
    explicit TempFile(const char* stem)
        : path(testing::TempDir() + "zuvstd_" + stem + std::to_string(getpid())) {}
    ~TempFile() { std::remove(path.c_str()); }
    ZUVString name() const { return ZUVString(path.c_str()); }
    std::string path;
};

std::string readBack(const ZUVString& name) {
    ZUVFile f;
    f = name;
    EXPECT_TRUE(f.open(ZUVFile::Read));
    std::string out;
    char chunk[4096];
    long n;
    while ((n = f.read(chunk, sizeof chunk)) > 0)
        out.append(chunk, static_cast<size_t>(n));
    EXPECT_EQ(n, 0);
    return out;
}

std::string sinkText(std::FILE* sink) {
    std::rewind(sink);
    std::string out;
    for (int c; (c = std::fgetc(sink)) != EOF;)
        out += static_cast<char>(c);
    std::fclose(sink);
    return out;
}

}  // namespace

TEST(Files, WriteCloseReadBackAndAppend) {
    TempFile tmp("out");
    ZUVFile f;
    f = tmp.name();
    ASSERT_TRUE(f.open(ZUVFile::Write));
    f << ZUVString("<a>\0b", 5) << "</a>" << '\n';
    f.close();
    EXPECT_FALSE(f.hasError());
    EXPECT_EQ(readBack(f.getName()), std::string("<a>\0b</a>\n", 10));
    ASSERT_TRUE(f.open(ZUVFile::Append));
    f << "more";
    f.close();
    EXPECT_EQ(readBack(f.getName()), std::string("<a>\0b</a>\nmore", 14));
}

TEST(Files, WritesAroundTheBufferSize) {
    const size_t B = ZUVFile::kBufferSize;
    // Successive write sizes that fill, meet and pass the buffer; 0 means one char.
    const std::vector<std::vector<size_t>> rows = {
        {B}, {B, 1}, {1, B}, {B - 1, 0, 0}, {B + 1}, {3 * B + 7}, {10, B - 10, B}, {B - 1, 0, B},
    };
    TempFile tmp("buffer");
    for (const std::vector<size_t>& sizes : rows) {
        ZUVFile f;
        f = tmp.name();
        ASSERT_TRUE(f.open(ZUVFile::Write));
        std::string expected;
        for (size_t n : sizes) {
            std::string piece(n ? n : 1, '\0');
            for (size_t i = 0; i < piece.size(); ++i)
                piece[i] = static_cast<char>('a' + (expected.size() + i) % 23);
            if (n)
                f.write(piece.data(), n);
            else
                f << piece[0];
            expected += piece;
        }
        f.close();
        EXPECT_FALSE(f.hasError());
        ASSERT_EQ(readBack(f.getName()), expected) << sizes.size() << " writes";
    }
}

TEST(FileFailures, MissingDirectoryAndNeverOpenedAreHarmless) {
    ZUVFile f;
    f << ZUVString("x") << "y" << 'z';
    f.write("abc", 3);
    EXPECT_EQ(f.getErrorNumber(), EBADF);
    EXPECT_FALSE(f.flush());
    EXPECT_FALSE(f.open(ZUVFile::Write));  // no name yet
    f.close();
    f.close();
    f = ZUVString("/nonexistent-zuv-dir/out.xml");
    EXPECT_FALSE(f.open(ZUVFile::Write));
    EXPECT_EQ(f.getErrorNumber(), ENOENT);
    EXPECT_FALSE(f.isOpen());
    f << "dropped";
    EXPECT_EQ(f.getErrorNumber(), ENOENT);  // the first failure is kept
    EXPECT_FALSE(f.open(ZUVFile::Read | ZUVFile::Write));
    EXPECT_EQ(f.getErrorNumber(), EINVAL);
}

TEST(FileFailures, DiskFullIsRememberedUntilReopen) {
    if (access("/dev/full", W_OK) != 0) GTEST_SKIP() << "no /dev/full";
    ZUVFile f;
    f = ZUVString("/dev/full");
    ASSERT_TRUE(f.open(ZUVFile::Write));
    f << "buffered";
    EXPECT_FALSE(f.flush());
    EXPECT_EQ(f.getErrorNumber(), ENOSPC);
    const std::string big(ZUVFile::kBufferSize * 2, 'x');
    f.write(big.data(), big.size());  // dropped
    f.close();
    EXPECT_EQ(f.getErrorNumber(), ENOSPC);  // survives close
    ASSERT_TRUE(f.open(ZUVFile::Write));
    EXPECT_FALSE(f.hasError());
    f.write(big.data(), big.size());  // straight past the buffer
    EXPECT_EQ(f.getErrorNumber(), ENOSPC);
}

TEST(FileFailures, ModesRefuseTheOtherDirection) {
    TempFile tmp("modes");
    ZUVFile f;
    f = tmp.name();
    ASSERT_TRUE(f.open(ZUVFile::Write));
    char c;
    EXPECT_EQ(f.read(&c, 1), -1);
    EXPECT_EQ(f.getErrorNumber(), EBADF);
    ASSERT_TRUE(f.open(ZUVFile::Read));
    EXPECT_EQ(f.read(&c, 1), 0);  // empty file, no failure
    EXPECT_FALSE(f.hasError());
    f << "no";
    EXPECT_EQ(f.getErrorNumber(), EBADF);
}

TEST(FileFailures, NameWithEmbeddedNulRefused) {
    TempFile tmp("nul");
    ZUVString name = tmp.name();
    name.append("\0.other", 7);
    ZUVFile f;
    f = name;
    EXPECT_FALSE(f.open(ZUVFile::Write));
    EXPECT_NE(f.getErrorNumber(), 0);
    EXPECT_NE(access(tmp.path.c_str(), F_OK), 0);  // the prefix was not created
}

TEST(Logs, OneLinePerMessageWithCounts) {
    std::FILE* sink = std::tmpfile();
    ASSERT_NE(sink, nullptr);
    ZUVLog log(sink);
    log.error("bad %s at line %d", "tag", 3);
    log.warning("two\nlines\r\nhere");
    log.error("%s", "");
    EXPECT_EQ(log.getErrorCount(), 2);
    EXPECT_EQ(log.getWarningCount(), 1);
    EXPECT_EQ(log.getLastMessage(), ZUVString("error: "));
    EXPECT_EQ(sinkText(sink), "error: bad tag at line 3\nwarning: two lines  here\nerror: \n");

    ZUVLog quiet(nullptr);  // keeps the last message only
    quiet.warning("first");
    quiet.error("code %d\n", 42);
    EXPECT_EQ(quiet.getLastMessage(), ZUVString("error: code 42 "));
    quiet.reset();
    EXPECT_EQ(quiet.getErrorCount() + quiet.getWarningCount(), 0);
    EXPECT_TRUE(quiet.getLastMessage().isEmpty());
}

TEST(Logs, VeryLongMessageIsCutToOneLine) {
    std::FILE* sink = std::tmpfile();
    ASSERT_NE(sink, nullptr);
    std::string body(5000, 'x');
    body[3000] = '\n';
    ZUVLog log(sink);
    log.warning("%s", body.c_str());
    log.error("after");
    const std::string text = sinkText(sink);
    const size_t firstBreak = text.find('\n');
    ASSERT_NE(firstBreak, std::string::npos);
    EXPECT_GT(firstBreak, 100u);  // cut, but not to nothing
    EXPECT_LT(firstBreak, body.size());
    EXPECT_EQ(text.substr(firstBreak + 1), "error: after\n");  // nothing spilled over
    EXPECT_EQ(log.getLastMessage(), ZUVString("error: after"));
}

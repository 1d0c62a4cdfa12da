// Files: buffered writes and remembered failures. Logs: one line per message.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string>
#include <vector>

#include "ZUVFile.h"
#include "ZUVLog.h"
#include "test_helpers.h"

TEST(Files, WritesAroundTheBufferSize) {
    const size_t B = ZUVFile::kBufferSize;
    // Successive write sizes that fill, meet and pass the buffer; 0 means one char.
    const std::vector<std::vector<size_t>> rows = {
        {B}, {B, 1}, {1, B}, {B - 1, 0, 0}, {B + 1}, {3 * B + 7}, {10, B - 10, B}, {B - 1, 0, B},
    };
    TempDir dir;
    const std::string path = dir.file("buffer");
    for (const std::vector<size_t>& sizes : rows) {
        ZUVFile f;
        f = ZUVString(path.c_str());
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
        EXPECT_EQ(readFile(path), expected) << sizes.size() << " writes";
    }
}

TEST(Files, FailuresAreRememberedUntilReopen) {
    ZUVFile f;
    f << "never opened";
    EXPECT_EQ(f.getErrorNumber(), EBADF);
    f = ZUVString("/nonexistent-zuv-dir/out.xml");
    EXPECT_FALSE(f.open(ZUVFile::Write));
    f << "dropped";
    EXPECT_EQ(f.getErrorNumber(), ENOENT);  // the first failure is kept
    if (access("/dev/full", W_OK) != 0) GTEST_SKIP() << "no /dev/full";
    f = ZUVString("/dev/full");
    ASSERT_TRUE(f.open(ZUVFile::Write));
    EXPECT_FALSE(f.hasError());  // opening clears the old failure
    f << "buffered";
    EXPECT_FALSE(f.flush());
    EXPECT_EQ(f.getErrorNumber(), ENOSPC);
    f.close();
    EXPECT_EQ(f.getErrorNumber(), ENOSPC);  // survives close
    ASSERT_TRUE(f.open(ZUVFile::Write));
    const std::string big(ZUVFile::kBufferSize * 2, 'x');
    f.write(big.data(), big.size());  // straight past the buffer
    EXPECT_EQ(f.getErrorNumber(), ENOSPC);
}

TEST(Logs, OneLinePerMessage) {
    std::FILE* sink = std::tmpfile();
    ASSERT_NE(sink, nullptr);
    const std::string huge = std::string(3000, 'x') + "\n" + std::string(2000, 'x');
    ZUVLog log(sink);
    log.error("bad %s at line %d", "tag", 3);
    log.warning("two\nlines\r\nhere");
    log.warning("%s", huge.c_str());  // cut, never spilling onto a second line
    log.error("%s", "");
    EXPECT_EQ(log.getErrorCount() + log.getWarningCount(), 4);
    std::rewind(sink);
    std::vector<std::string> lines;
    for (char line[8192]; std::fgets(line, sizeof line, sink);)
        lines.push_back(line);
    std::fclose(sink);
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[0] + lines[1] + lines[3],
              "error: bad tag at line 3\nwarning: two lines  here\nerror: \n");
    EXPECT_GT(lines[2].size(), 100u);  // cut, but not to nothing
    // By default, to standard error.
    const int saved = dup(2);
    std::FILE* err = std::tmpfile();
    dup2(fileno(err), 2);
    ZUVLog().error("to standard error");
    dup2(saved, 2);
    close(saved);
    EXPECT_EQ(contentsOf(fileno(err)), "error: to standard error\n");
    std::fclose(err);
}

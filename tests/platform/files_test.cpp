#include "platform/files.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <iterator>

#include "support/tempdir.h"

namespace {

using platform::CFile;
using testsupport::readFile;
using testsupport::TempDir;
using testsupport::writeFile;

TEST(Files, OnlyRegularFilesOpenAndAFifoNeverBlocks)
{
    TempDir dir;
    CFile f;
    int err = 0;
    EXPECT_FALSE(f.Open(dir.path(), CFile::modeRead, &err));
    EXPECT_EQ(err, EISDIR);
    ASSERT_EQ(mkfifo(dir.file("pipe").c_str(), 0600), 0);
    EXPECT_FALSE(f.Open(dir.file("pipe"), CFile::modeRead));
    std::string content;
    EXPECT_FALSE(platform::readWholeFile(dir.file("pipe"), content));
}

TEST(Files, ReplaceAtomicallyKeepsTheModeAndLeavesNoTemporaryFile)
{
    TempDir dir;
    const std::string p = dir.file("Yuvo.ini");
    writeFile(p, "one");
    ASSERT_EQ(chmod(p.c_str(), 0600), 0);
    ASSERT_TRUE(platform::replaceFileAtomically(p, "second", 6));
    EXPECT_EQ(readFile(p), "second");
    struct stat st {};
    ASSERT_EQ(stat(p.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 1);
}

TEST(Files, CopyFileNeverCopiesAFileOntoItself)
{
    TempDir dir;
    const std::string src = dir.file("a.txt");
    writeFile(src, "keep me");
    ASSERT_EQ(link(src.c_str(), dir.file("b.txt").c_str()), 0);
    ASSERT_EQ(symlink(src.c_str(), dir.file("c.txt").c_str()), 0);
    EXPECT_FALSE(platform::copyFile(src, src));
    EXPECT_FALSE(platform::copyFile(src, dir.file("b.txt")));
    EXPECT_FALSE(platform::copyFile(dir.file("c.txt"), src));
    EXPECT_EQ(readFile(src), "keep me");
}

} // namespace

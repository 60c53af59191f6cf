#include "platform/files.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <iterator>
#include <string>
#include <vector>

#include "platform/paths.h"
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

// What a crash in the middle of a write leaves goes, and nothing else: not
// a name that only looks alike, not a folder, not what a link points at,
// not what lies in a subfolder.
TEST(Files, LeftoversOfInterruptedWritesAreRemovedAndNothingElse)
{
    TempDir dir;
    TempDir outside;
    const std::string folder = dir.file("CATALOG");
    ASSERT_TRUE(platform::makeSureDirectoryPathExists(folder));
    const std::string made = paths::baseName(platform::temporarySibling(folder + "/catalog.dat"));
    ASSERT_TRUE(platform::isTemporaryName(made)) << made;
    writeFile(folder + "/" + made, "half a catalog");
    writeFile(folder + "/.yuvo-tmp-4194304-4294967295", "another run's");
    writeFile(outside.file("target.txt"), "kept");
    ASSERT_EQ(symlink(outside.file("target.txt").c_str(), (folder + "/.yuvo-tmp-7-1").c_str()), 0);
    ASSERT_EQ(symlink(outside.path().c_str(), (folder + "/.yuvo-tmp-7-2").c_str()), 0);
    ASSERT_EQ(mkdir((folder + "/.yuvo-tmp-7-3").c_str(), 0700), 0);
    ASSERT_EQ(mkdir((folder + "/sub").c_str(), 0700), 0);
    const std::vector<std::string> kept = {
        "catalog.dat", ".yuvo-tmp-7", ".yuvo-tmp-7-", ".yuvo-tmp--7", ".yuvo-tmp-7-1x", ".yuvo-tmp-7-1.dat",
        "x.yuvo-tmp-7-1", "yuvo-tmp-7-1", ".yuvo-tmp-7-1-2", ".yuvo-tmp-+7-1", "sub/.yuvo-tmp-7-4"};
    for (const std::string& name : kept)
        writeFile(folder + "/" + name, name);

    EXPECT_EQ(platform::removeTemporaryLeftovers(folder), 4);

    for (const std::string& name : kept)
        EXPECT_EQ(readFile(folder + "/" + name), name);
    for (const char* gone : {".yuvo-tmp-4194304-4294967295", ".yuvo-tmp-7-1", ".yuvo-tmp-7-2"})
        EXPECT_FALSE(platform::fileExists(folder + "/" + gone)) << gone;
    EXPECT_FALSE(platform::fileExists(folder + "/" + made));
    EXPECT_TRUE(platform::isDirectory(folder + "/.yuvo-tmp-7-3"));
    EXPECT_EQ(readFile(outside.file("target.txt")), "kept");
    EXPECT_EQ(platform::removeTemporaryLeftovers(dir.file("missing")), -1);
}

} // namespace

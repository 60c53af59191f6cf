#include "platform/files.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <set>

#include "support/tempdir.h"

namespace {

using platform::CFile;
using platform::CFileException;
using testsupport::readFile;
using testsupport::TempDir;
using testsupport::writeFile;

std::set<std::string> namesIn(const std::string& folder)
{
    std::set<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(folder))
        names.insert(e.path().filename().string());
    return names;
}

TEST(CFile, OpenModes)
{
    TempDir dir;
    const std::string p = dir.file("f.dat");
    CFile f;
    int err = 0;
    EXPECT_FALSE(f.Open(p, CFile::modeRead, &err));
    EXPECT_EQ(err, ENOENT);
    EXPECT_FALSE(f.Open(p, CFile::modeWrite));
    EXPECT_FALSE(testsupport::exists(p));

    writeFile(p, "old content");
    ASSERT_TRUE(f.Open(p, CFile::modeCreate | CFile::modeNoTruncate | CFile::modeReadWrite));
    EXPECT_EQ(f.GetLength(), 11u);
    f.Seek(0, CFile::end);
    f.Write("!", 1);
    f.Close();
    EXPECT_EQ(readFile(p), "old content!");

    ASSERT_TRUE(f.Open(p, CFile::modeCreate | CFile::modeWrite));
    EXPECT_EQ(f.GetLength(), 0u); // created anew
    f.Write("new", 3);
    f.Close();
    EXPECT_EQ(readFile(p), "new");

    ASSERT_TRUE(f.Open(dir.file("made.dat"), CFile::modeCreate | CFile::modeNoTruncate | CFile::modeWrite));
    f.Close();
    EXPECT_TRUE(platform::isRegularFile(dir.file("made.dat")));
}

TEST(CFile, ReadSeekAndLength)
{
    TempDir dir;
    const std::string p = dir.file("f.dat");
    writeFile(p, "0123456789");
    CFile f;
    ASSERT_TRUE(f.Open(p, CFile::modeReadWrite));
    char buf[16] = {};
    EXPECT_EQ(f.Seek(4, CFile::begin), 4u);
    EXPECT_EQ(f.Read(buf, 3), 3u);
    EXPECT_EQ(std::string(buf, 3), "456");
    EXPECT_EQ(f.Seek(-2, CFile::current), 5u);
    EXPECT_EQ(f.Read(buf, sizeof buf), 5u); // short only at the end
    EXPECT_EQ(f.Read(buf, sizeof buf), 0u);
    EXPECT_EQ(f.SeekToEnd(), 10u);
    f.SetLength(4);
    EXPECT_EQ(f.GetLength(), 4u);
    f.SeekToBegin();
    f.Seek(8, CFile::begin); // beyond the end: a write there fills the gap with zeros
    f.Write("x", 1);
    f.Flush();
    f.Close();
    EXPECT_EQ(readFile(p), std::string("0123\0\0\0\0x", 9));
}

TEST(CFile, ErrorsThrowOrReport)
{
    TempDir dir;
    const std::string p = dir.file("f.dat");
    writeFile(p, "abc");
    CFile f;
    ASSERT_TRUE(f.Open(p, CFile::modeRead));
    try {
        f.Write("x", 1);
        FAIL() << "a write to a file opened for reading must throw";
    } catch (const CFileException& e) {
        EXPECT_EQ(e.m_errno, EBADF);
    }
    int err = 0;
    EXPECT_FALSE(f.TryWrite("x", 1, &err));
    EXPECT_EQ(err, EBADF);
    EXPECT_THROW(f.Seek(-10, CFile::begin), CFileException);
    f.Close();
    EXPECT_EQ(readFile(p), "abc");

    char buf[4];
    std::size_t got = 99;
    EXPECT_THROW(f.Read(buf, 1), CFileException); // closed
    EXPECT_FALSE(f.TryRead(buf, 1, &got, &err));
    EXPECT_EQ(got, 0u);
    EXPECT_THROW(f.GetLength(), CFileException);
}

TEST(CFile, OnlyRegularFilesOpen)
{
    TempDir dir;
    CFile f;
    int err = 0;
    EXPECT_FALSE(f.Open(dir.path(), CFile::modeRead, &err));
    EXPECT_EQ(err, EISDIR);
    // A FIFO without a writer would block a plain open for reading.
    const std::string fifo = dir.file("pipe");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    EXPECT_FALSE(f.Open(fifo, CFile::modeRead, &err));
    EXPECT_EQ(err, EINVAL);
    EXPECT_FALSE(f.Open(fifo, CFile::modeCreate | CFile::modeReadWrite));
    std::string content;
    EXPECT_FALSE(platform::readWholeFile(fifo, content));
    EXPECT_FALSE(f.IsOpen());
}

TEST(Files, ReplaceAtomicallyLeavesOnlyTheFile)
{
    TempDir dir;
    const std::string p = dir.file("Yuvo.ini");
    ASSERT_TRUE(platform::replaceFileAtomically(p, "one", 3));
    ASSERT_TRUE(platform::replaceFileAtomically(p, "second", 6));
    std::string content;
    ASSERT_TRUE(platform::readWholeFile(p, content));
    EXPECT_EQ(content, "second");
    EXPECT_EQ(namesIn(dir.path()), std::set<std::string>{"Yuvo.ini"});
    ASSERT_EQ(chmod(p.c_str(), 0600), 0);
    ASSERT_TRUE(platform::replaceFileAtomically(p, "third", 5));
    struct stat st {};
    ASSERT_EQ(stat(p.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);

    int err = 0;
    EXPECT_FALSE(platform::replaceFileAtomically(dir.file("none/x"), "x", 1, &err));
    EXPECT_EQ(err, ENOENT);
    EXPECT_FALSE(platform::readWholeFile(dir.file("none/x"), content, &err));
    EXPECT_EQ(err, ENOENT);
}

TEST(Files, MakeSureDirectoryPathExists)
{
    TempDir dir;
    EXPECT_TRUE(platform::makeSureDirectoryPathExists(dir.file("a/b/c/")));
    EXPECT_TRUE(platform::isDirectory(dir.file("a/b/c")));
    EXPECT_TRUE(platform::makeSureDirectoryPathExists(dir.file("a/b/d")));
    EXPECT_TRUE(platform::isDirectory(dir.file("a/b/d")));
    EXPECT_TRUE(platform::makeSureDirectoryPathExists(dir.file("a/b/c")));
    writeFile(dir.file("file"), "x");
    EXPECT_FALSE(platform::makeSureDirectoryPathExists(dir.file("file/sub")));
    EXPECT_TRUE(platform::createDirectory(dir.file("one")));
    EXPECT_FALSE(platform::createDirectory(dir.file("one")));
    EXPECT_FALSE(platform::createDirectory(dir.file("x/y")));
}

TEST(Files, SmallHelpers)
{
    TempDir dir;
    writeFile(dir.file("f"), "12345");
    ASSERT_EQ(symlink(dir.file("gone").c_str(), dir.file("dangling").c_str()), 0);
    EXPECT_EQ(platform::fileSize(dir.file("f")), 5);
    EXPECT_EQ(platform::fileSize(dir.file("gone")), -1);
    EXPECT_TRUE(platform::fileExists(dir.file("dangling")));
    EXPECT_FALSE(platform::isRegularFile(dir.file("dangling")));
    EXPECT_FALSE(platform::isDirectory(dir.file("f")));
    int err = 0;
    EXPECT_FALSE(platform::deleteFile(dir.path(), &err)); // never a folder
    EXPECT_EQ(err, EISDIR);
    EXPECT_TRUE(platform::deleteFile(dir.file("dangling")));
    EXPECT_TRUE(platform::renameFile(dir.file("f"), dir.file("g")));
    EXPECT_FALSE(platform::fileExists(dir.file("f")));
    EXPECT_FALSE(platform::renameFile(dir.file("f"), dir.file("h"), &err));
    EXPECT_EQ(err, ENOENT);
}

TEST(Files, CopyFile)
{
    TempDir dir;
    platform::createDirectory(dir.file("SEND"));
    const std::string src = dir.file("report.txt");
    writeFile(src, std::string(200000, 'r'));
    const struct timespec times[2] = {{1000000000, 0}, {1200000000, 500}};
    ASSERT_EQ(utimensat(AT_FDCWD, src.c_str(), times, 0), 0);

    const std::string dst = dir.file("SEND/report.txt");
    ASSERT_TRUE(platform::copyFile(src, dst));
    EXPECT_EQ(readFile(dst), readFile(src));
    struct stat st {};
    ASSERT_EQ(stat(dst.c_str(), &st), 0);
    EXPECT_EQ(st.st_mtim.tv_sec, 1200000000);
    EXPECT_EQ(namesIn(dir.file("SEND")), std::set<std::string>{"report.txt"});

    // A second copy replaces the first.
    writeFile(src, "short");
    ASSERT_TRUE(platform::copyFile(src, dst));
    EXPECT_EQ(readFile(dst), "short");
}

TEST(Files, CopyFileRefusesItselfAndLeavesNothingOnFailure)
{
    TempDir dir;
    const std::string src = dir.file("a.txt");
    writeFile(src, "keep me");
    int err = 0;
    EXPECT_FALSE(platform::copyFile(src, src, &err));
    EXPECT_EQ(err, EINVAL);
    ASSERT_EQ(link(src.c_str(), dir.file("b.txt").c_str()), 0); // the same file, another name
    EXPECT_FALSE(platform::copyFile(src, dir.file("b.txt")));
    ASSERT_EQ(symlink(src.c_str(), dir.file("c.txt").c_str()), 0);
    EXPECT_FALSE(platform::copyFile(dir.file("c.txt"), src));
    EXPECT_EQ(readFile(src), "keep me");

    EXPECT_FALSE(platform::copyFile(dir.file("missing"), dir.file("d.txt"), &err));
    EXPECT_EQ(err, ENOENT);
    EXPECT_FALSE(platform::copyFile(dir.path(), dir.file("d.txt"), &err));
    EXPECT_EQ(err, EISDIR);
    platform::createDirectory(dir.file("sub"));
    EXPECT_FALSE(platform::copyFile(src, dir.file("sub"))); // a folder stands there
    EXPECT_EQ(namesIn(dir.path()), (std::set<std::string>{"a.txt", "b.txt", "c.txt", "sub"}));
    EXPECT_TRUE(namesIn(dir.file("sub")).empty());
}

} // namespace

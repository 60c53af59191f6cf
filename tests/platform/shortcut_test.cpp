#include "platform/shortcut.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include "platform/files.h"
#include "support/tempdir.h"

namespace {

using testsupport::TempDir;
using testsupport::writeFile;

TEST(Shortcut, Names)
{
    EXPECT_TRUE(platform::isShortcutName("a.lnk"));
    EXPECT_TRUE(platform::isShortcutName("A.LNK"));
    EXPECT_TRUE(platform::isShortcutName(".lnk"));
    EXPECT_FALSE(platform::isShortcutName("lnk"));
    EXPECT_FALSE(platform::isShortcutName("a.lnk.txt"));
}

TEST(Shortcut, ResolvesTheTargetAsItIsNow)
{
    TempDir dir;
    const std::string target = dir.file("\xE8\xA1\xA8 report.txt"); // 表 report.txt
    writeFile(target, "first");
    const std::string lnk = dir.file("r.lnk");
    ASSERT_TRUE(platform::makeShortcut(lnk, target));

    std::string path;
    WIN32_FIND_DATAA fd;
    ASSERT_TRUE(platform::resolveShortcut(lnk, &path, &fd));
    EXPECT_EQ(path, target);
    EXPECT_STREQ(fd.cFileName, "\x95\x5C report.txt");
    EXPECT_EQ(fd.nFileSizeLow, 5u);

    writeFile(target, "grown larger");
    ASSERT_TRUE(platform::resolveShortcut(lnk, &path, &fd));
    EXPECT_EQ(fd.nFileSizeLow, 12u);

    // Dangling: the target is gone.
    ASSERT_TRUE(platform::deleteFile(target));
    EXPECT_FALSE(platform::resolveShortcut(lnk, &path, &fd));
}

TEST(Shortcut, WhatDoesNotResolve)
{
    TempDir dir;
    std::string path;
    WIN32_FIND_DATAA fd;
    writeFile(dir.file("plain.lnk"), "not a link");
    EXPECT_FALSE(platform::resolveShortcut(dir.file("plain.lnk"), &path, &fd));
    EXPECT_FALSE(platform::resolveShortcut(dir.file("missing.lnk"), &path, &fd));
    ASSERT_TRUE(platform::makeShortcut(dir.file("dir.lnk"), dir.path()));
    EXPECT_FALSE(platform::resolveShortcut(dir.file("dir.lnk"), &path, &fd));
    ASSERT_EQ(mkfifo(dir.file("fifo").c_str(), 0600), 0);
    ASSERT_TRUE(platform::makeShortcut(dir.file("fifo.lnk"), dir.file("fifo")));
    EXPECT_FALSE(platform::resolveShortcut(dir.file("fifo.lnk"), &path, &fd));
    writeFile(dir.file("caf\xC3\xA9"), "x"); // a target name with no CP932 form
    ASSERT_TRUE(platform::makeShortcut(dir.file("cafe.lnk"), dir.file("caf\xC3\xA9")));
    EXPECT_FALSE(platform::resolveShortcut(dir.file("cafe.lnk"), &path, &fd));
}

TEST(Shortcut, MakeReplacesAndMakesAbsolute)
{
    TempDir dir;
    writeFile(dir.file("one"), "1");
    writeFile(dir.file("two"), "22");
    const std::string lnk = dir.file("x.lnk");
    EXPECT_FALSE(platform::makeShortcut(dir.file("x.txt"), dir.file("one")));
    ASSERT_TRUE(platform::makeShortcut(lnk, dir.file("one")));
    {
        testsupport::ScopedChdir cd(dir.path());
        ASSERT_TRUE(platform::makeShortcut(lnk, "two")); // relative to the working directory
    }
    char buf[4096];
    const ssize_t n = readlink(lnk.c_str(), buf, sizeof buf);
    ASSERT_GT(n, 0);
    EXPECT_EQ(buf[0], '/');
    std::string path;
    WIN32_FIND_DATAA fd;
    ASSERT_TRUE(platform::resolveShortcut(lnk, &path, &fd));
    EXPECT_STREQ(fd.cFileName, "two");
    EXPECT_EQ(fd.nFileSizeLow, 2u);
}

TEST(Shortcut, DeleteRemovesOnlyTheLink)
{
    TempDir dir;
    const std::string target = dir.file("t.txt");
    writeFile(target, "keep");
    const std::string lnk = dir.file("t.lnk");
    ASSERT_TRUE(platform::makeShortcut(lnk, target));
    EXPECT_TRUE(platform::deleteShortcut(lnk));
    EXPECT_FALSE(testsupport::exists(lnk));
    EXPECT_EQ(testsupport::readFile(target), "keep");
    // A regular file is never taken for a shortcut.
    writeFile(dir.file("f.lnk"), "x");
    EXPECT_FALSE(platform::deleteShortcut(dir.file("f.lnk")));
    EXPECT_TRUE(testsupport::exists(dir.file("f.lnk")));
}

} // namespace

#include "platform/folder_changes.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "support/tempdir.h"

namespace {

using platform::CFolderChanges;
using testsupport::TempDir;
using testsupport::writeFile;

// Points the link at target in one step, as a rename over it does.
void repoint(const std::string& link, const std::string& target)
{
    ASSERT_EQ(symlink(target.c_str(), (link + ".new").c_str()), 0);
    ASSERT_EQ(rename((link + ".new").c_str(), link.c_str()), 0);
}

TEST(FolderChanges, AWriteInTheFolderIsToldOnce)
{
    TempDir dir;
    CFolderChanges changes;
    ASSERT_TRUE(changes.watch(dir.path()));
    EXPECT_TRUE(changes.stillWatches(dir.path()));
    EXPECT_FALSE(changes.changed());
    writeFile(dir.file("a.txt"), "a");
    EXPECT_TRUE(changes.changed());
    EXPECT_FALSE(changes.changed());
}

// A link pointed elsewhere leaves the watch on the old folder, which tells
// nothing of the new one: the path no longer names the folder watched.
TEST(FolderChanges, ALinkPointedAtAnotherFolderIsNoLongerWatched)
{
    TempDir dir;
    ASSERT_EQ(mkdir(dir.file("A").c_str(), 0755), 0);
    ASSERT_EQ(mkdir(dir.file("B").c_str(), 0755), 0);
    const std::string send = dir.file("SEND");
    ASSERT_EQ(symlink(dir.file("A").c_str(), send.c_str()), 0);
    CFolderChanges changes;
    ASSERT_TRUE(changes.watch(send));
    EXPECT_TRUE(changes.stillWatches(send));

    repoint(send, dir.file("B"));
    EXPECT_FALSE(changes.stillWatches(send));

    ASSERT_TRUE(changes.watch(send));
    EXPECT_TRUE(changes.stillWatches(send));
    EXPECT_FALSE(changes.changed());
    writeFile(dir.file("B") + "/b.txt", "b");
    EXPECT_TRUE(changes.changed()) << "the new folder is the one watched";
}

TEST(FolderChanges, AFolderGoneOrAnotherPathIsNotWatched)
{
    TempDir dir;
    const std::string send = dir.file("SEND");
    ASSERT_EQ(mkdir(send.c_str(), 0755), 0);
    CFolderChanges changes;
    ASSERT_TRUE(changes.watch(send));
    EXPECT_FALSE(changes.stillWatches(dir.path()));

    // Removed and made again under the same name: the watch tells of it and
    // ends.
    ASSERT_EQ(rmdir(send.c_str()), 0);
    ASSERT_EQ(mkdir(send.c_str(), 0755), 0);
    EXPECT_TRUE(changes.changed());
    EXPECT_EQ(changes.folder(), "");
    EXPECT_FALSE(changes.stillWatches(send));
    EXPECT_TRUE(changes.changed()) << "no watch, so never taken for calm";

    ASSERT_TRUE(changes.watch(send));
    ASSERT_EQ(rmdir(send.c_str()), 0);
    EXPECT_FALSE(changes.stillWatches(send));
}

} // namespace

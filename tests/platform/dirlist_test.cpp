#include "platform/dirlist.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include "platform/files.h"
#include "support/tempdir.h"

namespace {

using platform::DirEntry;
using testsupport::TempDir;
using testsupport::writeFile;

// Sorted, special files and dangling links left out (a FIFO is never opened),
// names converted to CP932 one by one, unconvertible ones flagged, not mangled.
TEST(DirList, ListsFilesAndFoldersWithTheirCp932Names)
{
    TempDir dir;
    writeFile(dir.file("b.txt"), "bb");
    writeFile(dir.file("\xE8\xA1\xA8.txt"), "hyo"); // 表.txt
    writeFile(dir.file("caf\xC3\xA9"), "x");        // é has no CP932 form
    platform::createDirectory(dir.file("sub"));
    ASSERT_EQ(mkfifo(dir.file("fifo").c_str(), 0600), 0);
    ASSERT_EQ(symlink(dir.file("gone").c_str(), dir.file("dangling").c_str()), 0);

    std::vector<DirEntry> list;
    ASSERT_TRUE(platform::listDirectory(dir.path(), "*", list));
    std::vector<std::string> names;
    for (const DirEntry& e : list)
        names.push_back(e.nativeName);
    ASSERT_EQ(names, (std::vector<std::string>{"b.txt", "caf\xC3\xA9", "sub", "\xE8\xA1\xA8.txt"}));
    EXPECT_FALSE(list[1].nameConverts);
    EXPECT_EQ(list[1].fd.cFileName[0], 0);
    EXPECT_EQ(list[2].fd.dwFileAttributes, FILE_ATTRIBUTE_DIRECTORY);
    EXPECT_TRUE(list[3].nameConverts);
    EXPECT_STREQ(list[3].fd.cFileName, "\x95\x5C.txt");
    EXPECT_EQ(list[3].fd.nFileSizeLow, 3u);
}

} // namespace

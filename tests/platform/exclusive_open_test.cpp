#include "platform/exclusive_open.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "support/tempdir.h"

using platform::ExclusiveRead;
using platform::tryExclusiveRead;

TEST(ExclusiveRead, AFileHeldOpenForWritingIsBusyUntilClosed)
{
    testsupport::TempDir dir;
    const std::string path = dir.file("growing.bin");
    testsupport::writeFile(path, "part");
    const int writer = ::open(path.c_str(), O_WRONLY | O_APPEND);
    ASSERT_GE(writer, 0);

    WIN32_FIND_DATAA fd{};
    int err = -1;
    EXPECT_EQ(tryExclusiveRead(path, true, &fd, &err), ExclusiveRead::busy);
    EXPECT_EQ(err, 0);

    ASSERT_EQ(::write(writer, "ial", 3), 3);
    ::close(writer);
    ASSERT_EQ(tryExclusiveRead(path, true, &fd, &err), ExclusiveRead::ready);
    EXPECT_EQ(fd.nFileSizeLow, 7u);
    EXPECT_EQ(fd.cFileName[0], '\0');
    // A second reader does not stop a lease.
    const int reader = ::open(path.c_str(), O_RDONLY);
    EXPECT_EQ(tryExclusiveRead(path, true, &fd, &err), ExclusiveRead::ready);
    ::close(reader);
}

TEST(ExclusiveRead, WithoutLeasesTheCallerIsToldSo)
{
    testsupport::TempDir dir;
    testsupport::writeFile(dir.file("a"), "x");
    WIN32_FIND_DATAA fd{};
    EXPECT_EQ(tryExclusiveRead(dir.file("a"), false, &fd, nullptr), ExclusiveRead::noLease);
    EXPECT_EQ(fd.nFileSizeLow, 1u);
}

TEST(ExclusiveRead, MissingFilesAndFifosAreMissingAndNeverBlock)
{
    testsupport::TempDir dir;
    WIN32_FIND_DATAA fd{};
    EXPECT_EQ(tryExclusiveRead(dir.file("none"), true, &fd, nullptr), ExclusiveRead::missing);
    ASSERT_EQ(mkfifo(dir.file("pipe").c_str(), 0600), 0);
    EXPECT_EQ(tryExclusiveRead(dir.file("pipe"), true, &fd, nullptr), ExclusiveRead::missing);
    EXPECT_EQ(tryExclusiveRead(dir.path(), true, &fd, nullptr), ExclusiveRead::missing);
}

#include "platform/profile.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include "support/tempdir.h"

namespace {

using platform::GetPrivateProfileStringA;
using platform::WritePrivateProfileStringA;
using testsupport::readFile;
using testsupport::writeFile;

class Profile : public ::testing::Test {
protected:
    std::string ini() const { return m_dir.file("Yuvo.ini"); }
    std::string get(const char* section, const char* key, DWORD size = 261)
    {
        std::string buf(size, 'x');
        return buf.substr(0, GetPrivateProfileStringA(section, key, "(def)", buf.data(), size, ini()));
    }
    testsupport::TempDir m_dir;
};

TEST_F(Profile, WritesChangeOnlyTheValueAndKeepEveryOtherByte)
{
    // An LF line among CRLF ones, blanks around '=', no final line end.
    auto file = [](const std::string& party, const std::string& tail) {
        return "; Yuvo\r\n[SYSTEM]\r\nPARTY = " + party + "\r\nNAME=node\n\r\n[REC1]\r\nNAME=n1" + tail;
    };
    writeFile(ini(), file("old ; not a comment", ""));
    ASSERT_TRUE(WritePrivateProfileStringA("system", "party", "new", ini()));
    EXPECT_EQ(readFile(ini()), file("new", ""));
    ASSERT_TRUE(WritePrivateProfileStringA("REC1", "TRS", "TCP", ini()));
    EXPECT_EQ(readFile(ini()), file("new", "\r\nTRS=TCP\r\n"));

    struct stat before {}, after {};
    ASSERT_EQ(stat(ini().c_str(), &before), 0);
    ASSERT_TRUE(WritePrivateProfileStringA("REC1", "TRS", "TCP", ini())); // same value: not rewritten
    ASSERT_EQ(stat(ini().c_str(), &after), 0);
    EXPECT_EQ(before.st_ino, after.st_ino);
}

TEST_F(Profile, LinesEndWithCrLfLfOrALoneCr)
{
    writeFile(ini(), "[A]\r\nX=1\nY=2\rZ=3\r[B]\rW=4");
    EXPECT_EQ(get("A", "X"), "1");
    EXPECT_EQ(get("A", "Y"), "2");
    EXPECT_EQ(get("A", "Z"), "3");
    EXPECT_EQ(get("B", "W"), "4");
    ASSERT_TRUE(WritePrivateProfileStringA("A", "Z", "33", ini()));
    ASSERT_TRUE(WritePrivateProfileStringA("B", "V", "5", ini()));
    // A key added after a last line without an end takes the file's first.
    EXPECT_EQ(readFile(ini()), "[A]\r\nX=1\nY=2\rZ=33\r[B]\rW=4\r\nV=5\r\n");
}

TEST_F(Profile, RefusesWhatWouldNotReadBackAndCutsOnCharacters)
{
    const std::string before = "[S]\nK=ab\x95\x5C" "cd\n";
    writeFile(ini(), before);
    const char* bad[][3] = {{"S", "K", "a\nb"}, {"S", "K", "a\rb"}, {"S", "K\n", "x"}, {"S\r\n[T]", "K", "x"},
                            {"S]", "K", "x"},   {"S", "K=L", "x"},  {"S", "", "x"},    {"S", ";K", "x"}};
    for (const auto& b : bad)
        EXPECT_FALSE(WritePrivateProfileStringA(b[0], b[1], b[2], ini())) << b[0] << "/" << b[1];
    EXPECT_FALSE(WritePrivateProfileStringA("S", "K", nullptr, ini()));
    EXPECT_EQ(readFile(ini()), before);
    EXPECT_EQ(get("S", "K", 4), "ab"); // 3 bytes would split 表
    // ']' as the second byte of a double-byte character is no bracket.
    EXPECT_TRUE(WritePrivateProfileStringA("\x83\x5D", "K", "x", ini()));
    EXPECT_EQ(get("\x83\x5D", "K"), "x");
}

} // namespace

#include "platform/profile.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstring>
#include <filesystem>

#include "support/tempdir.h"

namespace {

using platform::GetPrivateProfileIntA;
using platform::GetPrivateProfileStringA;
using platform::WritePrivateProfileStringA;
using testsupport::readFile;
using testsupport::writeFile;

class Profile : public ::testing::Test {
protected:
    std::string ini() const { return m_dir.file("Yuvo.ini"); }

    std::string get(const char* section, const char* key, const char* def = "(def)", DWORD size = 261)
    {
        std::string buf(size, 'x');
        const DWORD n = GetPrivateProfileStringA(section, key, def, buf.data(), size, ini());
        EXPECT_EQ(n, std::strlen(buf.c_str()));
        return buf.substr(0, n);
    }

    testsupport::TempDir m_dir;
};

TEST_F(Profile, MissingFileSectionOrKeyGivesTheDefault)
{
    EXPECT_EQ(get("SYSTEM", "PARTY"), "(def)");
    EXPECT_EQ(GetPrivateProfileIntA("SYSTEM", "LISTENPORT", 42000, ini()), 42000u);
    writeFile(ini(), "[SYSTEM]\nPARTY=p\n");
    EXPECT_EQ(get("OTHER", "PARTY"), "(def)");
    EXPECT_EQ(get("SYSTEM", "NAME", ""), "");
    EXPECT_EQ(GetPrivateProfileIntA("SYSTEM", "LIMITDAY", 3, ini()), 3u);
    EXPECT_EQ(get(nullptr, "PARTY"), "(def)");
    EXPECT_FALSE(std::filesystem::exists(m_dir.file("none.ini")));
}

TEST_F(Profile, ReadingTrimsAndMatchesWithoutCase)
{
    writeFile(ini(),
              "; settings\r\n"
              "KEY=outside any section\r\n"
              "  [ system ]  \r\n"
              "  Party  =  my party  \r\n"
              "party=second\r\n"
              "NoEquals\r\n"
              "EMPTY=\r\n"
              "[system]\r\n"
              "NAME=in the second section\r\n");
    EXPECT_EQ(get("SYSTEM", "PARTY"), "my party");  // first match wins
    EXPECT_EQ(get("SYSTEM", "EMPTY"), "");
    EXPECT_EQ(get("SYSTEM", "NOEQUALS"), "(def)");
    EXPECT_EQ(get("SYSTEM", "NAME"), "(def)");      // only the first section counts
    EXPECT_EQ(get("SYSTEM", "KEY"), "(def)");
}

TEST_F(Profile, ValuesAreCutOnCharacterBoundaries)
{
    // 259 ASCII bytes, then 表 (0x95 0x5C): a cut at 260 would split it.
    const std::string value = std::string(259, 'v') + "\x95\x5C" + "tail";
    writeFile(ini(), "[S]\nK=" + value + "\n");
    EXPECT_EQ(get("S", "K"), std::string(259, 'v'));
    EXPECT_EQ(get("S", "K", "", 5), "vvvv");
    writeFile(ini(), "[S]\nK=ab\x95\x5C" "cd\n");
    EXPECT_EQ(get("S", "K", "", 4), "ab");     // size-1 = 3 would split 表
    EXPECT_EQ(get("S", "K", "", 5), "ab\x95\x5C");
    char c = 'x';
    EXPECT_EQ(GetPrivateProfileStringA("S", "K", "", &c, 0, ini()), 0u);
    EXPECT_EQ(c, 'x');
    EXPECT_EQ(get("S", "MISSING", "default", 4), "def");
}

TEST_F(Profile, IntegersParseLikeTheProfileFunction)
{
    writeFile(ini(),
              "[S]\n"
              "A=  42\n"
              "B=-7\n"
              "C=+15\n"
              "D=0x1F\n"
              "E=12abc\n"
              "F=abc\n"
              "G=\n"
              "H=0x\n"
              "I=4294967295\n");
    EXPECT_EQ(GetPrivateProfileIntA("S", "A", 1, ini()), 42u);
    EXPECT_EQ(static_cast<int>(GetPrivateProfileIntA("S", "B", 1, ini())), -7);
    EXPECT_EQ(GetPrivateProfileIntA("S", "C", 1, ini()), 15u);
    EXPECT_EQ(GetPrivateProfileIntA("S", "D", 1, ini()), 31u);
    EXPECT_EQ(GetPrivateProfileIntA("S", "E", 1, ini()), 12u);
    EXPECT_EQ(GetPrivateProfileIntA("S", "F", 1, ini()), 0u);
    EXPECT_EQ(GetPrivateProfileIntA("S", "G", 1, ini()), 1u); // an empty value reads as none
    EXPECT_EQ(GetPrivateProfileIntA("S", "H", 1, ini()), 0u);
    EXPECT_EQ(GetPrivateProfileIntA("S", "I", 1, ini()), 4294967295u);
    EXPECT_EQ(GetPrivateProfileIntA("S", "Z", -3, ini()), static_cast<UINT>(-3));
}

TEST_F(Profile, WriteReplacesTheValueInPlace)
{
    // An LF line among CRLF ones, blanks around '=', no final line end.
    auto file = [](const std::string& party, const std::string& rec1Name) {
        return "; Yuvo\r\n"
               "[SYSTEM]\r\n"
               "PARTY = " + party + "\r\n"
               "NAME=node\n"
               "\r\n"
               "[REC1]\r\n"
               "NAME=" + rec1Name;
    };
    writeFile(ini(), file("old party ; not a comment", "n1"));
    ASSERT_TRUE(WritePrivateProfileStringA("system", "party", "new", ini()));
    EXPECT_EQ(readFile(ini()), file("new", "n1"));
    ASSERT_TRUE(WritePrivateProfileStringA("REC1", "NAME", "", ini()));
    EXPECT_EQ(get("REC1", "NAME"), "");
    ASSERT_TRUE(WritePrivateProfileStringA("REC1", "NAME", "n2", ini()));
    EXPECT_EQ(readFile(ini()), file("new", "n2"));
    // Writing the same value again leaves the file alone (not even rewritten).
    struct stat before {};
    struct stat after {};
    ASSERT_EQ(stat(ini().c_str(), &before), 0);
    ASSERT_TRUE(WritePrivateProfileStringA("REC1", "NAME", "n2", ini()));
    ASSERT_EQ(stat(ini().c_str(), &after), 0);
    EXPECT_EQ(before.st_ino, after.st_ino);
    EXPECT_EQ(readFile(ini()), file("new", "n2"));
}

TEST_F(Profile, MissingKeysAndSectionsAreAppended)
{
    writeFile(ini(),
              "[SYSTEM]\r\n"
              "PARTY=p\r\n"
              "; comment in the section\r\n"
              "NAME=n\r\n"
              "\r\n"
              "[REC1]\r\n"
              "NAME=x");
    ASSERT_TRUE(WritePrivateProfileStringA("SYSTEM", "LIMITDAY", "3", ini()));
    ASSERT_TRUE(WritePrivateProfileStringA("REC1", "TRS", "TCP", ini()));
    ASSERT_TRUE(WritePrivateProfileStringA("REC2", "NAME", "y", ini()));
    EXPECT_EQ(readFile(ini()),
              "[SYSTEM]\r\n"
              "PARTY=p\r\n"
              "; comment in the section\r\n"
              "NAME=n\r\n"
              "LIMITDAY=3\r\n"
              "\r\n"
              "[REC1]\r\n"
              "NAME=x\r\n"
              "TRS=TCP\r\n"
              "[REC2]\r\n"
              "NAME=y\r\n");

    // An LF file gets LF lines; a section without keys gets its first.
    writeFile(ini(), "[A]\n[B]\nK=1\n");
    ASSERT_TRUE(WritePrivateProfileStringA("A", "NEW", "v", ini()));
    EXPECT_EQ(readFile(ini()), "[A]\nNEW=v\n[B]\nK=1\n");
}

TEST_F(Profile, WriteMakesAMissingFile)
{
    ASSERT_TRUE(WritePrivateProfileStringA("SYSTEM", "PARTY", "p", ini()));
    ASSERT_TRUE(WritePrivateProfileStringA("SYSTEM", "NAME", "\x95\x5C", ini()));
    EXPECT_EQ(readFile(ini()), "[SYSTEM]\r\nPARTY=p\r\nNAME=\x95\x5C\r\n");
    EXPECT_EQ(get("SYSTEM", "NAME"), "\x95\x5C");
    EXPECT_FALSE(WritePrivateProfileStringA("S", "K", "v", m_dir.file("no/such/Yuvo.ini")));
}

TEST_F(Profile, RefusesWhatWouldNotReadBack)
{
    const std::string before = "[S]\nK=v\n";
    writeFile(ini(), before);
    EXPECT_FALSE(WritePrivateProfileStringA("S", "K", "a\nb", ini()));
    EXPECT_FALSE(WritePrivateProfileStringA("S", "K", "a\rb", ini()));
    EXPECT_FALSE(WritePrivateProfileStringA("S", "K\n", "x", ini()));
    EXPECT_FALSE(WritePrivateProfileStringA("S\r\n[T]", "K", "x", ini()));
    EXPECT_FALSE(WritePrivateProfileStringA("S]", "K", "x", ini()));
    EXPECT_FALSE(WritePrivateProfileStringA("S", "K=L", "x", ini()));
    EXPECT_FALSE(WritePrivateProfileStringA("S", "", "x", ini()));
    EXPECT_FALSE(WritePrivateProfileStringA("S", ";K", "x", ini()));
    EXPECT_FALSE(WritePrivateProfileStringA("S", "K", nullptr, ini()));
    EXPECT_EQ(readFile(ini()), before);
    // ']' as the second byte of a double-byte character is no bracket.
    EXPECT_TRUE(WritePrivateProfileStringA("\x83\x5D", "K", "x", ini()));
    EXPECT_EQ(get("\x83\x5D", "K"), "x");
}

TEST_F(Profile, WriteLeavesNoTemporaryFiles)
{
    for (int i = 0; i < 5; ++i)
        ASSERT_TRUE(WritePrivateProfileStringA("S", "K", std::to_string(i).c_str(), ini()));
    int count = 0;
    for (const auto& e : std::filesystem::directory_iterator(m_dir.path())) {
        EXPECT_EQ(e.path().filename(), "Yuvo.ini");
        ++count;
    }
    EXPECT_EQ(count, 1);
}

} // namespace

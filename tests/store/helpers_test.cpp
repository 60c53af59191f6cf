#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "store/helpers.h"
#include "support/tempdir.h"

namespace {

using testsupport::exists;
using testsupport::readFile;
using testsupport::TempDir;
using testsupport::writeFile;

// --- getToken ---

TEST(GetToken, SplitsOnCharacterBoundariesAndCutsLongTokens)
{
    struct Case {
        const char* text;
        const char* delim;
        std::size_t size;
        const char* tok;
        const char* rest; // nullptr: the end was reached
    };
    const Case cases[] = {
        {"  OK", nullptr, 64, "OK", nullptr},
        {"USER a.b STATUS", nullptr, 64, "USER", "a.b STATUS"}, // blanks and punctuation stop
        {"a.b STATUS", " ", 64, "a.b", "STATUS"},
        {"STATUS", " ", 64, "STATUS", nullptr}, // the last token is still given
        {"a,b", ",", 64, "a", "b"},
        {"echo.123:45 x", ":", 64, "echo.123", "45 x"}, // a delimiter replaces punctuation
        {"a,b.c d", "", 64, "a,b.c", "d"},              // an empty one splits at blanks only
        {",", nullptr, 64, "", ""},                      // a lone stopper: empty token, not the end
        {"", nullptr, 64, "", nullptr},
        {" \t\r\n", ",", 64, "", nullptr},
        // 0x95 0x5C and 0x83 0x5C are characters whose second byte is '\\';
        // 0xB1 is a half-width katakana.
        {"\x95\x5c\x83\x5c\xb1.next", nullptr, 64, "\x95\x5c\x83\x5c\xb1", "next"},
        {"ab\x95", nullptr, 64, "ab\x95", nullptr},   // a lead byte at the very end stays
        {"ab\x95 cd", " ", 64, "ab\x95", "cd"},       // a lead byte before a blank is a byte of its own
        {"\x81\tx", nullptr, 64, "\x81", "x"},
        {"abcdefgh next", nullptr, 5, "abcd", "next"}, // cut, and the rest skipped
        {"ab\x95\x5c" "c,d", nullptr, 4, "ab", "d"},   // never half a character
    };
    for (const Case& c : cases) {
        char tok[64];
        std::memset(tok, 'Z', sizeof tok);
        const char* rest = getToken(c.text, tok, c.size, c.delim);
        EXPECT_STREQ(tok, c.tok) << c.text;
        if (c.rest == nullptr) {
            EXPECT_EQ(rest, nullptr) << c.text;
        } else {
            ASSERT_NE(rest, nullptr) << c.text;
            EXPECT_STREQ(rest, c.rest) << c.text;
        }
    }
    // No room at all: nothing is written.
    char none = 'N';
    EXPECT_STREQ(getToken("xyz abc", &none, 0, nullptr), "abc");
    EXPECT_EQ(none, 'N');
}

// --- Hex ---

TEST(Hex, TextToBytes)
{
    BYTE out[4] = {0xEE, 0xEE, 0xEE, 0xEE};
    EXPECT_EQ(hexToBin("0aFF", out, sizeof out), 2);
    EXPECT_EQ(out[0], 0x0A);
    EXPECT_EQ(out[1], 0xFF);
    EXPECT_EQ(out[2], 0xEE);

    std::memset(out, 0xEE, sizeof out);
    EXPECT_EQ(hexToBin("abc", out, sizeof out), 0); // odd: nothing written
    EXPECT_EQ(out[0], 0xEE);
    EXPECT_EQ(hexToBin("zz", out, sizeof out), 1); // bad digits count as 0
    EXPECT_EQ(out[0], 0x00);
    EXPECT_EQ(hexToBin("", out, sizeof out), 0);
}

TEST(Hex, TextThatDoesNotFitIsRefusedWhole)
{
    BYTE out[3] = {0xEE, 0xEE, 0xEE};
    EXPECT_EQ(hexToBin("0102030405", out, 2), 0);
    EXPECT_EQ(out[0], 0xEE);
    EXPECT_EQ(out[2], 0xEE);
    EXPECT_EQ(hexToBin("010203", out, 3), 3);
    EXPECT_EQ(out[2], 0x03);
}

TEST(Hex, BytesToLowerCaseTextAndBack)
{
    const BYTE in[] = {0x0A, 0xFF, 0x00, 0x5C};
    char out[16];
    std::memset(out, 'X', sizeof out);
    bytesToHex(2, in, out);
    EXPECT_STREQ(out, "0aff");
    bytesToHex(4, in, out);
    EXPECT_STREQ(out, "0aff005c");
    bytesToHex(0, in, out);
    EXPECT_STREQ(out, "");
    bytesToHex(-3, in, out);
    EXPECT_STREQ(out, "");

    BYTE back[4];
    bytesToHex(4, in, out);
    ASSERT_EQ(hexToBin(out, back, sizeof back), 4);
    EXPECT_EQ(0, std::memcmp(in, back, 4));
}

// --- Shortcuts ---

TEST(Shortcut, ALinkGivesItsTargetAndTheTargetsDataAfresh)
{
    TempDir dir;
    const std::string target = dir.file("report.txt");
    const std::string lnk = dir.file("report.txt.lnk");
    writeFile(target, "12345");
    ASSERT_EQ(createShortcut(lnk.c_str(), target.c_str(), "", dir.path().c_str(), 1), TRUE);

    char path[MAX_PATH];
    WIN32_FIND_DATAA fd {};
    ASSERT_EQ(getShortcutTarget(lnk.c_str(), path, &fd), TRUE);
    EXPECT_EQ(std::string(path), target);
    EXPECT_STREQ(fd.cFileName, "report.txt");
    EXPECT_EQ(fd.nFileSizeLow, 5u);

    writeFile(target, "1234567"); // changed behind the link
    ASSERT_EQ(getShortcutTarget(lnk.c_str(), path, &fd), TRUE);
    EXPECT_EQ(fd.nFileSizeLow, 7u);

    ::unlink(target.c_str()); // dangling: fails and leaves no stale path
    EXPECT_EQ(getShortcutTarget(lnk.c_str(), path, &fd), FALSE);
    EXPECT_STREQ(path, "");
}

TEST(Shortcut, ATargetPathTooLongForTheBufferFails)
{
    TempDir dir;
    // Nest folders until the target's path needs more than MAX_PATH bytes.
    std::string folder = dir.path();
    while (folder.size() < 300) {
        folder += "/" + std::string(40, 'd');
        ASSERT_EQ(::mkdir(folder.c_str(), 0700), 0);
    }
    const std::string target = folder + "/f.txt";
    writeFile(target, "x");
    const std::string lnk = dir.file("f.txt.lnk");
    ASSERT_EQ(createShortcut(lnk.c_str(), target.c_str(), nullptr, nullptr, 1), TRUE);

    char path[MAX_PATH + 8];
    std::memset(path, 'Q', sizeof path);
    WIN32_FIND_DATAA fd {};
    EXPECT_EQ(getShortcutTarget(lnk.c_str(), path, &fd), FALSE);
    EXPECT_EQ(path[MAX_PATH], 'Q');
}

// --- File copy ---

TEST(ShellCopy, CopiesAFileUnderItsNewName)
{
    TempDir dir;
    writeFile(dir.file("a.txt"), "content");
    ::mkdir(dir.file("SEND").c_str(), 0700);
    EXPECT_EQ(shellFileOperation(nullptr, FO_COPY, dir.file("a.txt"), dir.file("SEND/a.txt")),
              ShellOpResult::ok);
    EXPECT_EQ(readFile(dir.file("SEND/a.txt")), "content");
    EXPECT_EQ(readFile(dir.file("a.txt")), "content");

    // An existing target is replaced.
    writeFile(dir.file("a.txt"), "newer");
    EXPECT_EQ(shellFileOperation(nullptr, FO_COPY, dir.file("a.txt"), dir.file("SEND/a.txt")),
              ShellOpResult::ok);
    EXPECT_EQ(readFile(dir.file("SEND/a.txt")), "newer");
}

TEST(ShellCopy, AFailedCopyIsReportedAndLeavesNothing)
{
    TempDir dir;
    writeFile(dir.file("a.txt"), "content");
    EXPECT_EQ(shellFileOperation(nullptr, FO_COPY, dir.file("missing.txt"), dir.file("b.txt")),
              ShellOpResult::failed);
    EXPECT_FALSE(exists(dir.file("b.txt")));
    EXPECT_EQ(shellFileOperation(nullptr, FO_COPY, dir.file("a.txt"), dir.file("no/such/dir/b.txt")),
              ShellOpResult::failed);
    // Only copying is supported.
    EXPECT_EQ(shellFileOperation(nullptr, 1, dir.file("a.txt"), dir.file("b.txt")), ShellOpResult::failed);
    EXPECT_FALSE(exists(dir.file("b.txt")));
    EXPECT_EQ(shellFileOperation(nullptr, FO_COPY, "", dir.file("b.txt")), ShellOpResult::failed);
}

TEST(ShellCopy, AFileIsNeverCopiedOntoItself)
{
    TempDir dir;
    writeFile(dir.file("a.txt"), "content");
    EXPECT_EQ(shellFileOperation(nullptr, FO_COPY, dir.file("a.txt"), dir.file("a.txt")),
              ShellOpResult::failed);
    ASSERT_EQ(::symlink(dir.file("a.txt").c_str(), dir.file("alias.txt").c_str()), 0);
    EXPECT_EQ(shellFileOperation(nullptr, FO_COPY, dir.file("alias.txt"), dir.file("a.txt")),
              ShellOpResult::failed);
    EXPECT_EQ(shellFileOperation(nullptr, FO_COPY, dir.file("a.txt"), dir.file("./a.txt")),
              ShellOpResult::failed);
    EXPECT_EQ(readFile(dir.file("a.txt")), "content");
}

} // namespace

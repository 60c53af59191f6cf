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

TEST(GetToken, SplitsAtBlanksAndPunctuationWithoutADelimiter)
{
    char tok[64];
    EXPECT_EQ(getToken("  OK", tok, sizeof tok, nullptr), nullptr);
    EXPECT_STREQ(tok, "OK");

    const char* text = "USER a.b STATUS";
    const char* rest = getToken(text, tok, sizeof tok, nullptr);
    EXPECT_STREQ(tok, "USER");
    ASSERT_NE(rest, nullptr);
    EXPECT_STREQ(rest, "a.b STATUS");
    rest = getToken(rest, tok, sizeof tok, " ");
    EXPECT_STREQ(tok, "a.b");
    EXPECT_STREQ(rest, "STATUS");
    EXPECT_EQ(getToken(rest, tok, sizeof tok, " "), nullptr);
    EXPECT_STREQ(tok, "STATUS"); // the last token is still given
}

TEST(GetToken, ADelimiterReplacesPunctuation)
{
    char tok[64];
    const char* rest = getToken("a,b", tok, sizeof tok, ",");
    EXPECT_STREQ(tok, "a");
    EXPECT_STREQ(rest, "b");
    // A colon delimiter keeps other punctuation inside the token.
    rest = getToken("echo.123:45 x", tok, sizeof tok, ":");
    EXPECT_STREQ(tok, "echo.123");
    EXPECT_STREQ(rest, "45 x");
    // An empty delimiter splits at blanks only.
    rest = getToken("a,b.c d", tok, sizeof tok, "");
    EXPECT_STREQ(tok, "a,b.c");
    EXPECT_STREQ(rest, "d");
}

TEST(GetToken, ALoneStopperGivesAnEmptyTokenAndTheEnd)
{
    char tok[8] = "junk";
    const char* text = ",";
    const char* rest = getToken(text, tok, sizeof tok, nullptr);
    EXPECT_STREQ(tok, "");
    EXPECT_EQ(rest, text + 1); // the end of the text, not null
    EXPECT_EQ(*rest, '\0');
}

TEST(GetToken, NothingButBlanksIsTheEnd)
{
    char tok[8] = "junk";
    EXPECT_EQ(getToken("", tok, sizeof tok, nullptr), nullptr);
    EXPECT_STREQ(tok, "");
    std::strcpy(tok, "junk");
    EXPECT_EQ(getToken(" \t\r\n", tok, sizeof tok, ","), nullptr);
    EXPECT_STREQ(tok, "");
}

TEST(GetToken, DoubleByteCharactersStayWhole)
{
    char tok[64];
    // 表 is 0x95 0x5C and ソ is 0x83 0x5C: their second byte is '\\', which
    // as a character would be punctuation. 0xB1 is a half-width katakana.
    const char* rest = getToken("\x95\x5c\x83\x5c\xb1.next", tok, sizeof tok, nullptr);
    EXPECT_STREQ(tok, "\x95\x5c\x83\x5c\xb1");
    EXPECT_STREQ(rest, "next");
    // A lead byte at the very end stays in the token.
    EXPECT_EQ(getToken("ab\x95", tok, sizeof tok, nullptr), nullptr);
    EXPECT_STREQ(tok, "ab\x95");
    // A lead byte followed by no second byte (a blank, a control) is a byte
    // of its own: the blank still ends the token.
    rest = getToken("ab\x95 cd", tok, sizeof tok, " ");
    EXPECT_STREQ(tok, "ab\x95");
    EXPECT_STREQ(rest, "cd");
    rest = getToken("\x81\tx", tok, sizeof tok, nullptr);
    EXPECT_STREQ(tok, "\x81");
    EXPECT_STREQ(rest, "x");
}

TEST(GetToken, ATokenLongerThanItsBufferIsCutAndSkipped)
{
    char tok[5];
    std::memset(tok, 'Z', sizeof tok);
    const char* rest = getToken("abcdefgh next", tok, sizeof tok, nullptr);
    EXPECT_STREQ(tok, "abcd");
    EXPECT_STREQ(rest, "next"); // the rest of the long token is not a token

    // Never half a character: "ab" then 表 does not fit four bytes.
    rest = getToken("ab\x95\x5c" "c,d", tok, 4, nullptr);
    EXPECT_STREQ(tok, "ab");
    EXPECT_STREQ(rest, "d");

    // No room at all: nothing is written.
    char none = 'N';
    EXPECT_STREQ(getToken("xyz abc", &none, 0, nullptr), "abc");
    EXPECT_EQ(none, 'N');
}

// --- Hex ---

TEST(Hex, DigitsAndOtherCharacters)
{
    EXPECT_EQ(hexCharToInt('0'), 0);
    EXPECT_EQ(hexCharToInt('9'), 9);
    EXPECT_EQ(hexCharToInt('a'), 10);
    EXPECT_EQ(hexCharToInt('F'), 15);
    EXPECT_EQ(hexCharToInt('g'), 0);
    EXPECT_EQ(hexCharToInt('\x95'), 0);
}

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
}

TEST(Shortcut, ADanglingLinkOrNoLinkFails)
{
    TempDir dir;
    const std::string target = dir.file("gone.txt");
    const std::string lnk = dir.file("gone.txt.lnk");
    writeFile(target, "x");
    ASSERT_EQ(createShortcut(lnk.c_str(), target.c_str(), nullptr, nullptr, 1), TRUE);
    ::unlink(target.c_str());

    char path[MAX_PATH] = "stale";
    WIN32_FIND_DATAA fd {};
    EXPECT_EQ(getShortcutTarget(lnk.c_str(), path, &fd), FALSE);
    EXPECT_STREQ(path, "");

    writeFile(dir.file("plain.lnk"), "not a link");
    EXPECT_EQ(getShortcutTarget(dir.file("plain.lnk").c_str(), path, &fd), FALSE);
    EXPECT_EQ(getShortcutTarget(dir.file("missing.lnk").c_str(), path, &fd), FALSE);
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

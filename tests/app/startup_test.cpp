// Start-up's switches: only an exact, case-sensitive match sets a flag, and
// the console lines of the flags come in one fixed order whatever the order
// on the command line.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "app/tandrel_app.h"
#include "app/switches.h"

namespace {

struct Flags {
    int debug, pasv, server, client, cash, skype;
    bool operator==(const Flags&) const = default;
};

Flags parsed(const std::vector<std::string>& args)
{
    g_bDebugMode = g_bPasvMode = g_bServerOnly = g_bClientOnly = g_bCatalogCashMode = 0;
    g_bUseSkype = 1;
    parseSwitches(args);
    return {g_bDebugMode, g_bPasvMode, g_bServerOnly, g_bClientOnly, g_bCatalogCashMode, g_bUseSkype};
}

std::string consoleLines()
{
    std::FILE* f = std::tmpfile();
    printSwitchLines(f);
    std::rewind(f);
    std::string out;
    for (int c; (c = std::fgetc(f)) != EOF;)
        out += char(c);
    std::fclose(f);
    return out;
}

} // namespace

TEST(Startup, SwitchesMatchExactlyAndPrintInAFixedOrder)
{
    const Flags none{0, 0, 0, 0, 0, 1};
    const struct {
        std::vector<std::string> args;
        Flags flags;
    } table[] = {
        {{"-d386", "-pasv", "-Server", "-CLIENTS", "CATALOGCASH", "-NOSKYPE "}, none},
        {{"-D3860", " -D386", "-D38", "--D386", "/D386", "-D386\n"}, none},
        {{"-PASV", "-PASV"}, {0, 1, 0, 0, 0, 1}},
        {{"x", "-NOSKYPE", "y"}, {0, 0, 0, 0, 0, 0}},
        {{"-NOSKYPE", "-CATALOGCASH", "-CLIENT", "-SERVER", "-PASV", "-D386"}, {1, 1, 1, 1, 1, 0}},
    };
    for (const auto& c : table) {
        SCOPED_TRACE(testing::PrintToString(c.args));
        EXPECT_EQ(parsed(c.args), c.flags);
    }
    // The last case set every flag, in reverse order on the command line.
    EXPECT_EQ(consoleLines(), "DEBUG_MODE ON\nPASV_MODE ON\nSERVERONLY_MODE ON\nCLIENTONLY_MODE ON\n"
                              "CATALOGCASH_MODE ON\nNO SKYPE MODE\n");
    parsed({"-CLIENT", "-PASV"});
    EXPECT_EQ(consoleLines(), "PASV_MODE ON\nCLIENTONLY_MODE ON\n");
    parsed({});
    EXPECT_EQ(consoleLines(), "");
}

#include "app/switches.h"

int g_bDebugMode = 0;
int g_bPasvMode = 0;
int g_bServerOnly = 0;
int g_bClientOnly = 0;
int g_bCatalogCashMode = 0;
int g_bUseSkype = 1;

void parseSwitches(const std::vector<std::string>& args)
{
    struct Switch {
        const char* text;
        int* flag;
        int value;
    };
    static const Switch switches[] = {
        {"-D386", &g_bDebugMode, 1},           {"-PASV", &g_bPasvMode, 1},
        {"-SERVER", &g_bServerOnly, 1},        {"-CLIENT", &g_bClientOnly, 1},
        {"-CATALOGCASH", &g_bCatalogCashMode, 1}, {"-NOSKYPE", &g_bUseSkype, 0},
    };
    for (const std::string& arg : args) {
        for (const Switch& s : switches) {
            if (arg == s.text)
                *s.flag = s.value;
        }
    }
}

void printSwitchLines(std::FILE* out)
{
    if (g_bDebugMode)
        std::fprintf(out, "DEBUG_MODE ON\n");
    if (g_bPasvMode)
        std::fprintf(out, "PASV_MODE ON\n");
    if (g_bServerOnly)
        std::fprintf(out, "SERVERONLY_MODE ON\n");
    if (g_bClientOnly)
        std::fprintf(out, "CLIENTONLY_MODE ON\n");
    if (g_bCatalogCashMode)
        std::fprintf(out, "CATALOGCASH_MODE ON\n");
    if (!g_bUseSkype)
        std::fprintf(out, "NO SKYPE MODE\n");
    std::fflush(out);
}

Switches commandLineSwitches()
{
    Switches s;
    s.pasvMode = g_bPasvMode;
    s.serverOnly = g_bServerOnly;
    s.clientOnly = g_bClientOnly;
    s.catalogCashMode = g_bCatalogCashMode;
    s.useSkype = g_bUseSkype;
    return s;
}

// The command line's six switches: their flags, set once by start-up before
// any window exists and only read afterwards, and their console lines. The
// lower layers read the flags they obey back through the settings interface
// (commandLineSwitches, which the main window hands on).
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "store/settings.h"

extern int g_bDebugMode;       // "-D386"
extern int g_bPasvMode;        // "-PASV"
extern int g_bServerOnly;      // "-SERVER"
extern int g_bClientOnly;      // "-CLIENT"
extern int g_bCatalogCashMode; // "-CATALOGCASH"
extern int g_bUseSkype;        // "-NOSKYPE" sets it to 0

// Sets the flags from the arguments after the program's name. Only an
// exact, case-sensitive match counts; anything else is ignored.
void parseSwitches(const std::vector<std::string>& args);
// The console lines of the flags that are set, in a fixed order.
void printSwitchLines(std::FILE* out);
// The flags that the lower layers obey.
Switches commandLineSwitches();

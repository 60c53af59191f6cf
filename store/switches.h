// Command-line switch flags: set once by start-up before any window exists,
// only read afterwards.
#pragma once

extern int g_bDebugMode;        // "-D386"
extern int g_bPasvMode;         // "-PASV"
extern int g_bServerOnly;       // "-SERVER"
extern int g_bClientOnly;       // "-CLIENT"
extern int g_bCatalogCashMode;  // "-CATALOGCASH"
extern int g_bUseSkype;         // "-NOSKYPE" sets it to 0

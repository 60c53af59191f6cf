#include "store/switches.h"

int g_bDebugMode = 0;
int g_bPasvMode = 0;
int g_bServerOnly = 0;
int g_bClientOnly = 0;
int g_bCatalogCashMode = 0;
int g_bUseSkype = 1;

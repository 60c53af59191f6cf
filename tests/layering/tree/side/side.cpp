#include "low/low.h" // the layer below; high/high.h is not
#include "low/inner/inner.h"
#  include "high/high.h"
#include "./../high/high.h"
#include <low/inner/inner.h>
#include "res_icons.h"

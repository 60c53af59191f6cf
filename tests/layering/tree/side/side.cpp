#include "low/low.h" // the layer below
#include "low/inner/inner.h"
#  include "high/high.h"
#include "res_icons.h"

#include "low/inner/inner.h"
#include "high/high.h"

#include "low/inner/inner.h"
#include "high/high.h"
#include "../low.h"
#include "inner.h"

#include "low/low.h"
#include "high/high.h"
#include "../high/high.h"
#include <high/high.h>
#include "inner/inner.h"
#include <vector>
#include "../../outside.h"

#pragma once
#include "low/low.h"
#include <vector>

// pngwriter.cpp still includes this name; the header lives in the runtime.
#pragma once
#include "kavira/numbers.hpp"

// The library's own inner workings, for its sources and its tests: nothing
// here is part of the interface that the programs use.
#pragma once

#include "volume.h"

// The ways to compute block_checksum and all_zero: 256-bit vectors, 64-bit
// words (little-endian processors), or one long at a time.  Each gives the
// same result; the best one that the processor has (BestPath) is used unless
// a test selects another.  false when the processor cannot run the path
// asked for.
enum KernelPath { Avx2Path, WordPath, PlainPath, BestPath };
bool select_kernel_path(KernelPath path);

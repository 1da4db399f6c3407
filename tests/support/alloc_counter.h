#pragma once

#include <cstddef>

// Number of operator new calls so far in this test program. Linking alloc_counter.cpp
// replaces the global operator new/delete with counting versions.
std::size_t AllocationCount();

// Allocation counter shared by the no-allocation tests.
#pragma once

// Allocations counted on this thread while t_counting is true.
extern thread_local bool t_counting;
extern thread_local int t_allocs;

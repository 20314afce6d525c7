#pragma once

// Makes the allocator give large blocks (a long list's row array, its sort keys, the texts of
// a refresh) straight back to the system when they are freed. By default glibc raises its
// threshold for that after the first such block is freed, and from then on a refresh every
// minute leaves the heap holding several lists' worth of memory. Call once at start.
void keepLargeBlocksOutOfTheHeap();

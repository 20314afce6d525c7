#include "memorytuning.h"

#if __has_include(<malloc.h>)
#include <malloc.h>
#endif

void keepLargeBlocksOutOfTheHeap()
{
#ifdef M_MMAP_THRESHOLD
    // Setting the threshold also fixes it: glibc stops moving it up.
    mallopt(M_MMAP_THRESHOLD, 1024 * 1024);
#endif
}

#include "memorytuning.h"

#ifdef __GLIBC__
#include <malloc.h>
#endif

void keepLargeBlocksOutOfTheHeap()
{
#ifdef __GLIBC__
    // Setting the threshold also fixes it: glibc stops moving it up.
    mallopt(M_MMAP_THRESHOLD, 1024 * 1024);
#endif
}

#include "platform/QORProcessHeap.h"

#include <malloc.h>

void QORProcessHeap::ShareAmongThreads() {
#ifdef M_ARENA_MAX
  mallopt(M_ARENA_MAX, 1);
#endif
}

#include "platform/QORProcessHeap.h"

// The process heap is already one heap shared by every thread.
void QORProcessHeap::ShareAmongThreads() {}

#pragma once

// The process's heap, for a program (not a module: the heap is its host's) to set once, first in
// main, before any thread starts.
class QORProcessHeap {
 public:
  // One heap for every thread. Most of ours are watchers that allocate a few bytes once, and a
  // heap of its own costs each thread a large reservation and its first pages at start-up, a
  // fifth of a short run; the period threads never allocate, so nothing waits on the shared one.
  static void ShareAmongThreads();
};

#pragma once

class IQOREvent;
class QORThreadBasic;

// The loop a QORThreadBasic runs. DoWork runs on the worker thread and must return soon after
// stopEvent is signalled; its result becomes the thread's exit code (1 for true, 0xFFFFFFFF for
// false).
class IQORThreadBasicWorker {
 public:
  virtual ~IQORThreadBasicWorker() = default;
  virtual bool DoWork(QORThreadBasic& thread, IQOREvent& stopEvent) = 0;
};

#include "platform/QOREventHandle.h"

#include <gtest/gtest.h>

#include <memory>

#include "TempStateRoot.h"
#include "platform/QORWait.h"
#include "platform/QORWinError.h"

namespace {

bool Signalled(IQOREvent& event) {
  return QORWaitForSingle(event, 0) == kQORWaitObject0;
}

TEST(QOREventHandle, DuplicateSharesTheSignalAndOutlivesTheOriginal) {
  qortest::TempStateRoot root;
  for (const bool named : {false, true}) {
    SCOPED_TRACE(named);
    std::unique_ptr<IQOREvent> original =
        named ? QORCreateNamedEvent(L"Global\\DuplicateTest", false, false)
              : QORCreateEvent(false, false);
    ASSERT_NE(original, nullptr);
    std::unique_ptr<IQOREvent> copy;
    ASSERT_EQ(ERROR_SUCCESS, QORDuplicateEvent(QOREventHandle(original.get()), &copy));
    ASSERT_NE(copy, nullptr);
    ASSERT_NE(copy.get(), original.get());
    // One signal, seen through either handle, released once (auto reset).
    original->Set();
    EXPECT_TRUE(Signalled(*copy));
    EXPECT_FALSE(Signalled(*original));
    copy->Set();
    EXPECT_TRUE(Signalled(*original));
    // The caller closes theirs: that handle names nothing any more, and the copy still works
    // and may itself be duplicated.
    const HANDLE closed = QOREventHandle(original.get());
    original.reset();
    std::unique_ptr<IQOREvent> again;
    if (!named) {
      EXPECT_EQ(ERROR_INVALID_HANDLE, QORDuplicateEvent(closed, &again));
      EXPECT_EQ(again, nullptr);
    }
    copy->Set();
    EXPECT_TRUE(Signalled(*copy));
    ASSERT_EQ(ERROR_SUCCESS, QORDuplicateEvent(QOREventHandle(copy.get()), &again));
    again->Set();
    EXPECT_TRUE(Signalled(*copy));
  }
}

TEST(QOREventHandle, HandlesThatNameNoEventAreRefusedUntouched) {
  int notAnEvent = 0;
  std::unique_ptr<IQOREvent> out = QORCreateEvent(true, false);
  EXPECT_EQ(ERROR_INVALID_HANDLE, QORDuplicateEvent(nullptr, &out));
  EXPECT_EQ(out, nullptr);
  EXPECT_EQ(ERROR_INVALID_HANDLE, QORDuplicateEvent(&notAnEvent, &out));
  EXPECT_EQ(notAnEvent, 0);
  EXPECT_EQ(ERROR_INVALID_PARAMETER, QORDuplicateEvent(&notAnEvent, nullptr));
}

}  // namespace

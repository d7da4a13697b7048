#include "mornik/flow/pool/Streamed.hpp"

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "mornik/concurrency/DispatchQueue.hpp"

#include "tests/support/QueueGate.hpp"

namespace mornik {
namespace {

struct Document {
  Streamed<std::string> title{"untitled", DispatchQueue("test.streamed")};
  Streamed<std::vector<int>> marks{{}, DispatchQueue("test.streamed")};
};

TEST(Streamed, PublishesEveryWriteOnItsQueueAndReadsTheInitialValueFromAClearedBuffer) {
  DispatchQueue queue("test.streamed");
  Streamed<int> count(1, queue);
  std::vector<int> seen;  // queue only
  std::string ranOn;
  count.signal()->onUpdate([&](int value) {
    seen.push_back(value);
    ranOn = DispatchQueue::currentLabel();
  });
  count = 3;
  count = 3;  // equal values publish too
  EXPECT_EQ(static_cast<int>(count), 3);
  count.signal()->clearBuffer();
  EXPECT_EQ(count.get(), 1);  // the initial value, not the last write
  count.set(7);
  EXPECT_EQ(count.get(), 7);
  test::drain(queue);
  EXPECT_EQ(seen, (std::vector<int>{1, 3, 3, 7}));
  EXPECT_EQ(ranOn, "test.streamed");
}

TEST(Streamed, CopiesShareTheSignalAssignmentWritesAndModifyPublishesOnce) {
  Document original;
  Document copy = original;  // shares the signals
  copy.title = "notes";
  EXPECT_EQ(original.title.get(), "notes");
  Document other;
  other = original;  // writes the values; the signals stay apart
  other.title = "draft";
  EXPECT_EQ(original.title.get(), "notes");

  std::vector<std::vector<int>> seen;  // the signal's queue only
  original.marks.signal()->onUpdate([&](const std::vector<int>& v) { seen.push_back(v); });
  const std::size_t size = copy.marks.modify([](std::vector<int>& marks) {
    marks.push_back(1);
    marks.push_back(2);
    return marks.size();
  });
  EXPECT_EQ(size, 2U);
  test::drain(original.marks.signal()->queue());
  EXPECT_EQ(seen, (std::vector<std::vector<int>>{{}, {1, 2}}));
}

}  // namespace
}  // namespace mornik

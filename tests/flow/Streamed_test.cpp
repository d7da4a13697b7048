#include "mornik/flow/Streamed.hpp"

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "mornik/concurrency/DispatchQueue.hpp"

#include "tests/support/QueueGate.hpp"

namespace mornik {
namespace {

using test::drain;

struct Document {
  Streamed<std::string> title{"untitled", DispatchQueue("test.streamed")};
  Streamed<std::vector<int>> marks{{}, DispatchQueue("test.streamed")};
};

TEST(Streamed, ReadsTheLatestWriteAndFallsBackToTheInitialValueWhenTheBufferIsCleared) {
  Streamed<int> count(1, DispatchQueue("test.streamed"));
  EXPECT_EQ(count.get(), 1);
  EXPECT_EQ(count.signal()->currentValue(), 1);
  count = 5;
  EXPECT_EQ(static_cast<int>(count), 5);
  count.signal()->clearBuffer();
  EXPECT_EQ(count.get(), 1);  // the initial value, not the last write
  EXPECT_EQ(count.initialValue(), 1);
  count.set(7);
  EXPECT_EQ(count.get(), 7);
  EXPECT_EQ(count.initialValue(), 1);
}

TEST(Streamed, EveryWriteIsPublishedOnTheGivenQueueAlsoWhenTheValueIsUnchanged) {
  DispatchQueue queue("test.streamed");
  Streamed<int> count(0, queue);
  std::vector<int> seen;  // queue only
  std::vector<std::string> ranOn;
  count.signal()->onUpdate([&](int value) {
    seen.push_back(value);
    ranOn.push_back(DispatchQueue::currentLabel());
  });
  count = 3;
  count = 3;
  drain(queue);
  EXPECT_EQ(seen, (std::vector<int>{0, 3, 3}));
  EXPECT_EQ(ranOn, (std::vector<std::string>(3, "test.streamed")));
}

TEST(Streamed, ModifyChangesOneCopyAndPublishesItOnceReturningTheBlocksResult) {
  DispatchQueue queue("test.streamed");
  Document document;
  std::vector<std::vector<int>> seen;  // the signal's queue only
  document.marks.signal()->onUpdate(queue, [&](const std::vector<int>& v) { seen.push_back(v); });
  const std::size_t size = document.marks.modify([](std::vector<int>& marks) {
    marks.push_back(1);
    marks.push_back(2);
    return marks.size();
  });
  document.marks.modify([](std::vector<int>& marks) { marks.push_back(3); });
  EXPECT_EQ(size, 2U);
  EXPECT_EQ(document.marks.get(), (std::vector<int>{1, 2, 3}));
  drain(queue);
  EXPECT_EQ(seen, (std::vector<std::vector<int>>{{}, {1, 2}, {1, 2, 3}}));
}

TEST(Streamed, CopiesShareOneSignalWhileAssignmentWritesTheValue) {
  Document original;
  Document copy = original;  // shares the signals
  EXPECT_EQ(copy.title.signal(), original.title.signal());
  copy.title = "notes";
  EXPECT_EQ(original.title.get(), "notes");

  Document other;
  other = original;  // writes the values; the signals stay apart
  EXPECT_NE(other.title.signal(), original.title.signal());
  EXPECT_EQ(other.title.get(), "notes");
  other.title = "draft";
  EXPECT_EQ(original.title.get(), "notes");
  EXPECT_EQ(other.title.initialValue(), "untitled");
}

}  // namespace
}  // namespace mornik

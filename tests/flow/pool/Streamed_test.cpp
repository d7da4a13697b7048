#include "mornik/flow/pool/Streamed.hpp"

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "mornik/concurrency/DispatchQueue.hpp"

#include "tests/support/Recorder.hpp"

namespace mornik {
namespace {

TEST(Streamed, PublishesEveryWriteAndReadsTheInitialValueFromAClearedBuffer) {
  DispatchQueue queue("test.streamed");
  Streamed<int> count(1, queue);
  test::Recorder<int> recorder(queue);
  count.signal()->onUpdate(recorder.block());  // on the Streamed's queue
  count = 3;
  count = 3;  // equal values publish too
  EXPECT_EQ(static_cast<int>(count), 3);
  count.signal()->clearBuffer();
  EXPECT_EQ(count.get(), 1);  // the initial value, not the last write
  EXPECT_EQ(count.modify([](int& n) { return n += 6; }), 7);
  EXPECT_EQ(count.get(), 7);
  EXPECT_EQ(recorder.values(), (std::vector<int>{1, 3, 3, 7}));
  EXPECT_EQ(recorder.lastQueue(), "test.streamed");
}

struct Document {
  Streamed<std::string> title{"untitled"};
};

TEST(Streamed, CopiesShareOneSignalWhetherConstructedOrAssigned) {
  Document original;
  Document constructed = original;
  Document assigned{Streamed<std::string>("other")};
  const auto formerSignal = assigned.title.signal();
  assigned = original;
  EXPECT_EQ(assigned.title.signal(), original.title.signal());
  EXPECT_EQ(assigned.title.initialValue(), "untitled");
  constructed.title = "notes";
  EXPECT_EQ(assigned.title.get(), "notes");
  assigned.title = "draft";
  EXPECT_EQ(original.title.get(), "draft");
  EXPECT_EQ(formerSignal->currentValue(), "other");  // left alone
}

}  // namespace
}  // namespace mornik

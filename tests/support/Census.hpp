#pragma once

#include <atomic>
#include <memory>
#include <utility>

namespace mornik::test {

// Counts the live members made from it. A member captured by a block (or
// handed to a retainer) tells whether that block, and whatever owns it, is
// still alive. Members share the census, so a member that outlives a test
// (in a delivery still queued) never touches freed memory.
class Census : public std::enable_shared_from_this<Census> {
 public:
  class Member {
   public:
    explicit Member(std::shared_ptr<Census> census) : census_(std::move(census)) {
      census_->alive_.fetch_add(1);
    }
    Member(const Member& other) : Member(other.census_) {}
    Member& operator=(const Member&) = delete;
    ~Member() { census_->alive_.fetch_sub(1); }

   private:
    std::shared_ptr<Census> census_;
  };

  static std::shared_ptr<Census> make() { return std::make_shared<Census>(); }

  // A member to capture by value.
  Member member() { return Member(shared_from_this()); }
  // A member to hand to retain().
  std::shared_ptr<Member> object() { return std::make_shared<Member>(shared_from_this()); }
  int alive() const { return alive_.load(); }

 private:
  std::atomic<int> alive_{0};
};

}  // namespace mornik::test

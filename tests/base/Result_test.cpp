#include "mornik/base/Result.hpp"

#include <memory>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace mornik {
namespace {

Result<int> parseNumber(const std::string& text) {
  try {
    std::size_t used = 0;
    const int value = std::stoi(text, &used);
    if (used != text.size()) return WTF("trailing text in " + text, 1);
    return value;
  } catch (const std::exception&) {
    return WTF("not a number: " + text, 2);
  }
}

void expectFailure(const auto& result, std::string_view domain, std::int64_t code,
                   std::string_view message) {
  ASSERT_TRUE(result.isFailure()) << result;
  EXPECT_EQ(result.error().domain(), domain);
  EXPECT_EQ(result.error().code(), code);
  EXPECT_EQ(result.error().localizedDescription(), message);
}

TEST(Result, QueriesConstructorsAndPrintedForm) {
  const Result<int> ok = 3;
  const Result<int> bad = WTF("nope", 4);
  EXPECT_EQ(ok.maybeSuccess(), 3);
  EXPECT_EQ(ok.maybeFailure(), std::nullopt);
  EXPECT_EQ(bad.maybeSuccess(), std::nullopt);
  EXPECT_EQ(bad.maybeFailure(), WTF("nope", 4));
  EXPECT_EQ(bad.valueOr(9), 9);
  EXPECT_THROW((void)ok.error(), std::logic_error);
  EXPECT_THROW((void)bad.value(), Error);
  EXPECT_TRUE(ok.asVoid().isSuccess());
  EXPECT_EQ(bad.asVoid().error(), WTF("nope", 4));
  expectFailure(Result<int>::wtf("x", 5), "FTW", 5, "x");
  expectFailure(Result<int>::notImplemented(), "FTW", 0, "something not implemented");
  expectFailure(Result<std::string>::notImplemented("export"), "FTW", 0, "export not implemented");
  EXPECT_EQ(result(std::string("v")).value(), "v");
  EXPECT_EQ(Result<std::vector<int>>::success(3, 7).value(), (std::vector<int>{7, 7, 7}));
  const Result<std::string> converted = "text";
  EXPECT_EQ(converted.value(), "text");
  std::ostringstream out;
  out << converted << ' ' << bad;
  EXPECT_EQ(out.str(), "success(\"text\") failure([code: 4] nope |  @ FTW)");
}

TEST(Result, MapAndFlatMapShortCircuitFailures) {
  int calls = 0;
  auto twice = [&](int v) {
    ++calls;
    return v * 2;
  };
  EXPECT_EQ((Result<int>(4) | twice).value(), 8);
  EXPECT_EQ((parseNumber("21") | twice | [](int v) { return std::to_string(v); }).value(), "42");
  const Result<int> chained = parseNumber("x") | twice;
  expectFailure(chained | twice, "FTW", 2, "not a number: x");
  EXPECT_EQ(calls, 2);
  const Result<int> flat =
      Result<std::string>("12") | [](const std::string& s) { return parseNumber(s); };
  EXPECT_EQ(flat.value(), 12);
  expectFailure(Result<std::string>("1a").flatMap(parseNumber), "FTW", 1, "trailing text in 1a");
  const Result<void> asVoid = Result<int>(1).map([](int) {});
  EXPECT_TRUE(asVoid.isSuccess());
  // On an rvalue, map moves the value.
  auto owned = Result<std::unique_ptr<int>>(std::make_unique<int>(5));
  EXPECT_EQ(std::move(owned).map([](std::unique_ptr<int> p) { return *p + 1; }).value(), 6);
}

TEST(Result, FlatMapTryTurnsAThrowIntoAFailure) {
  const Result<int> thrown =
      Result<int>(1).flatMapTry([](int) -> int { throw std::runtime_error("in block"); });
  expectFailure(thrown, "std::runtime_error", 0, "in block");
  const Result<int> rethrownError =
      Result<int>(1).flatMapTry([](int) -> int { throw WTF("mine", 8); });
  expectFailure(rethrownError, "FTW", 8, "mine");
  EXPECT_EQ(Result<int>(1).flatMapTry([](int v) { return v + 1; }).value(), 2);
  EXPECT_EQ(Result<int>(1).flatMapTry([](int v) { return Result<int>(v + 2); }).value(), 3);
  int calls = 0;
  expectFailure(Result<int>(WTF("first", 1)).flatMapTry([&](int) { return ++calls; }), "FTW", 1,
                "first");
  EXPECT_EQ(calls, 0);
}

struct Account {
  int balance = 0;
  bool frozen = false;
};

TEST(Result, IfThenIfThenElseAndIfError) {
  auto addTen = [](int v) { return Result<int>(v + 10); };
  EXPECT_EQ(Result<int>(1).ifThen(true, addTen).value(), 11);
  EXPECT_EQ(Result<int>(1).ifThen(false, addTen).value(), 1);
  EXPECT_EQ(Result<int>(5).ifThen([](int v) { return v > 3; }, addTen).value(), 15);
  EXPECT_EQ(Result<int>(2).ifThen([](int v) { return v > 3; }, addTen).value(), 2);
  expectFailure(Result<int>(WTF("f", 1)).ifThen(true, addTen), "FTW", 1, "f");

  const Result<Account> frozen = Account{100, true};
  auto reject = [](const Account&) { return Result<std::string>(WTF("frozen", 9)); };
  auto describeIt = [](const Account& a) { return Result<std::string>(std::to_string(a.balance)); };
  expectFailure(frozen.ifThenElse(&Account::frozen, reject, describeIt), "FTW", 9, "frozen");
  EXPECT_EQ(
      Result<Account>(Account{50, false}).ifThenElse(&Account::frozen, reject, describeIt).value(),
      "50");
  EXPECT_EQ(Result<int>(3)
                .flatMapIf([](int v) { return v % 2 == 1; },
                           [](int) { return Result<std::string>("odd"); },
                           [](int) { return Result<std::string>("even"); })
                .value(),
            "odd");
  // ifError replaces only a matching code.
  auto fallback = [] { return Result<int>(0); };
  EXPECT_EQ(Result<int>(WTF("missing", 5)).ifError(5, fallback).value(), 0);
  expectFailure(Result<int>(WTF("other", 4)).ifError(5, fallback), "FTW", 4, "other");
  EXPECT_EQ(Result<int>(7).ifError(5, fallback).value(), 7);
}

struct Model {
  int count = 0;
  std::optional<Error> lastError;
  void setCount(int value) { count = value * 100; }
};

class CollectingFlow : public ErrorFlow {
 public:
  void append(const Error& error) override { errors.push_back(error.localizedDescription()); }
  void forwardErrors(const std::shared_ptr<ErrorFlow>&) override {}
  std::vector<std::string> errors;
};

// onSuccess/onFailure, the assignments and failing act on the matching case
// only and pass the result on.
TEST(Result, SideEffectsRunOnTheMatchingCaseOnly) {
  int successes = 0;
  int failures = 0;
  for (const Result<int>& r : {Result<int>(2), Result<int>(WTF("e", 1))}) {
    const Result<int> same = r.onSuccess([&](int v) {
                                successes += v;
                              }).onFailure([&](const Error& e) { failures += int(e.code()); });
    EXPECT_EQ(same, r);
  }
  EXPECT_EQ(successes * 10 + failures, 21);
  Model model;
  (void)Result<int>(3).assignRSuccess(&Model::count, model);
  EXPECT_EQ(model.count, 3);
  (void)Result<int>(4).assignRSuccess(&Model::setCount, model);
  (void)Result<int>(WTF("x", 1)).assignRSuccess(&Model::count, model);
  EXPECT_EQ(model.count, 400);
  (void)Result<int>(WTF("x", 1)).assignRError(&Model::lastError, model);
  EXPECT_EQ(model.lastError, WTF("x", 1));
  (void)Result<void>(WTF("y", 2))
      .assignRError([](Model& m, const Error& e) { m.lastError = e; }, model);
  EXPECT_EQ(model.lastError, WTF("y", 2));
  auto sink = std::make_shared<CollectingFlow>();
  (void)Result<int>(WTF("lost", 3)).failing(sink);
  (void)Result<int>(1).failing(sink);
  (void)Result<void>(WTF("void", 4)).failing(*sink);
  std::weak_ptr<CollectingFlow> weak = sink;
  (void)Result<int>(WTF("weak", 5)).failing(weak);
  std::shared_ptr<CollectingFlow> none;
  (void)Result<int>(WTF("nowhere", 6)).failing(none);
  EXPECT_EQ(sink->errors, (std::vector<std::string>{"lost", "void", "weak"}));
}

TEST(ResultVoid, OperationsWithoutAValue) {
  int calls = 0;
  const Result<int> mapped = Result<void>().map([] { return 5; });
  EXPECT_EQ(mapped.value(), 5);
  EXPECT_EQ((Result<void>() | [] { return Result<std::string>("s"); }).value(), "s");
  expectFailure(
      Result<void>(WTF("v", 1)) | [&] { return ++calls; }, "FTW", 1, "v");
  EXPECT_EQ(calls, 0);
  expectFailure(Result<void>().flatMapTry([] { throw std::logic_error("l"); }), "std::logic_error",
                0, "l");
  EXPECT_EQ(Result<void>().ifThen(true, [] { return Result<void>(WTF("then", 3)); }).error().code(),
            3);
  EXPECT_TRUE(Result<void>(WTF("x", 5)).ifError(5, [] { return Result<void>(); }).isSuccess());
  EXPECT_TRUE(Result<void>().maybeSuccess());
  EXPECT_EQ(Result<void>(), Result<void>::success());
}

TEST(ResultCombine, AllSucceedGivesTheTupleElseTheFirstFailureInArgumentOrder) {
  const auto combined = combine(Result<int>(1), Result<std::string>("b"), Result<double>(2.5));
  EXPECT_EQ(combined.value(), std::make_tuple(1, std::string("b"), 2.5));
  const Error e1 = WTF("e1", 1);
  const Error e2 = WTF("e2", 2);
  EXPECT_TRUE(combine(Result<int>(e1), Result<int>(e2)).error().isIdenticalTo(e1));
  EXPECT_TRUE(combine(Result<int>(0), Result<int>(e2), Result<int>(e1)).error().isIdenticalTo(e2));
}

TEST(ResultOptionals, AsNonOptionalAsResultAndModify) {
  EXPECT_EQ(asNonOptional(std::optional<int>(3)).value(), 3);
  expectFailure(asNonOptional(std::optional<int>()), "FTW", 0,
                "nil for optional value of type <Int>");
  expectFailure(asNonOptional(std::optional<std::string>(), "config"), "FTW", 0,
                "[config] nil for optional value of type <String>");
  expectFailure(asNonOptional(std::optional<Account>()), "FTW", 0,
                "nil for optional value of type <Account>");
  EXPECT_EQ(asResult(std::optional<int>(2), [](int v) { return v * 3; }).value(), 6);
  EXPECT_EQ(asResult(std::optional<int>(2), [](int v) { return Result<int>(v - 3); }).value(), -1);
  expectFailure(asResult(std::optional<double>(), [](double v) { return v; }), "FTW", 0,
                "nil for optional value of type <Double>");
  EXPECT_EQ(modify(std::optional<int>(4), [](int v) { return std::to_string(v); }), "4");
  EXPECT_EQ(modify(std::optional<int>(), [](int v) { return v; }), std::nullopt);
}

TEST(ResultUTF8, ValidatingUTF8) {
  EXPECT_EQ(validatingUTF8("gr\xC3\xBC\xC3\x9F").value(), "gr\xC3\xBC\xC3\x9F");
  EXPECT_EQ(validatingUTF8("\xF0\x9F\x98\x80").value(), "\xF0\x9F\x98\x80");
  for (const char* bad : {"\xC3", "\xC0\xAF", "\xED\xA0\x80", "\xF4\x90\x80\x80", "\xFF"}) {
    expectFailure(validatingUTF8(bad), "FTW", 0, "can't validate cString");
  }
  expectFailure(validatingUTF8(static_cast<const char*>(nullptr)), "FTW", 0,
                "can't validate cString");
}

}  // namespace
}  // namespace mornik

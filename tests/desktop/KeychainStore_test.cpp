#include "mornik/desktop/KeychainStore.hpp"

#include <chrono>

#include <gtest/gtest.h>

#include "mornik/log/Debug.hpp"
#include "mornik/platform/SecretStore.hpp"

#include "tests/desktop/support/Desktop.hpp"

namespace mornik {
namespace {

using namespace std::string_literals;

// Each test runs in a keyring of its own (support/KeyringSession.cpp).
class KeychainStoreTest : public testing::Test {
 protected:
  void SetUp() override {
    SecretStore::setShared(SecretStore::makeDesktop({.busTimeoutMs = 20000}));
  }
  void TearDown() override {
    SecretStore::setShared(nullptr);
    setDebugSink(nullptr);
  }
  // The items under service and account, as another program sees them.
  static int itemsIn(const std::string& service, const std::string& account) {
    auto found =
        test::run({"secret-tool", "search", "--all", "service", service, "account", account});
    int count = 0;
    for (std::size_t at = 0; (at = found.output.find("\nlabel = ", at)) != std::string::npos;
         ++at) {
      ++count;
    }
    return count;
  }
  // Every call of `block` answered without waiting for the timeout.
  template <class F>
  static void atOnce(F&& block) {
    const auto start = std::chrono::steady_clock::now();
    block();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
  }
};

TEST_F(KeychainStoreTest, SaveReplacesReadFindsDeleteRemovesAgainAndAgain) {
  const KeychainStore keychain("org.example.One");
  for (int round = 0; round < 2; ++round) {
    EXPECT_FALSE(keychain.readValue("token").has_value());
    EXPECT_FALSE(keychain.deleteValue("token"));
    ASSERT_TRUE(keychain.saveValue("token", "first"));
    ASSERT_TRUE(keychain.saveValue("token", "second ✓"));
    EXPECT_EQ(keychain.readValue("token"), "second ✓"s);
    EXPECT_EQ(KeychainStore("org.example.One").readValue("token"), "second ✓"s);
    EXPECT_EQ(itemsIn("org.example.One", "token"), 1);
    EXPECT_NE(test::run({"secret-tool", "search", "service", "org.example.One"})
                  .output.find("label = org.example.One (token)"),
              std::string::npos);
    EXPECT_TRUE(keychain.deleteValue("token"));
    EXPECT_FALSE(keychain.deleteValue("token"));
    EXPECT_EQ(itemsIn("org.example.One", "token"), 0);
  }
}

TEST_F(KeychainStoreTest, TwoBundleIdsStayApart) {
  const KeychainStore one("org.example.One");
  const KeychainStore two("org.example.Two");
  ASSERT_TRUE(one.saveValue("token", "1"));
  ASSERT_TRUE(two.saveValue("token", "2"));
  EXPECT_EQ(one.readValue("token"), "1"s);
  EXPECT_EQ(two.readValue("token"), "2"s);
  EXPECT_TRUE(one.deleteValue("token"));
  EXPECT_FALSE(one.readValue("token").has_value());
  EXPECT_EQ(two.readValue("token"), "2"s);
}

TEST_F(KeychainStoreTest, ValuesThatAreNotUtf8AreRefusedAndReadAsAbsent) {
  const KeychainStore keychain("org.example.One");
  EXPECT_FALSE(keychain.saveValue("token", "a\xff"s));
  const std::uint8_t invalid[] = {'a', 0xff};
  ASSERT_TRUE(SecretStore::shared()->save("org.example.One", "raw", invalid, "raw").isSuccess());
  EXPECT_FALSE(keychain.readValue("raw").has_value());
  EXPECT_TRUE(keychain.deleteValue("raw"));
}

TEST_F(KeychainStoreTest, ALockedKeyringAnswersAtOnce) {
  const KeychainStore keychain("org.example.One");
  ASSERT_TRUE(keychain.saveValue("token", "kept"));
  auto locked =
      test::run({"gdbus", "call", "--session", "--dest", "org.freedesktop.secrets", "--object-path",
                 "/org/freedesktop/secrets", "--method", "org.freedesktop.Secret.Service.Lock",
                 R"(["/org/freedesktop/secrets/collection/login"])"});
  ASSERT_EQ(locked.exitCode, 0);
  std::string logged;
  setDebugSink([&](std::string_view text) { logged += text; });
  atOnce([&] {
    EXPECT_FALSE(keychain.readValue("token").has_value());
    EXPECT_FALSE(keychain.saveValue("token", "new"));
    EXPECT_FALSE(keychain.deleteValue("token"));
  });
  EXPECT_NE(logged.find("KeychainStore: can't save \"token\" of org.example.One: the keyring is "
                        "locked"),
            std::string::npos)
      << logged;
}

TEST_F(KeychainStoreTest, NoSecretServiceAnswersAtOnce) {
  const KeychainStore keychain("org.example.One");
  atOnce([&] {
    EXPECT_FALSE(keychain.saveValue("token", "x"));
    EXPECT_FALSE(keychain.readValue("token").has_value());
    EXPECT_FALSE(keychain.deleteValue("token"));
  });
}

TEST_F(KeychainStoreTest, NoSessionBusAnswersAtOnceAndSaysWhy) {
  const KeychainStore keychain("org.example.One");
  std::string logged;
  setDebugSink([&](std::string_view text) { logged += text; });
  atOnce([&] {
    EXPECT_FALSE(keychain.saveValue("token", "x"));
    EXPECT_FALSE(keychain.readValue("token").has_value());
    EXPECT_FALSE(keychain.deleteValue("token"));
  });
  EXPECT_NE(logged.find("can't read \"token\" of org.example.One: no D-Bus session bus"),
            std::string::npos)
      << logged;
}

}  // namespace
}  // namespace mornik

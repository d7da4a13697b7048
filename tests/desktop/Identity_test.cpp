#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "mornik/desktop/KeychainStore.hpp"
#include "mornik/desktop/ThisDevice.hpp"
#include "mornik/platform/HardwareAddress.hpp"
#include "mornik/platform/Journal.hpp"
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
    JournalSink::setShared(nullptr);
  }
  // Every call fails well before the timeout and logs `why`.
  static void failsAtOnce(const KeychainStore& keychain, const std::string& why) {
    auto journal = std::make_shared<MemoryJournal>();
    JournalSink::setShared(journal);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(keychain.readValue("token").has_value());
    EXPECT_FALSE(keychain.saveValue("token", "new"));
    EXPECT_FALSE(keychain.deleteValue("token"));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    std::string logged;
    for (const auto& entry : journal->entries()) logged += journalField(entry, "MESSAGE") + "\n";
    EXPECT_NE(logged.find("[KeychainStore]: can't save \"token\" of org.example.One: " + why),
              std::string::npos)
        << logged;
  }
};

TEST_F(KeychainStoreTest, SaveReplacesReadFindsDeleteRemovesAgainAndAgainApartAndOnlyUtf8) {
  const KeychainStore one("org.example.One");
  const KeychainStore two("org.example.Two");
  ASSERT_TRUE(two.saveValue("token", "two's"));
  for (int round = 0; round < 2; ++round) {
    EXPECT_FALSE(one.readValue("token").has_value());
    EXPECT_FALSE(one.deleteValue("token"));
    ASSERT_TRUE(one.saveValue("token", "first"));
    ASSERT_TRUE(one.saveValue("token", "second ✓"));
    EXPECT_EQ(KeychainStore("org.example.One").readValue("token"), "second ✓"s);
    // The items as another program sees them: one "label = " line each.
    auto found = test::run({"secret-tool", "search", "--all", "service", "org.example.One"}).output;
    EXPECT_EQ(found.find("label = "), found.rfind("label = org.example.One (token)\n"));
    EXPECT_TRUE(one.deleteValue("token"));
    EXPECT_FALSE(one.deleteValue("token"));  // nothing left to remove
    EXPECT_EQ(two.readValue("token"), "two's"s);
  }
  EXPECT_FALSE(one.saveValue("token", "a\xff"s));  // not UTF-8: refused, and read as absent
  const std::uint8_t invalid[] = {'a', 0xff};
  ASSERT_TRUE(SecretStore::shared()->save("org.example.One", "raw", invalid, "raw").isSuccess());
  EXPECT_FALSE(one.readValue("raw").has_value());
}

// Calls from several threads at once, each waiting for its own answer from
// the GLib thread.
TEST_F(KeychainStoreTest, CallsFromManyThreadsEachGetTheirOwnAnswer) {
  const KeychainStore keychain("org.example.One");
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&keychain, t] {
      const std::string attr = "token-" + std::to_string(t);
      EXPECT_TRUE(keychain.saveValue(attr, attr + "'s value"));
      EXPECT_EQ(keychain.readValue(attr), attr + "'s value");
    });
  }
  for (auto& thread : threads) thread.join();
}

TEST_F(KeychainStoreTest, ALockedKeyringAnswersAtOnce) {
  const KeychainStore keychain("org.example.One");
  ASSERT_TRUE(keychain.saveValue("token", "kept"));
  ASSERT_EQ(
      test::run({"gdbus", "call", "--session", "--dest", "org.freedesktop.secrets", "--object-path",
                 "/org/freedesktop/secrets", "--method", "org.freedesktop.Secret.Service.Lock",
                 R"(["/org/freedesktop/secrets/collection/login"])"})
          .exitCode,
      0);
  failsAtOnce(keychain, "the keyring is locked");
}

TEST_F(KeychainStoreTest, NoSecretServiceAnswersAtOnce) {
  failsAtOnce(KeychainStore("org.example.One"), "the secret service: ");
}

TEST_F(KeychainStoreTest, NoSessionBusAnswersAtOnce) {
  failsAtOnce(KeychainStore("org.example.One"), "no D-Bus session bus");
}

TEST(CPU, ArchitectureFromTheMachineName) {
  const std::pair<const char*, CPUType> cases[] = {
      {"x86_64", CPUType::x86}, {"i686", CPUType::x86},         {"aarch64", CPUType::arm},
      {"armv7l", CPUType::arm}, {"arm64", CPUType::arm},        {"riscv64", CPUType::undefined},
      {"", CPUType::undefined}, {"ppc64le", CPUType::undefined}};
  for (const auto& [machine, type] : cases)
    EXPECT_EQ(CPU::architectureOf(machine), type) << machine;
  EXPECT_NE(CPU::architecture(), CPUType::undefined);  // CI runs on x86 or arm
}

TEST(Network, MacAddressTakesTheFirstSixBytesOrNothing) {
  const std::pair<std::vector<std::uint8_t>, std::string> cases[] = {
      {{0x0c, 0x22, 0xfb, 0x01, 0xa2, 0x9e, 0x07}, "0c:22:fb:01:a2:9e"},
      {{0x0a, 0x01, 0x02, 0x03, 0x04}, ""},
      {{}, ""}};
  for (const auto& [address, text] : cases) {
    HardwareAddressSource::setShared(std::make_shared<FixedHardwareAddress>(address));
    EXPECT_EQ(Network::macAddress(), text);
    EXPECT_EQ(Network::FindEthernetInterfaces().has_value(), !address.empty());
  }
  HardwareAddressSource::setShared(nullptr);
}

}  // namespace
}  // namespace mornik

#include "mornik/platform/HardwareAddress.hpp"

#include <fstream>
#include <map>

#include <gtest/gtest.h>

#include "tests/support/TempDir.hpp"

namespace mornik {
namespace {

struct FakeInterface {
  std::string name;
  int ifindex;
  bool device;  // a `device` link: backed by hardware
  std::string address;
  int assignType = 0;  // 0 permanent, 1 random, 3 set by user space
  int type = 1;        // Ethernet class
};

// A folder laid out like /sys/class/net.
void writeTree(const std::filesystem::path& root, const std::vector<FakeInterface>& interfaces) {
  for (const auto& i : interfaces) {
    const auto folder = root / i.name;
    std::filesystem::create_directories(folder);
    std::ofstream(folder / "ifindex") << i.ifindex << "\n";
    std::ofstream(folder / "address") << i.address << "\n";
    std::ofstream(folder / "addr_assign_type") << i.assignType << "\n";
    std::ofstream(folder / "type") << i.type << "\n";
    if (i.device) std::filesystem::create_directory_symlink(root, folder / "device");
  }
}

TEST(HardwareAddress, FirstPhysicalInterfaceByIndexWithItsPermanentAddress) {
  const std::vector<FakeInterface> common = {
      {"lo", 1, false, "00:00:00:00:00:00", 0, 772}, {"veth0", 2, false, "aa:aa:aa:aa:aa:01"},
      {"br0", 3, false, "aa:aa:aa:aa:aa:02"},        {"tun0", 4, false, "aa:aa:aa:aa:aa:03"},
      {"wlp2s0", 7, true, "00:1c:42:ab:cd:0f"},
  };
  struct Case {
    const char* what;
    std::vector<FakeInterface> extra;
    std::map<std::string, std::vector<std::uint8_t>> permanent;
    std::string expected;
  };
  const std::vector<Case> cases = {
      {"only wireless", {}, {}, "00:1c:42:ab:cd:0f"},
      {"lower index wins", {{"enp3s0", 5, true, "00:1c:42:ab:cd:ef"}}, {}, "00:1c:42:ab:cd:ef"},
      {"permanent over randomised",
       {{"enp3s0", 5, true, "12:34:56:78:9a:bc", 1}},
       {{"enp3s0", {0x00, 0x1c, 0x42, 0, 0, 1}}},
       "00:1c:42:00:00:01"},
      {"randomised without permanent is skipped",
       {{"enp3s0", 5, true, "12:34:56:78:9a:bc", 3}},
       {{"enp3s0", std::vector<std::uint8_t>(6, 0)}},
       "00:1c:42:ab:cd:0f"},
      {"not Ethernet class",
       {{"ib0", 5, true, "00:11:22:33:44:55", 0, 32}},
       {},
       "00:1c:42:ab:cd:0f"},
  };
  for (const auto& c : cases) {
    test::TempDir dir;
    auto interfaces = common;
    interfaces.insert(interfaces.end(), c.extra.begin(), c.extra.end());
    writeTree(dir.path(), interfaces);
    auto source = HardwareAddressSource::makeSysfs(dir.path(), [&](const std::string& name) {
      auto found = c.permanent.find(name);
      return found == c.permanent.end() ? std::vector<std::uint8_t>() : found->second;
    });
    EXPECT_EQ(formatHardwareAddress(source->primaryAddress()), c.expected) << c.what;
  }
}

TEST(HardwareAddress, NoPhysicalInterfaceOrShortAddressGivesNone) {
  test::TempDir dir;
  writeTree(dir.path(), {{"veth0", 2, false, "aa:aa:aa:aa:aa:01"}});
  EXPECT_TRUE(HardwareAddressSource::makeSysfs(dir.path(), nullptr)->primaryAddress().empty());
  EXPECT_TRUE(HardwareAddressSource::makeSysfs(dir / "missing", nullptr)->primaryAddress().empty());
  EXPECT_EQ(formatHardwareAddress({0x0a, 1, 2, 3, 4, 5, 6}), "0a:01:02:03:04:05");
  EXPECT_EQ(formatHardwareAddress({1, 2, 3, 4, 5}), "");
}

}  // namespace
}  // namespace mornik

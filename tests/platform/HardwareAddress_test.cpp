#include "mornik/platform/HardwareAddress.hpp"

#include <fstream>
#include <map>

#include <gtest/gtest.h>

#include "tests/support/TempDir.hpp"

namespace mornik {
namespace {

// One interface of a folder laid out like /sys/class/net: ifindex, whether
// a `device` link backs it with hardware, address, addr_assign_type (0
// permanent, 1 random, 3 set by user space), type (1 Ethernet class).
struct Interface {
  std::string name, ifindex;
  bool device;
  std::string address, assignType = "0", type = "1";
};

TEST(HardwareAddress, FirstPhysicalInterfaceByIndexWithItsPermanentAddress) {
  using Permanent = std::map<std::string, std::vector<std::uint8_t>>;
  const std::vector<Interface> common = {{"lo", "1", false, "00:00:00:00:00:00", "0", "772"},
                                         {"veth0", "2", false, "aa:aa:aa:aa:aa:01"},
                                         {"br0", "3", false, "aa:aa:aa:aa:aa:02"},
                                         {"wlp2s0", "7", true, "00:1c:42:ab:cd:0f"}};
  const std::tuple<std::vector<Interface>, Permanent, std::string> cases[] = {
      {{{"enp3s0", "5", true, "00:1c:42:ab:cd:ef"}}, {}, "00:1c:42:ab:cd:ef"},
      {{{"enp3s0", "5", true, "12:34:56:78:9a:bc", "1"}},
       {{"enp3s0", {0, 0x1c, 0x42, 0, 0, 1}}},
       "00:1c:42:00:00:01"},
      {{{"enp3s0", "5", true, "12:34:56:78:9a:bc", "3"}},
       {{"enp3s0", std::vector<std::uint8_t>(6)}},
       "00:1c:42:ab:cd:0f"},
      {{{"wlp2s0", "7", false, ""}}, {}, ""},  // no physical interface (replaces the one above)
  };
  for (const auto& [extra, permanent, expected] : cases) {
    test::TempDir dir;
    auto interfaces = common;
    interfaces.insert(interfaces.end(), extra.begin(), extra.end());
    for (const auto& i : interfaces) {
      const auto folder = dir / i.name;
      std::filesystem::remove_all(folder);
      std::filesystem::create_directories(folder);
      for (const auto& [file, text] : {std::pair{"ifindex", i.ifindex},
                                       {"address", i.address},
                                       {"addr_assign_type", i.assignType},
                                       {"type", i.type}}) {
        std::ofstream(folder / file) << text << "\n";
      }
      if (i.device) std::filesystem::create_directory_symlink(dir.path(), folder / "device");
    }
    auto source = HardwareAddressSource::makeSysfs(
        dir.path(), [&permanent = permanent](const std::string& name) {
          auto found = permanent.find(name);
          return found == permanent.end() ? std::vector<std::uint8_t>() : found->second;
        });
    EXPECT_EQ(formatHardwareAddress(source->primaryAddress()), expected);
  }
}

}  // namespace
}  // namespace mornik

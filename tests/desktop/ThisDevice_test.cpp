#include "mornik/desktop/ThisDevice.hpp"

#include <gtest/gtest.h>

#include "mornik/platform/HardwareAddress.hpp"

namespace mornik {
namespace {

TEST(CPU, ArchitectureFromTheMachineName) {
  const std::pair<const char*, CPUType> cases[] = {
      {"x86_64", CPUType::x86},        {"i686", CPUType::x86},   {"i386", CPUType::x86},
      {"aarch64", CPUType::arm},       {"armv7l", CPUType::arm}, {"arm64", CPUType::arm},
      {"riscv64", CPUType::undefined}, {"", CPUType::undefined}, {"ppc64le", CPUType::undefined},
  };
  for (const auto& [machine, type] : cases)
    EXPECT_EQ(CPU::architectureOf(machine), type) << machine;
  EXPECT_NE(CPU::architecture(), CPUType::undefined);  // CI runs on x86 or arm
}

TEST(Network, MacAddressTakesTheFirstSixBytesOrNothing) {
  struct Case {
    std::vector<std::uint8_t> address;
    std::string text;
  };
  const Case cases[] = {
      {{0x3c, 0x22, 0xfb, 0x01, 0xa2, 0x9e}, "3c:22:fb:01:a2:9e"},
      {{0x0a, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07}, "0a:01:02:03:04:05"},
      {{0x0a, 0x01, 0x02, 0x03, 0x04}, ""},
      {{}, ""},
  };
  for (const auto& c : cases) {
    HardwareAddressSource::setShared(std::make_shared<FixedHardwareAddress>(c.address));
    EXPECT_EQ(Network::macAddress(), c.text);
    auto interfaces = Network::FindEthernetInterfaces();
    EXPECT_EQ(interfaces.has_value(), !c.address.empty());
    if (interfaces) {
      EXPECT_EQ(Network::GetMACAddress(*interfaces).has_value(), !c.text.empty());
    }
  }
  HardwareAddressSource::setShared(nullptr);
}

}  // namespace
}  // namespace mornik

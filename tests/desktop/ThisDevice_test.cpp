#include "mornik/desktop/ThisDevice.hpp"

#include <gtest/gtest.h>

#include "mornik/platform/HardwareAddress.hpp"

namespace mornik {
namespace {

TEST(CPU, ArchitectureFromTheMachineName) {
  for (const char* machine : {"x86_64", "i686", "i386"})
    EXPECT_EQ(CPU::architectureOf(machine), CPUType::x86);
  for (const char* machine : {"aarch64", "armv7l", "arm64"})
    EXPECT_EQ(CPU::architectureOf(machine), CPUType::arm);
  for (const char* machine : {"riscv64", "", "ppc64le"})
    EXPECT_EQ(CPU::architectureOf(machine), CPUType::undefined);
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

#include "mornik/desktop/ThisDevice.hpp"

#include <sys/utsname.h>

#include "mornik/platform/HardwareAddress.hpp"

namespace mornik {

CPUType CPU::architectureOf(std::string_view machine) {
  if (machine == "x86_64" || machine == "i386" || machine == "i486" || machine == "i586" ||
      machine == "i686") {
    return CPUType::x86;
  }
  if (machine == "aarch64" || machine == "arm64" || machine.starts_with("arm")) return CPUType::arm;
  return CPUType::undefined;
}

CPUType CPU::architecture() {
  utsname name{};
  if (::uname(&name) != 0) return CPUType::undefined;
  return architectureOf(name.machine);
}

std::optional<Network::Interfaces> Network::FindEthernetInterfaces() {
  auto address = HardwareAddressSource::shared()->primaryAddress();
  if (address.empty()) return std::nullopt;
  return Interfaces(std::move(address));
}

std::optional<std::vector<std::uint8_t>> Network::GetMACAddress(const Interfaces& interfaces) {
  constexpr std::size_t kLength = 6;
  const auto& address = interfaces.address();
  if (address.size() < kLength) return std::nullopt;
  return std::vector<std::uint8_t>(address.begin(), address.begin() + kLength);
}

std::string Network::macAddress() {
  auto interfaces = FindEthernetInterfaces();
  if (!interfaces) return "";
  auto address = GetMACAddress(*interfaces);
  return address ? formatHardwareAddress(*address) : "";
}

}  // namespace mornik

#include "mornik/platform/HardwareAddress.hpp"

#include <algorithm>
#include <array>
#include <cstring>
#include <fstream>
#include <optional>
#include <string_view>
#include <utility>

#include <linux/ethtool.h>
#include <linux/sockios.h>
#include <net/if.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include "mornik/concurrency/LockedVar.hpp"

namespace mornik {

namespace {

constexpr std::size_t kAddressLength = 6;
// ARPHRD_ETHER: wired and wireless Ethernet-class interfaces.
constexpr int kEthernetType = 1;
// NET_ADDR_PERM: the address in `address` is the hardware's own.
constexpr int kPermanentAssignment = 0;

std::optional<std::string> firstLine(const std::filesystem::path& file) {
  std::ifstream in(file);
  std::string line;
  if (!in || !std::getline(in, line)) return std::nullopt;
  return line;
}

std::optional<long> number(const std::filesystem::path& file) {
  auto line = firstLine(file);
  if (!line || line->empty()) return std::nullopt;
  try {
    std::size_t used = 0;
    long value = std::stol(*line, &used);
    if (used != line->size()) return std::nullopt;
    return value;
  } catch (const std::exception&) {
    return std::nullopt;
  }
}

int hexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// "aa:bb:..." as bytes; no bytes when the text is not that.
std::vector<std::uint8_t> parseAddress(const std::string& text) {
  std::vector<std::uint8_t> bytes;
  for (std::size_t i = 0; i < text.size(); i += 3) {
    if (i + 2 > text.size()) return {};
    int high = hexDigit(text[i]);
    int low = hexDigit(text[i + 1]);
    if (high < 0 || low < 0) return {};
    if (i + 2 < text.size() && text[i + 2] != ':') return {};
    bytes.push_back(static_cast<std::uint8_t>(high * 16 + low));
  }
  return bytes;
}

bool usable(const std::vector<std::uint8_t>& address) {
  return address.size() >= kAddressLength &&
         std::any_of(address.begin(), address.end(), [](std::uint8_t b) { return b != 0; });
}

class SysfsHardwareAddress final : public HardwareAddressSource {
 public:
  SysfsHardwareAddress(std::filesystem::path netFolder, PermanentAddressReader permanent)
      : netFolder_(std::move(netFolder)), permanent_(std::move(permanent)) {}

  std::vector<std::uint8_t> primaryAddress() override {
    for (const auto& name : physicalInterfaces()) {
      auto address = permanent_ ? permanent_(name) : std::vector<std::uint8_t>();
      if (usable(address)) return address;
      // The driver does not report a permanent address: the current one
      // will do only when the kernel says it is the hardware's own.
      const auto folder = netFolder_ / name;
      if (number(folder / "addr_assign_type").value_or(kPermanentAssignment) !=
          kPermanentAssignment) {
        continue;
      }
      address = parseAddress(firstLine(folder / "address").value_or(""));
      if (usable(address)) return address;
    }
    return {};
  }

 private:
  // Names of the Ethernet-class interfaces backed by a device, by ifindex.
  std::vector<std::string> physicalInterfaces() const {
    std::vector<std::pair<long, std::string>> found;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(netFolder_, error)) {
      const auto& folder = entry.path();
      if (!std::filesystem::exists(std::filesystem::symlink_status(folder / "device", error))) {
        continue;
      }
      if (number(folder / "type") != kEthernetType) continue;
      auto index = number(folder / "ifindex");
      if (!index) continue;
      found.emplace_back(*index, folder.filename().string());
    }
    std::sort(found.begin(), found.end());
    std::vector<std::string> names;
    names.reserve(found.size());
    for (auto& [index, name] : found) names.push_back(std::move(name));
    return names;
  }

  const std::filesystem::path netFolder_;
  const PermanentAddressReader permanent_;
};

LockedVar<std::shared_ptr<HardwareAddressSource>>& installed() {
  static LockedVar<std::shared_ptr<HardwareAddressSource>> source{nullptr};
  return source;
}

}  // namespace

std::vector<std::uint8_t> HardwareAddressSource::ethtoolPermanentAddress(
    const std::string& interface) {
  if (interface.empty() || interface.size() >= IFNAMSIZ) return {};
  const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return {};
  // struct ethtool_perm_addr ends in a flexible array: the bytes follow it
  // (at most MAX_ADDR_LEN, 32, of <linux/netdevice.h>).
  constexpr std::uint32_t kMaxAddress = 32;
  alignas(ethtool_perm_addr) std::array<unsigned char, sizeof(ethtool_perm_addr) + kMaxAddress>
      buffer{};
  auto* request = reinterpret_cast<ethtool_perm_addr*>(buffer.data());  // NOLINT: the ioctl's type
  request->cmd = ETHTOOL_GPERMADDR;
  request->size = kMaxAddress;
  ifreq ifr{};
  std::memcpy(ifr.ifr_name, interface.data(), interface.size());
  ifr.ifr_data = reinterpret_cast<char*>(request);  // NOLINT: the ioctl's own type
  const int status = ::ioctl(fd, SIOCETHTOOL, &ifr);
  ::close(fd);
  if (status != 0 || request->size > kMaxAddress) return {};
  const unsigned char* bytes = buffer.data() + sizeof(ethtool_perm_addr);
  return {bytes, bytes + request->size};
}

std::shared_ptr<HardwareAddressSource> HardwareAddressSource::makeSysfs(
    std::filesystem::path netFolder, PermanentAddressReader permanent) {
  return std::make_shared<SysfsHardwareAddress>(std::move(netFolder), std::move(permanent));
}

std::shared_ptr<HardwareAddressSource> HardwareAddressSource::shared() {
  return installed().access([](std::shared_ptr<HardwareAddressSource>& source) {
    if (!source) source = makeSysfs();
    return source;
  });
}

void HardwareAddressSource::setShared(std::shared_ptr<HardwareAddressSource> source) {
  auto previous = installed().access([&](std::shared_ptr<HardwareAddressSource>& current) {
    return std::exchange(current, source);
  });
}

std::string formatHardwareAddress(const std::vector<std::uint8_t>& address) {
  if (address.size() < kAddressLength) return "";
  constexpr std::string_view kDigits = "0123456789abcdef";
  std::string text;
  for (std::size_t i = 0; i < kAddressLength; ++i) {
    if (i > 0) text += ':';
    text += kDigits[address[i] >> 4];
    text += kDigits[address[i] & 0xF];
  }
  return text;
}

}  // namespace mornik

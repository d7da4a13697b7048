// Sealing, key derivation and the encrypted dictionary, each against the
// same steps written directly on OpenSSL (and nlohmann-json and POSIX for
// the dictionary). Metric: the thread's CPU time, so that other load on the
// machine and the disk's flush times weigh on neither side.
#include <array>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <string>

#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <nlohmann/json.hpp>
#include <openssl/evp.h>
#include <openssl/rand.h>
#include <unistd.h>

#include "mornik/crypto/CryptoDictFileID.hpp"
#include "mornik/crypto/CryptoTav.hpp"
#include "mornik/fileio/FileContents.hpp"
#include "mornik/platform/HardwareAddress.hpp"

#include "bench/support/Goals.hpp"
#include "bench/support/Interleaved.hpp"

namespace {

using mornik::Data;

double threadSeconds() {
  timespec now{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

template <class F>
std::vector<double> cpuSeconds(F&& work) {
  const double start = threadSeconds();
  work();
  return {threadSeconds() - start};
}

// ---- The anchors: OpenSSL called directly ----

Data evpSeal(const Data& key, const Data& plain) {
  Data out(12 + plain.size() + 16);
  if (RAND_bytes(out.data(), 12) != 1) std::abort();
  EVP_CIPHER_CTX* context = EVP_CIPHER_CTX_new();
  int length = 0;
  EVP_EncryptInit_ex(context, EVP_aes_256_gcm(), nullptr, key.data(), out.data());
  EVP_EncryptUpdate(context, out.data() + 12, &length, plain.data(),
                    static_cast<int>(plain.size()));
  EVP_EncryptFinal_ex(context, out.data() + 12 + plain.size(), &length);
  EVP_CIPHER_CTX_ctrl(context, EVP_CTRL_GCM_GET_TAG, 16, out.data() + 12 + plain.size());
  EVP_CIPHER_CTX_free(context);
  return out;
}

Data evpOpen(const Data& key, const Data& sealed) {
  const std::size_t n = sealed.size() - 28;
  Data plain(n);
  std::array<std::uint8_t, 16> tag{};
  std::copy(sealed.end() - 16, sealed.end(), tag.begin());
  EVP_CIPHER_CTX* context = EVP_CIPHER_CTX_new();
  int length = 0;
  EVP_DecryptInit_ex(context, EVP_aes_256_gcm(), nullptr, key.data(), sealed.data());
  EVP_DecryptUpdate(context, plain.data(), &length, sealed.data() + 12, static_cast<int>(n));
  EVP_CIPHER_CTX_ctrl(context, EVP_CTRL_GCM_SET_TAG, 16, tag.data());
  if (EVP_DecryptFinal_ex(context, plain.data() + n, &length) != 1) std::abort();
  EVP_CIPHER_CTX_free(context);
  return plain;
}

Data evpDerive(const std::string& password, const std::string& salt) {
  Data key(32);
  PKCS5_PBKDF2_HMAC_SHA1(password.data(), static_cast<int>(password.size()),
                         reinterpret_cast<const unsigned char*>(salt.data()),
                         static_cast<int>(salt.size()), 10000, 32, key.data());
  return key;
}

// ---- Seal and open 1 MiB ----

void BM_SealOpen1MiB(benchmark::State& state) {
  const Data keyBytes(32, 7);
  const mornik::SymmetricKey key(keyBytes);
  const Data plain(1 << 20, 0x5a);
  constexpr int kPairs = 64;
  auto ours = [&] {
    return cpuSeconds([&] {
      for (int i = 0; i < kPairs; ++i) {
        auto sealed = mornik::CryptoTav::encript(key, plain);
        benchmark::DoNotOptimize(mornik::CryptoTav::decriptData(key, sealed.value()).value());
      }
    });
  };
  auto evp = [&] {
    return cpuSeconds([&] {
      for (int i = 0; i < kPairs; ++i)
        benchmark::DoNotOptimize(evpOpen(keyBytes, evpSeal(keyBytes, plain)));
    });
  };
  mornik::bench::runInterleaved(state, {"cpu_seconds"}, {{"ours", ours}, {"evp", evp}}, 9);
}
BENCHMARK(BM_SealOpen1MiB)->Iterations(1)->Unit(benchmark::kMillisecond);

// ---- Key derivation ----

void BM_DeriveKey(benchmark::State& state) {
  const std::string password = "correct horse battery staple";
  const std::string salt = "001c42abcdef";
  constexpr int kKeys = 40;
  auto ours = [&] {
    return cpuSeconds([&] {
      for (int i = 0; i < kKeys; ++i) {
        benchmark::DoNotOptimize(mornik::SymmetricKey::fromPassword(
            password, std::span(reinterpret_cast<const std::uint8_t*>(salt.data()), salt.size())));
      }
    });
  };
  auto pkcs5 = [&] {
    return cpuSeconds([&] {
      for (int i = 0; i < kKeys; ++i) benchmark::DoNotOptimize(evpDerive(password, salt));
    });
  };
  mornik::bench::runInterleaved(state, {"cpu_seconds"}, {{"ours", ours}, {"pkcs5", pkcs5}}, 9);
}
BENCHMARK(BM_DeriveKey)->Iterations(1)->Unit(benchmark::kMillisecond);

// ---- CryptoDictFileID.set on 1,000 entries ----

// The same steps by hand: read, derive, open, parse, change, encode,
// derive, seal, and one atomic, flushed replacement of the file.
void directSet(const std::string& path, const std::string& pass, const std::string& salt,
               const std::string& key, const std::string& value) {
  const std::string sealed = mornik::readFileContents(path).value();
  const Data plain = evpOpen(evpDerive(pass, salt), Data(sealed.begin(), sealed.end()));
  auto json = nlohmann::json::parse(plain.begin(), plain.end());
  json[key] = value;
  const std::string text = json.dump(2);
  const Data out = evpSeal(evpDerive(pass, salt), Data(text.begin(), text.end()));
  const std::string temporary = path + ".tmp";
  const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0 || ::write(fd, out.data(), out.size()) != static_cast<ssize_t>(out.size()) ||
      ::fsync(fd) != 0) {
    std::abort();
  }
  ::close(fd);
  if (::rename(temporary.c_str(), path.c_str()) != 0) std::abort();
  const int folder =
      ::open(std::filesystem::path(path).parent_path().c_str(), O_RDONLY | O_CLOEXEC);
  ::fsync(folder);
  ::close(folder);
}

void BM_DictSet1000(benchmark::State& state) {
  mornik::HardwareAddressSource::setShared(
      std::make_shared<mornik::FixedHardwareAddress>(Data{0x00, 0x1c, 0x42, 0xab, 0xcd, 0xef}));
  const auto folder = std::filesystem::temp_directory_path() / "mornik-bench-crypto";
  std::filesystem::create_directories(folder);
  const std::string ourPath = (folder / "ours").string();
  const std::string directPath = (folder / "direct").string();
  std::filesystem::remove(ourPath);
  mornik::CryptoDictFileID dict(ourPath, "pw");
  for (int i = 0; i < 1000; ++i) {
    (void)dict.set("key-" + std::to_string(i), "a value of moderate length " + std::to_string(i));
  }
  std::filesystem::copy_file(ourPath, directPath,
                             std::filesystem::copy_options::overwrite_existing);
  constexpr int kSets = 10;
  auto ours = [&] {
    return cpuSeconds([&] {
      for (int i = 0; i < kSets; ++i) (void)dict.set("key-7", "changed " + std::to_string(i));
    });
  };
  auto direct = [&] {
    return cpuSeconds([&] {
      for (int i = 0; i < kSets; ++i) {
        directSet(directPath, "pw", "001c42abcdef", "key-7", "changed " + std::to_string(i));
      }
    });
  };
  mornik::bench::runInterleaved(state, {"cpu_seconds"}, {{"ours", ours}, {"direct", direct}}, 7);
  std::filesystem::remove_all(folder);
}
BENCHMARK(BM_DictSet1000)->Iterations(1)->Unit(benchmark::kMillisecond);

const bool kGoals = [] {
  using mornik::bench::counterGoal;
  // Ratios of CPU time, ours / anchor: 0.95x the throughput is 1/0.95 the time.
  counterGoal("seal_open_1mib_throughput_vs_evp", "BM_SealOpen1MiB", "cpu_seconds_ratio_vs_evp",
              "<=", 1.0 / 0.95);
  counterGoal("derive_key_time_vs_pkcs5_pbkdf2_hmac_sha1", "BM_DeriveKey",
              "cpu_seconds_ratio_vs_pkcs5", "<=", 1.05);
  counterGoal("dict_set_1000_entries_time_vs_direct_steps", "BM_DictSet1000",
              "cpu_seconds_ratio_vs_direct", "<=", 1.1);
  return true;
}();

}  // namespace

MORNIK_BENCH_MAIN()

// Crypto: a text sealed with a password and opened again, a wrong password
// refused, an encrypted dictionary in a temporary folder, this machine's
// identity.
#include <filesystem>
#include <string>

#include "mornik/crypto/CryptoDictFileID.hpp"
#include "mornik/crypto/CryptoTav.hpp"
#include "mornik/desktop/ThisDevice.hpp"
#include "mornik/files/URLFiles.hpp"

#include "tour/Tour.hpp"

namespace tour {

void crypto() {
  heading("Crypto");
  const std::string address = mornik::Network::macAddress();
  say("this machine's key salt comes from " + (address.empty() ? "no address" : address));

  const std::string text = "Meet me at the old mill at nine.";
  const auto bytes = std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
  auto sealed = mornik::encrypted(bytes, "correct horse battery staple");
  if (sealed.isFailure()) {
    say("sealing failed: " + sealed.error().localizedDescription());
    return;
  }
  say("sealed " + std::to_string(text.size()) + " bytes of text into " +
      std::to_string(sealed.value().size()) + " (nonce, ciphertext, tag)");
  auto opened = mornik::CryptoTav::decriptString(
      mornik::SymmetricKey::fromPassword("correct horse battery staple"), sealed.value());
  say("opened with the password: " + opened.valueOr("(failed)"));
  auto wrong = mornik::decrypted(sealed.value(), "Tr0ub4dor&3");
  say("with another password: " +
      (wrong.isFailure() ? wrong.error().localizedDescription() : std::string("opened?!")));

  auto folder = mornik::randomTempDirectory();
  if (folder.isFailure()) return;
  const mornik::CryptoDictFileID tokens(folder.value().path() + "/tokens", "a passphrase");
  static_cast<void>(tokens.set("mail", "token-1234"));
  say("the dictionary file holds mail = " + tokens.get("mail").valueOr("(failed)"));
  std::error_code ignored;
  std::filesystem::remove_all(folder.value().path(), ignored);
}

}  // namespace tour

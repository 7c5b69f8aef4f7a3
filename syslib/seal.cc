#include "syslib/seal.h"

#include <fcntl.h>
#include <sodium.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <vector>

#include "syslib/syslib.h"
#include "util/error.h"
#include "util/text.h"

namespace ordane {
namespace {

void InitSodium() {
  static const int rc = sodium_init();
  if (rc < 0) throw Error(kErrGeneric, "The cryptography library could not start");
}

// The sealing key: a keyed hash of the fixed key under the site key, so neither alone opens.
std::array<unsigned char, crypto_aead_xchacha20poly1305_ietf_KEYBYTES> DeriveKey(
    std::string_view fixed_key, const SiteKey& site_key) {
  std::array<unsigned char, crypto_aead_xchacha20poly1305_ietf_KEYBYTES> key{};
  std::string message = "ordane-seal-v1:" + std::string(fixed_key);
  crypto_generichash(key.data(), key.size(), reinterpret_cast<const unsigned char*>(message.data()),
                     message.size(), site_key.data(), site_key.size());
  return key;
}

constexpr int kBase64 = sodium_base64_VARIANT_ORIGINAL;

}  // namespace

bool CreateSiteKey(const std::filesystem::path& path, bool overwrite, std::string* why) {
  InitSodium();
  int flags = O_WRONLY | O_CREAT | (overwrite ? O_TRUNC : O_EXCL);
  int fd = open(path.c_str(), flags, 0600);
  if (fd < 0) {
    if (why != nullptr) *why = "cannot create " + path.string() + ": " + std::strerror(errno);
    return false;
  }
  fchmod(fd, 0600);
  SiteKey key;
  randombytes_buf(key.data(), key.size());
  char hex[key.size() * 2 + 1];
  sodium_bin2hex(hex, sizeof hex, key.data(), key.size());
  std::string line = std::string(hex) + "\n";
  bool ok =
      write(fd, line.data(), line.size()) == static_cast<ssize_t>(line.size()) && fsync(fd) == 0;
  close(fd);
  sodium_memzero(key.data(), key.size());
  if (!ok && why != nullptr) *why = "cannot write " + path.string();
  return ok;
}

SiteKey LoadSiteKey(const std::filesystem::path& path) {
  InitSodium();
  std::ifstream in(path);
  if (!in) throw Error(kErrFileNotFound, "Site key file not found: " + path.string());
  std::string line;
  std::getline(in, line);
  line = Trim(line);
  SiteKey key{};
  std::size_t length = 0;
  if (line.size() != key.size() * 2 ||
      sodium_hex2bin(key.data(), key.size(), line.data(), line.size(), nullptr, &length, nullptr) !=
          0 ||
      length != key.size()) {
    throw Error(kErrGeneric, "Site key file holds no key: " + path.string());
  }
  return key;
}

bool IsSealed(std::string_view text) { return text.starts_with(kSealedPrefix); }

std::string Seal(std::string_view plain, std::string_view fixed_key, const SiteKey& site_key) {
  InitSodium();
  auto key = DeriveKey(fixed_key, site_key);
  std::vector<unsigned char> out(crypto_aead_xchacha20poly1305_ietf_NPUBBYTES + plain.size() +
                                 crypto_aead_xchacha20poly1305_ietf_ABYTES);
  unsigned char* nonce = out.data();
  randombytes_buf(nonce, crypto_aead_xchacha20poly1305_ietf_NPUBBYTES);
  unsigned long long written = 0;
  crypto_aead_xchacha20poly1305_ietf_encrypt(
      out.data() + crypto_aead_xchacha20poly1305_ietf_NPUBBYTES, &written,
      reinterpret_cast<const unsigned char*>(plain.data()), plain.size(),
      reinterpret_cast<const unsigned char*>(kSealedPrefix.data()), kSealedPrefix.size(), nullptr,
      nonce, key.data());
  sodium_memzero(key.data(), key.size());
  std::string b64(sodium_base64_encoded_len(out.size(), kBase64), '\0');
  sodium_bin2base64(b64.data(), b64.size(), out.data(), out.size(), kBase64);
  b64.resize(std::strlen(b64.c_str()));
  return std::string(kSealedPrefix) + b64;
}

std::string Unseal(std::string_view text, std::string_view fixed_key, const SiteKey& site_key) {
  if (!IsSealed(text)) return std::string(text);
  InitSodium();
  std::string_view b64 = text.substr(kSealedPrefix.size());
  while (!b64.empty() && (b64.back() == '\r' || b64.back() == '\n' || b64.back() == ' ')) {
    b64.remove_suffix(1);
  }
  std::vector<unsigned char> raw(b64.size());
  std::size_t length = 0;
  if (sodium_base642bin(raw.data(), raw.size(), b64.data(), b64.size(), nullptr, &length, nullptr,
                        kBase64) != 0 ||
      length < crypto_aead_xchacha20poly1305_ietf_NPUBBYTES +
                   crypto_aead_xchacha20poly1305_ietf_ABYTES) {
    throw Error(kErrGeneric, "Sealed text is damaged");
  }
  auto key = DeriveKey(fixed_key, site_key);
  std::string plain(length - crypto_aead_xchacha20poly1305_ietf_NPUBBYTES -
                        crypto_aead_xchacha20poly1305_ietf_ABYTES,
                    '\0');
  unsigned long long plain_length = 0;
  int rc = crypto_aead_xchacha20poly1305_ietf_decrypt(
      reinterpret_cast<unsigned char*>(plain.data()), &plain_length, nullptr,
      raw.data() + crypto_aead_xchacha20poly1305_ietf_NPUBBYTES,
      length - crypto_aead_xchacha20poly1305_ietf_NPUBBYTES,
      reinterpret_cast<const unsigned char*>(kSealedPrefix.data()), kSealedPrefix.size(),
      raw.data(), key.data());
  sodium_memzero(key.data(), key.size());
  if (rc != 0) {
    throw Error(kErrGeneric, "Sealed text was changed or sealed under another key");
  }
  plain.resize(plain_length);
  return plain;
}

}  // namespace ordane

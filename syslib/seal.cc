#include "syslib/seal.h"

#include <fcntl.h>
#include <sodium.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
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
  auto fail = [&](const std::string& what) {
    if (why != nullptr) *why = what + " " + path.string() + ": " + std::strerror(errno);
    return false;
  };
  // The key is written into a file that did not exist before, never through a symbolic link
  // someone left at the name: a new file of its own (O_EXCL, O_NOFOLLOW), owner-only from its
  // first moment. Replacing a key writes a new file beside it and renames it over the old
  // name, which replaces a link at that name instead of following it.
  std::filesystem::path target = path;
  if (overwrite) {
    target += ".new-" + std::to_string(getpid());
    unlink(target.c_str());
  }
  int fd = open(target.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) return fail("cannot create the site key");
  fchmod(fd, 0600);  // the process's umask does not widen or narrow it
  SiteKey key;
  randombytes_buf(key.data(), key.size());
  char hex[key.size() * 2 + 1];
  sodium_bin2hex(hex, sizeof hex, key.data(), key.size());
  std::string line = std::string(hex) + "\n";
  bool ok =
      write(fd, line.data(), line.size()) == static_cast<ssize_t>(line.size()) && fsync(fd) == 0;
  close(fd);
  sodium_memzero(key.data(), key.size());
  sodium_memzero(hex, sizeof hex);
  if (ok && overwrite && rename(target.c_str(), path.c_str()) != 0) ok = false;
  if (!ok) {
    int saved = errno;
    if (overwrite) unlink(target.c_str());
    errno = saved;
    return fail("cannot write the site key");
  }
  return true;
}

SiteKey LoadSiteKey(const std::filesystem::path& path) {
  InitSodium();
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    if (errno == ENOENT) throw Error(kErrFileNotFound, "Site key file not found: " + path.string());
    throw Error(kErrPathAccess,
                "Cannot read the site key " + path.string() + ": " + std::strerror(errno));
  }
  // Whoever else can read the key can open every sealed password; whoever else owns it can
  // replace it. Either way the key is refused, with what to do about it.
  struct stat st {};
  std::string refused;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    refused = "is not a regular file";
  } else if (st.st_uid != geteuid()) {
    refused = "belongs to user " + std::to_string(st.st_uid) + ", not to this user (" +
              std::to_string(geteuid()) + "); chown it to the user the driver runs as";
  } else if ((st.st_mode & (S_IRWXG | S_IRWXO)) != 0) {
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
    refused = std::string("can be read or changed by other users (mode ") + mode +
              "); make it owner-only with chmod 600 " + path.string();
  }
  if (!refused.empty()) {
    close(fd);
    throw Error(kErrPathAccess, "Site key " + path.string() + " refused: it " + refused);
  }
  std::string line(128, '\0');
  ssize_t n = read(fd, line.data(), line.size());
  close(fd);
  line.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
  line = Trim(line.substr(0, line.find('\n')));
  SiteKey key{};
  std::size_t length = 0;
  if (line.size() != key.size() * 2 ||
      sodium_hex2bin(key.data(), key.size(), line.data(), line.size(), nullptr, &length, nullptr) !=
          0 ||
      length != key.size()) {
    sodium_memzero(line.data(), line.size());
    throw Error(kErrGeneric, "Site key file holds no key: " + path.string());
  }
  sodium_memzero(line.data(), line.size());
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

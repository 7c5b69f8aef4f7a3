// Sealing of short texts (passwords in the settings file, statement files between the driver
// and the event service): XChaCha20-Poly1305 under a key derived from the site key file and a
// caller's fixed key, so that a text sealed on one site, or changed by anyone, does not open.
// A sealed text is one printable line: kSealedPrefix + base64(nonce | ciphertext | tag).
#pragma once

#include <array>
#include <filesystem>
#include <string>
#include <string_view>

namespace ordane {

using SiteKey = std::array<unsigned char, 32>;

// Writes a new random site key to `path` (64 hexadecimal digits and a line end), readable and
// writable by the owner only from the moment it exists, never through a symbolic link at that
// name. Refuses (returns false, *why set) to replace an existing file or link unless
// `overwrite`, which replaces it by renaming a new file over it.
bool CreateSiteKey(const std::filesystem::path& path, bool overwrite, std::string* why);
// Reads a site key file; throws Error(kErrFileNotFound) when it is missing,
// Error(kErrPathAccess) when it cannot be read, belongs to another user or can be read or
// changed by other users (the message says what to do), and Error(kErrGeneric) when it does
// not hold a key.
SiteKey LoadSiteKey(const std::filesystem::path& path);

// Seals `plain` under `site_key` and `fixed_key`.
std::string Seal(std::string_view plain, std::string_view fixed_key, const SiteKey& site_key);
// True when `text` has the sealed form's prefix.
bool IsSealed(std::string_view text);
// Opens a sealed text; throws Error(kErrGeneric) when it was changed, cut, or sealed under
// other keys. A text without the prefix is returned unchanged.
std::string Unseal(std::string_view text, std::string_view fixed_key, const SiteKey& site_key);

}  // namespace ordane

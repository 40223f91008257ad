#pragma once
// The cryptography of an encrypted backup as the device makes it: a keybag whose class keys
// are wrapped under the key derived from the backup password, per-file keys wrapped under
// a class key, files in AES-256-CBC (zero IV, PKCS#7), and the archived file records of
// Manifest.db. Plain C++ on OpenSSL and libplist.
//
// The keybag's salts come from the device identifier, so the key a host derived once from
// the password keeps opening this device's later backups; the class keys are new each time.

#include <cstdint>
#include <map>
#include <string>

namespace mobiledevice {

struct DeviceKeybag
{
    std::string blob;                          // "BackupKeyBag"
    std::string passwordKey;                   // the 32-byte derived key
    std::map<uint32_t, std::string> classKeys; // class -> 32-byte key
};

// `iterations` is used for both derivation rounds.
DeviceKeybag makeKeybag(const std::string &password, const std::string &uniqueDeviceID, uint32_t iterations);

std::string randomBytes(size_t count);
std::string le32(uint32_t value);
// RFC 3394 wrap; empty on failure.
std::string wrapKey(const std::string &key, const std::string &kek);
// AES-CBC of `plain` under `key` (16 or 32 bytes); empty on failure.
std::string aesCbcEncrypt(const std::string &key, const std::string &plain);
// Streams `source` encrypted into `destination`; false on failure (nothing left behind).
bool encryptFile(const std::string &source, const std::string &destination, const std::string &key);

// The archived file record ("MBFile") of one file as a binary property list.
// `encryptionKey` (class + wrapped key) is left out when empty.
std::string mbFileRecord(uint32_t protectionClass, const std::string &encryptionKey,
                         const std::string &relativePath, uint64_t size);

} // namespace mobiledevice

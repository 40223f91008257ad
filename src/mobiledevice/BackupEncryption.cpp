#include "BackupEncryption.h"

#include <plist/plist.h>

#include <openssl/evp.h>
#include <openssl/rand.h>
#include <openssl/sha.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <vector>

namespace mobiledevice {

namespace {

using CipherContext = std::unique_ptr<EVP_CIPHER_CTX, decltype(&EVP_CIPHER_CTX_free)>;

const unsigned char *u(const std::string &s)
{
    return reinterpret_cast<const unsigned char *>(s.data());
}

std::string be32(uint32_t v)
{
    std::string out(4, '\0');
    out[0] = char(v >> 24); out[1] = char(v >> 16); out[2] = char(v >> 8); out[3] = char(v);
    return out;
}

std::string tlv(const char *tag, const std::string &value)
{
    return std::string(tag, 4) + be32(uint32_t(value.size())) + value;
}

std::string sha1(const std::string &text)
{
    unsigned char digest[SHA_DIGEST_LENGTH];
    SHA1(u(text), text.size(), digest);
    return std::string(reinterpret_cast<char *>(digest), sizeof digest);
}

std::string pbkdf2(const std::string &secret, const std::string &salt, uint32_t iterations, const EVP_MD *md)
{
    std::string key(32, '\0');
    PKCS5_PBKDF2_HMAC(secret.data(), int(secret.size()), u(salt), int(salt.size()), int(iterations), md, 32,
                      reinterpret_cast<unsigned char *>(key.data()));
    return key;
}

plist_t uid(uint64_t value)
{
    return plist_new_uid(value);
}

} // namespace

std::string randomBytes(size_t count)
{
    std::string out(count, '\0');
    if (RAND_bytes(reinterpret_cast<unsigned char *>(out.data()), int(count)) != 1)
        std::abort();
    return out;
}

std::string le32(uint32_t v)
{
    std::string out(4, '\0');
    out[0] = char(v); out[1] = char(v >> 8); out[2] = char(v >> 16); out[3] = char(v >> 24);
    return out;
}

DeviceKeybag makeKeybag(const std::string &password, const std::string &uniqueDeviceID, uint32_t iterations)
{
    DeviceKeybag bag;
    const std::string salt = sha1("keybag-salt:" + uniqueDeviceID);
    const std::string dpsl = sha1("keybag-dpsl:" + uniqueDeviceID);
    const std::string first = pbkdf2(password, dpsl, iterations, EVP_sha256());
    bag.passwordKey = pbkdf2(first, salt, iterations, EVP_sha1());
    std::string blob = tlv("VERS", be32(4)) + tlv("TYPE", be32(1)) + tlv("UUID", randomBytes(16))
                       + tlv("HMCK", randomBytes(40)) + tlv("WRAP", be32(0)) + tlv("SALT", salt)
                       + tlv("ITER", be32(iterations)) + tlv("DPWT", be32(1)) + tlv("DPIC", be32(iterations))
                       + tlv("DPSL", dpsl);
    for (uint32_t cls = 1; cls <= 11; ++cls) {
        const std::string classKey = randomBytes(32);
        bag.classKeys[cls] = classKey;
        blob += tlv("UUID", randomBytes(16)) + tlv("CLAS", be32(cls)) + tlv("WRAP", be32(2)) + tlv("KTYP", be32(0))
                + tlv("WPKY", wrapKey(classKey, bag.passwordKey));
    }
    bag.blob = blob;
    return bag;
}

std::string wrapKey(const std::string &key, const std::string &kek)
{
    CipherContext ctx(EVP_CIPHER_CTX_new(), &EVP_CIPHER_CTX_free);
    if (!ctx)
        return {};
    EVP_CIPHER_CTX_set_flags(ctx.get(), EVP_CIPHER_CTX_FLAG_WRAP_ALLOW);
    const EVP_CIPHER *cipher = kek.size() == 16 ? EVP_aes_128_wrap() : EVP_aes_256_wrap();
    std::string out(key.size() + 16, '\0');
    int n = 0, tail = 0;
    auto *o = reinterpret_cast<unsigned char *>(out.data());
    if (EVP_EncryptInit_ex(ctx.get(), cipher, nullptr, u(kek), nullptr) != 1
        || EVP_EncryptUpdate(ctx.get(), o, &n, u(key), int(key.size())) != 1
        || EVP_EncryptFinal_ex(ctx.get(), o + n, &tail) != 1)
        return {};
    out.resize(size_t(n + tail));
    return out;
}

std::string aesCbcEncrypt(const std::string &key, const std::string &plain)
{
    CipherContext ctx(EVP_CIPHER_CTX_new(), &EVP_CIPHER_CTX_free);
    const unsigned char iv[16] = {};
    const EVP_CIPHER *cipher = key.size() == 16 ? EVP_aes_128_cbc() : EVP_aes_256_cbc();
    std::string out(plain.size() + 16, '\0');
    int n = 0, tail = 0;
    auto *o = reinterpret_cast<unsigned char *>(out.data());
    if (!ctx || EVP_EncryptInit_ex(ctx.get(), cipher, nullptr, u(key), iv) != 1
        || EVP_EncryptUpdate(ctx.get(), o, &n, u(plain), int(plain.size())) != 1
        || EVP_EncryptFinal_ex(ctx.get(), o + n, &tail) != 1)
        return {};
    out.resize(size_t(n + tail));
    return out;
}

bool encryptFile(const std::string &source, const std::string &destination, const std::string &key)
{
    CipherContext ctx(EVP_CIPHER_CTX_new(), &EVP_CIPHER_CTX_free);
    const unsigned char iv[16] = {};
    if (!ctx || EVP_EncryptInit_ex(ctx.get(), EVP_aes_256_cbc(), nullptr, u(key), iv) != 1)
        return false;
    std::ifstream in(source, std::ios::binary);
    std::ofstream out(destination, std::ios::binary | std::ios::trunc);
    if (!in || !out)
        return false;
    std::vector<char> buffer(1 << 20), sealed((1 << 20) + 32);
    int n = 0;
    while (in) {
        in.read(buffer.data(), std::streamsize(buffer.size()));
        const std::streamsize got = in.gcount();
        if (got <= 0)
            break;
        if (EVP_EncryptUpdate(ctx.get(), reinterpret_cast<unsigned char *>(sealed.data()), &n,
                              reinterpret_cast<unsigned char *>(buffer.data()), int(got)) != 1)
            return false;
        out.write(sealed.data(), n);
    }
    if (in.bad() || EVP_EncryptFinal_ex(ctx.get(), reinterpret_cast<unsigned char *>(sealed.data()), &n) != 1)
        return false;
    out.write(sealed.data(), n);
    out.close();
    if (!out) {
        std::remove(destination.c_str());
        return false;
    }
    return true;
}

std::string mbFileRecord(uint32_t protectionClass, const std::string &encryptionKey,
                         const std::string &relativePath, uint64_t size)
{
    plist_t objects = plist_new_array();
    plist_array_append_item(objects, plist_new_string("$null"));
    plist_t file = plist_new_dict();
    plist_dict_set_item(file, "$class", uid(2));
    plist_dict_set_item(file, "ProtectionClass", plist_new_uint(protectionClass));
    plist_dict_set_item(file, "RelativePath", uid(3));
    plist_dict_set_item(file, "Size", plist_new_uint(size));
    plist_dict_set_item(file, "Mode", plist_new_uint(0100644));
    plist_array_append_item(objects, file);
    plist_t fileClass = plist_new_dict();
    plist_dict_set_item(fileClass, "$classname", plist_new_string("MBFile"));
    plist_t fileClasses = plist_new_array();
    plist_array_append_item(fileClasses, plist_new_string("MBFile"));
    plist_array_append_item(fileClasses, plist_new_string("NSObject"));
    plist_dict_set_item(fileClass, "$classes", fileClasses);
    plist_array_append_item(objects, fileClass);
    plist_array_append_item(objects, plist_new_string(relativePath.c_str()));
    if (!encryptionKey.empty()) {
        plist_dict_set_item(file, "EncryptionKey", uid(4));
        plist_t data = plist_new_dict();
        plist_dict_set_item(data, "$class", uid(5));
        plist_dict_set_item(data, "NS.data", plist_new_data(encryptionKey.data(), encryptionKey.size()));
        plist_array_append_item(objects, data);
        plist_t dataClass = plist_new_dict();
        plist_dict_set_item(dataClass, "$classname", plist_new_string("NSMutableData"));
        plist_t dataClasses = plist_new_array();
        for (const char *name : {"NSMutableData", "NSData", "NSObject"})
            plist_array_append_item(dataClasses, plist_new_string(name));
        plist_dict_set_item(dataClass, "$classes", dataClasses);
        plist_array_append_item(objects, dataClass);
    }
    plist_t root = plist_new_dict();
    plist_dict_set_item(root, "$version", plist_new_uint(100000));
    plist_dict_set_item(root, "$archiver", plist_new_string("NSKeyedArchiver"));
    plist_t top = plist_new_dict();
    plist_dict_set_item(top, "root", uid(1));
    plist_dict_set_item(root, "$top", top);
    plist_dict_set_item(root, "$objects", objects);
    char *bytes = nullptr;
    uint32_t length = 0;
    plist_to_bin(root, &bytes, &length);
    plist_free(root);
    std::string out = bytes ? std::string(bytes, length) : std::string();
    std::free(bytes);
    return out;
}

} // namespace mobiledevice

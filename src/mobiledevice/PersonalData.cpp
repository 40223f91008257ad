#include "PersonalData.h"

#include <openssl/sha.h>

#include <algorithm>
#include <filesystem>
#include <system_error>

namespace fs = std::filesystem;

namespace mobiledevice {

namespace {

constexpr size_t kMaxFiles = 1'000'000;

bool isAppDomain(const std::string &domain)
{
    return domain.rfind("AppDomain", 0) == 0;
}

} // namespace

std::string sha1Hex(const std::string &text)
{
    unsigned char digest[SHA_DIGEST_LENGTH];
    SHA1(reinterpret_cast<const unsigned char *>(text.data()), text.size(), digest);
    static const char hex[] = "0123456789abcdef";
    std::string out;
    for (unsigned char byte : digest) {
        out += hex[byte >> 4];
        out += hex[byte & 15];
    }
    return out;
}

bool safeRelativePath(const std::string &relativePath)
{
    if (relativePath.empty() || relativePath.front() == '/' || relativePath.find('\0') != std::string::npos)
        return false;
    size_t start = 0;
    while (start <= relativePath.size()) {
        const size_t end = std::min(relativePath.find('/', start), relativePath.size());
        const std::string part = relativePath.substr(start, end - start);
        if (part.empty() || part == "." || part == "..")
            return false;
        start = end + 1;
    }
    return true;
}

std::vector<PersonalFile> listPersonalFiles(const std::string &deviceFolder)
{
    std::vector<PersonalFile> files;
    const fs::path root = fs::path(deviceFolder) / "personal";
    std::error_code ec;
    for (fs::directory_iterator domains(root, ec), end; !ec && domains != end; domains.increment(ec)) {
        if (!domains->is_directory(ec) || domains->is_symlink(ec))
            continue;
        const std::string domain = domains->path().filename().string();
        if (domain.empty() || domain[0] == '.')
            continue;
        fs::recursive_directory_iterator walk(domains->path(), fs::directory_options::none, ec);
        for (; !ec && walk != fs::recursive_directory_iterator(); walk.increment(ec)) {
            const fs::file_status status = walk->symlink_status(ec);
            if (ec || !fs::is_regular_file(status))
                continue;
            PersonalFile file;
            file.domain = domain;
            file.relativePath = fs::relative(walk->path(), domains->path(), ec).generic_string();
            if (ec || !safeRelativePath(file.relativePath))
                continue;
            file.fullPath = walk->path().string();
            file.size = walk->file_size(ec);
            file.fileID = sha1Hex(domain + "-" + file.relativePath);
            files.push_back(std::move(file));
            if (files.size() >= kMaxFiles)
                break;
        }
        ec.clear();
    }
    std::sort(files.begin(), files.end(), [](const PersonalFile &a, const PersonalFile &b) {
        const bool appA = isAppDomain(a.domain), appB = isAppDomain(b.domain);
        if (appA != appB)
            return !appA;
        return a.domain != b.domain ? a.domain < b.domain : a.relativePath < b.relativePath;
    });
    return files;
}

} // namespace mobiledevice

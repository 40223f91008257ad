#pragma once
// The personal-data files of a simulated device: "personal/<domain>/<relative path>" in the
// device folder, one file per backup file. What both backup protocols send and what a
// restore writes. Regular files only; links and special files are left out, so nothing
// outside the device folder is ever read.

#include <cstdint>
#include <string>
#include <vector>

namespace mobiledevice {

struct PersonalFile
{
    std::string domain;
    std::string relativePath;
    std::string fullPath;
    uint64_t size = 0;
    std::string fileID; // lowercase hex SHA-1 of "<domain>-<relative path>"
};

// Every file, sorted by domain and path, the app domains last (the older protocol stops
// before them).
std::vector<PersonalFile> listPersonalFiles(const std::string &deviceFolder);

// Lowercase hex SHA-1 of `text`.
std::string sha1Hex(const std::string &text);

// Whether `relativePath` may be written under a domain folder: not empty, not absolute, no
// empty, "." or ".." component, no NUL.
bool safeRelativePath(const std::string &relativePath);

} // namespace mobiledevice

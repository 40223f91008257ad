#pragma once
// What the transfer benchmarks share: a scratch folder on the build disk, a simulated phone
// whose media area holds one large file (with the same file on the host side), and cp of a
// file as the yardstick. Plain C++, no Qt, so the device library's benchmark can use it too.

#include <cstddef>
#include <filesystem>
#include <vector>

namespace BenchDevice {

// A fresh, empty folder named `name` under QUILLON_BENCH_DIR when set, else under the build
// folder (the same disk as the sources).
std::filesystem::path scratchFolder(const char *name);

// Lays out a simulated phone in root/phone with media/source.bin of `size` bytes, writes the
// same bytes to root/host/source.bin and points QUILLON_SIM_DEVICES at root. The phone is
// moved into place in one rename, so the library sees it attach whole. Returns root/host.
std::filesystem::path layOutPhone(const std::filesystem::path &root, size_t size);

// Lays out a simulated phone in root/phone whose media area holds, for each count N,
// Fernlow/list-N with N small files, and points QUILLON_SIM_DEVICES at root. Returns the
// host folder of the media area (root/phone/media).
std::filesystem::path layOutListingPhone(const std::filesystem::path &root, const std::vector<int> &counts);

// `ls -l` of `folder` into /dev/null; false when ls fails.
bool listWithLs(const std::filesystem::path &folder);

// cp of `from` to `to`; false when cp fails.
bool copyWithCp(const std::filesystem::path &from, const std::filesystem::path &to);

} // namespace BenchDevice

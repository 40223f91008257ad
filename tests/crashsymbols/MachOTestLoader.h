#pragma once
// Places a Mach-O dylib in this process the way the loader would, so the crash engine's
// readers can be tested on it: segments are copied to header + (vmaddr - text vmaddr) in
// anonymous memory, rebase opcodes slide every pointer, and each class of the class list
// gets the realized read-write record the Objective-C runtime would give it at run time.
// Also small helpers that run the LLVM tools on the fixtures.

#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

struct MachOLoadOptions {
    std::set<std::string> unrealizedClasses; // left as on disk: data points at the read-only record
    bool nonPointerIsa = false;              // class isa = metaclass | 1, as arm64 runtimes keep it
    bool lowAddress = false;                 // below 8 GiB, so a masked isa still reaches the class
};

class LoadedMachO
{
public:
    static std::unique_ptr<LoadedMachO> load(const std::string &path, const MachOLoadOptions &options = {});
    ~LoadedMachO();

    uint64_t header() const { return reinterpret_cast<uint64_t>(mBase); }
    uint64_t slide() const { return header() - mTextVmaddr; }
    uint64_t address(uint64_t vmaddr) const { return vmaddr + slide(); }
    uint8_t *base() const { return mBase; }
    size_t size() const { return mSize; }

private:
    uint8_t *mBase = nullptr;
    size_t mSize = 0;
    uint64_t mTextVmaddr = 0;
    std::unique_ptr<uint64_t[]> mRwRecords;
};

std::string fixturePath(const std::string &name);
std::vector<uint8_t> readFileBytes(const std::string &path);
std::string runCommand(const std::string &command);
// Defined text symbols of a file (llvm-nm): name -> unslid address.
std::map<std::string, uint64_t> textSymbols(const std::string &path);

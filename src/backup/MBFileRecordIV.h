#pragma once
// The fixed initialisation vector of encrypted manifest file records. Records carry no IV of
// their own, so every writer and reader of such records (Quillon and the simulated device)
// must use exactly these 16 bytes. Plain C++ without Qt, so both can include it.

inline constexpr unsigned char kMBFileRecordIV[16] = {
    0x51, 0x75, 0x69, 0x6c, 0x6c, 0x6f, 0x6e, 0x2d, 0x4d, 0x42, 0x46, 0x69, 0x6c, 0x65, 0x49, 0x56};

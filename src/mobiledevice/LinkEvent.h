#pragma once
// One event of a device-link connection, waiting for the program's thread to take it with
// DLWaitForMessage, which runs the matching slot of the connection's callback table.

#include "PlistFile.h"

#include <cstddef>
#include <string>

namespace mobiledevice {

enum LinkSlot : int {
    kSlotConnectionMade = 2,
    kSlotConnectionFailed = 3,
    kSlotDisconnect = 5,
    kSlotConnectionLost = 6,
    kSlotProcessMessage = 7,
    kSlotFileData = 10,      // older protocol: value1 data node (or null), value2 info dictionary
    kSlotProgress = 11,      // current protocol: value1 points to a double
};

struct LinkEvent
{
    int slot = 0;
    PlistPtr message;   // slot 7: the message; slot 10: the data node
    PlistPtr info;      // slot 10: the info dictionary
    std::string text;   // slot 3: the description
    double number = 0;  // slot 11
    size_t bytes = 0;   // file data carried (slot 10), which the connection's queue bounds
};

} // namespace mobiledevice

#include "GetPID.h"

#include "platform/ProcessLookup.h"

#include <cerrno>
#include <unistd.h>
#include <vector>

int GetAllPIDsForProcessName(const char *ProcessName, pid_t ArrayOfReturnedPIDs[],
                             unsigned int NumberOfPossiblePIDsInArray, unsigned int *NumberOfMatchesFound,
                             int *SysctlError)
{
    if (!ProcessName || !*ProcessName || !ArrayOfReturnedPIDs || NumberOfPossiblePIDsInArray == 0
        || !NumberOfMatchesFound)
        return -2;
    for (unsigned int i = 0; i < NumberOfPossiblePIDsInArray; ++i)
        ArrayOfReturnedPIDs[i] = 0;
    *NumberOfMatchesFound = 0;
    if (SysctlError)
        *SysctlError = 0;

    std::vector<pid_t> pids;
    int error = 0;
    switch (ProcessLookup::findProcesses(QByteArray(ProcessName), getuid(), NumberOfPossiblePIDsInArray,
                                         &pids, &error)) {
    case ProcessLookup::Status::Ok:
        break;
    case ProcessLookup::Status::Failed:
        if (SysctlError)
            *SysctlError = error;
        return -3;
    case ProcessLookup::Status::OutOfMemory:
        if (SysctlError)
            *SysctlError = ENOMEM;
        return -4;
    }
    for (size_t i = 0; i < pids.size(); ++i)
        ArrayOfReturnedPIDs[i] = pids[i];
    *NumberOfMatchesFound = unsigned(pids.size());
    return pids.empty() ? -1 : 0;
}

int GetPIDForProcessName(const char *ProcessName)
{
    pid_t pid = 0;
    unsigned int found = 0;
    if (GetAllPIDsForProcessName(ProcessName, &pid, 1, &found, nullptr) != 0 || found == 0)
        return -1;
    return int(pid);
}

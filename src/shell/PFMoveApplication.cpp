#include "PFMoveApplication.h"

void PFMoveToApplicationsFolderIfNecessary(bool force)
{
    (void)force;
}

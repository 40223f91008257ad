#pragma once
// The offer to move the application into the Applications folder at launch.
//
// A Linux desktop has no Applications folder that programs are dragged into: Quillon is
// installed by the package manager or run from its build folder, so there is nothing to
// offer and the call returns at once. It stays so the launch order keeps its step.
// Main thread.

void PFMoveToApplicationsFolderIfNecessary(bool force = false);

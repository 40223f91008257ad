#pragma once
// The program entry's re-execution step. The design re-executed itself on old host systems
// to pick a processor architecture; a Linux build runs one architecture, so the step only
// recognises its own marker argument "-respawn" and never spawns.

// Returns true when the arguments carry "-respawn" (logged as a failed re-spawn).
bool respawnAppropriateArchitecture(int argc, char *const argv[]);

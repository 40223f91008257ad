#pragma once
// The program entry's re-execution step. The design re-executed itself on old host systems
// to pick a processor architecture; a Linux build runs one architecture, so the step only
// recognises its own marker argument "-respawn" and never spawns.

// Returns true when the arguments carry "-respawn". It runs first thing in main, before the
// logger exists, so the failed re-spawn is only noted here and logged by logRespawnOutcome.
bool respawnAppropriateArchitecture(int argc, char *const argv[]);
// Logs the failed re-spawn noted above, once; called as soon as the process logger exists.
void logRespawnOutcome();

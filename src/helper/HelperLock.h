#pragma once
// Keeps a second helper of the same user from running: an exclusive lock (flock) on
// HelperPaths::lockFile(), held for the life of the process. Two helpers started together
// cannot both miss each other, as counting running helpers could; the lock also ends with
// a helper that is killed. The descriptor is not inherited by programs the helper starts.

enum class HelperLockResult { Acquired, HeldByAnother, Unavailable };

// Takes the lock; on Unavailable (no lock file could be made or it is not this user's) the
// helper runs without one and says so in the log.
HelperLockResult acquireHelperLock();

#pragma once
// The file browser's size worker: one thread that computes the size of the item last asked
// for and posts "UpdateStatusTextWithSize" on the main thread with the user info {"path":
// browser path, "size": size text}. Requests are numbered: a new request or stop() makes the
// running walk end early (AppController::stopFindingFileSize) and its result is dropped, so
// no stale size is ever posted and at most one walk runs. Nobody waits for the worker.
//
// Any thread. The worker starts on the first request; it ends with the process (it holds no
// lock while idle), or when the controller goes (~AppController stops and joins it through
// shutdown()).

#include <QString>

#include <cstdint>

class AppController;

namespace FolderSizer {

// Asks for the size of `browserPath`; returns the request's number.
uint64_t request(AppController &device, const QString &browserPath);
// Drops the request in progress (and its result).
void stop(AppController &device);
// The number of the last request (tests).
uint64_t currentRequest();
// Ends the worker and waits for it (process end, tests).
void shutdown();

} // namespace FolderSizer

#pragma once
// The one HTTPS client of the program: a libcurl session that runs any number of requests
// at once on its own worker thread, reusing connections (at most `maxConnectionsPerHost` to
// one host).
//
// start() hands a request over and returns at once; the completion is called exactly once,
// on the session's worker thread, one completion at a time and with no lock of the session
// held: with the answer, with an error, or with HttpError::Cancelled after cancel() or
// invalidateAndCancel(). A session whose worker thread cannot start completes every request
// at once on the caller's thread with HttpError::Other.
//
// All calls but the destructor are thread-safe and never wait for the worker: they may be
// made from inside a completion, and while the caller holds locks a completion takes.
// Destroying the session cancels what is left and waits for the worker to end (a running
// completion finishes first), so never destroy it while holding a lock a completion takes;
// destroyed from inside its own completion, it lets the worker end by itself.
// perform() is a blocking one-off request on the caller's thread.

#include "net/HttpRequest.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <thread>

class HttpSession
{
public:
    using TaskId = std::uint64_t; // never 0 for a started task
    using Completion = std::function<void(const HttpResult &result)>;

    explicit HttpSession(int maxConnectionsPerHost = 4);
    ~HttpSession();
    HttpSession(const HttpSession &) = delete;
    HttpSession &operator=(const HttpSession &) = delete;

    TaskId start(HttpRequest request, Completion completion);
    void cancel(TaskId task);
    // Cancels every task started so far; the session stays usable for new ones.
    void invalidateAndCancel();
    int runningTaskCount() const;

    static HttpResult perform(const HttpRequest &request);

private:
    struct State;
    std::shared_ptr<State> d;
    std::thread mWorker;
};

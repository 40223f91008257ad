#pragma once
// A real HTTP/1.1 server on 127.0.0.1 for tests: it records every request and answers from
// a script, so a test can check what a client sent and make it meet 503s, 400s, dropped
// connections or slow answers.
//
// Answers: the scripted responses in order, one per request, then the default response
// (200 with an empty body unless changed); a handler, when set, decides instead of both.
// Connections are kept alive as clients ask; "Expect: 100-continue" is honoured.
//
// Thread-safe: the server runs on its own threads; every method may be called from any
// thread. stop() (also run by the destructor) closes every connection and joins them.

#include <QByteArray>
#include <QList>
#include <QMap>
#include <QString>

#include <atomic>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

class LoopbackHttpServer
{
public:
    struct Request
    {
        QByteArray method;
        QByteArray path;  // without the query
        QByteArray query; // as sent, without "?"
        QMap<QByteArray, QByteArray> headers; // names in lower case
        QByteArray body;  // as sent

        QByteArray header(const QByteArray &name) const { return headers.value(name.toLower()); }
        // The body, inflated when it came gzip-encoded (empty when inflating fails).
        QByteArray decodedBody() const;
    };

    struct Response
    {
        int status = 200;
        QByteArray body;
        QList<QPair<QByteArray, QByteArray>> headers;
        // Close the connection without answering.
        bool dropConnection = false;
        // Wait this long before answering (cut short by stop()).
        int delayMs = 0;
    };
    using Handler = std::function<Response(const Request &request)>;

    LoopbackHttpServer();
    ~LoopbackHttpServer();
    LoopbackHttpServer(const LoopbackHttpServer &) = delete;
    LoopbackHttpServer &operator=(const LoopbackHttpServer &) = delete;

    // Listens on an ephemeral port; false when no socket could be had.
    bool start();
    void stop();
    quint16 port() const { return mPort; }
    // "http://127.0.0.1:<port>"
    QString baseUrl() const;

    void enqueueResponse(const Response &response);
    void enqueueStatuses(const QList<int> &statuses);
    void setDefaultResponse(const Response &response);
    void setHandler(Handler handler);

    QList<Request> requests() const;
    int requestCount() const;
    void clearRequests();
    // Waits (without turning any event loop) until `count` requests have arrived.
    bool waitForRequestCount(int count, int timeoutMs = 5000) const;

private:
    void acceptLoop();
    void serve(int socket);
    Response responseFor(const Request &request);
    bool sleepUnlessStopped(int delayMs);

    int mListenSocket = -1;
    int mWakePipe[2] = {-1, -1};
    quint16 mPort = 0;
    std::atomic<bool> mStopping{false};
    std::thread mAcceptThread;

    mutable std::mutex mLock;
    mutable std::condition_variable mChanged;
    QList<Request> mRequests;
    QList<Response> mScript;
    Response mDefault;
    Handler mHandler;
    std::vector<std::thread> mConnections;
    std::vector<int> mSockets;
};

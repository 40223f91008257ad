#include "LoopbackHttpServer.h"
#include "TestWait.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <zlib.h>

#include <chrono>

namespace {

bool sendAll(int socket, const QByteArray &data)
{
    qsizetype sent = 0;
    while (sent < data.size()) {
        const ssize_t n = ::send(socket, data.constData() + sent, size_t(data.size() - sent), MSG_NOSIGNAL);
        if (n <= 0)
            return false;
        sent += n;
    }
    return true;
}

QByteArray reasonFor(int status)
{
    switch (status) {
    case 200: return "OK";
    case 201: return "Created";
    case 204: return "No Content";
    case 400: return "Bad Request";
    case 401: return "Unauthorized";
    case 403: return "Forbidden";
    case 404: return "Not Found";
    case 408: return "Request Timeout";
    case 429: return "Too Many Requests";
    case 500: return "Internal Server Error";
    case 503: return "Service Unavailable";
    default: return "Status";
    }
}

} // namespace

QByteArray LoopbackHttpServer::Request::decodedBody() const
{
    if (header("content-encoding") != "gzip")
        return body;
    z_stream stream{};
    if (inflateInit2(&stream, 15 + 32) != Z_OK)
        return {};
    QByteArray out;
    stream.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(body.constData()));
    stream.avail_in = uInt(body.size());
    char buffer[16384];
    int code = Z_OK;
    while (code == Z_OK) {
        stream.next_out = reinterpret_cast<Bytef *>(buffer);
        stream.avail_out = sizeof buffer;
        code = inflate(&stream, Z_NO_FLUSH);
        out.append(buffer, qsizetype(sizeof buffer - stream.avail_out));
    }
    inflateEnd(&stream);
    return code == Z_STREAM_END ? out : QByteArray();
}

LoopbackHttpServer::LoopbackHttpServer() = default;

LoopbackHttpServer::~LoopbackHttpServer()
{
    stop();
}

bool LoopbackHttpServer::start()
{
    if (::pipe(mWakePipe) != 0)
        return false;
    mListenSocket = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (mListenSocket < 0)
        return false;
    const int one = 1;
    ::setsockopt(mListenSocket, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;
    if (::bind(mListenSocket, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0
        || ::listen(mListenSocket, 64) != 0)
        return false;
    socklen_t length = sizeof address;
    ::getsockname(mListenSocket, reinterpret_cast<sockaddr *>(&address), &length);
    mPort = ntohs(address.sin_port);
    mAcceptThread = std::thread([this] { acceptLoop(); });
    return true;
}

void LoopbackHttpServer::stop()
{
    if (mStopping.exchange(true))
        return;
    if (mWakePipe[1] >= 0)
        (void)!::write(mWakePipe[1], "x", 1);
    mChanged.notify_all();
    if (mAcceptThread.joinable())
        mAcceptThread.join();
    std::vector<std::thread> connections;
    {
        std::lock_guard guard(mLock);
        for (int socket : mSockets)
            ::shutdown(socket, SHUT_RDWR);
        connections.swap(mConnections);
    }
    for (auto &thread : connections)
        thread.join();
    for (int fd : {mListenSocket, mWakePipe[0], mWakePipe[1]})
        if (fd >= 0)
            ::close(fd);
    mListenSocket = mWakePipe[0] = mWakePipe[1] = -1;
}

QString LoopbackHttpServer::baseUrl() const
{
    return QStringLiteral("http://127.0.0.1:%1").arg(mPort);
}

void LoopbackHttpServer::enqueueResponse(const Response &response)
{
    std::lock_guard guard(mLock);
    mScript.append(response);
}

void LoopbackHttpServer::enqueueStatuses(const QList<int> &statuses)
{
    std::lock_guard guard(mLock);
    for (int status : statuses) {
        Response response;
        response.status = status;
        mScript.append(response);
    }
}

void LoopbackHttpServer::setDefaultResponse(const Response &response)
{
    std::lock_guard guard(mLock);
    mDefault = response;
}

void LoopbackHttpServer::setHandler(Handler handler)
{
    std::lock_guard guard(mLock);
    mHandler = std::move(handler);
}

QList<LoopbackHttpServer::Request> LoopbackHttpServer::requests() const
{
    std::lock_guard guard(mLock);
    // A copy of its own, made under the lock: a shared copy would be detached later, outside
    // it, while the server thread appends to the list they share.
    QList<Request> copy = mRequests;
    copy.detach();
    return copy;
}

int LoopbackHttpServer::requestCount() const
{
    std::lock_guard guard(mLock);
    return int(mRequests.size());
}

void LoopbackHttpServer::clearRequests()
{
    std::lock_guard guard(mLock);
    mRequests.clear();
}

bool LoopbackHttpServer::waitForRequestCount(int count, int timeoutMs) const
{
    std::unique_lock guard(mLock);
    return mChanged.wait_for(guard, std::chrono::milliseconds(scaledTimeoutMs(timeoutMs)),
                             [&] { return mRequests.size() >= count; });
}

void LoopbackHttpServer::acceptLoop()
{
    while (!mStopping) {
        pollfd fds[2] = {{mListenSocket, POLLIN, 0}, {mWakePipe[0], POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0)
            continue;
        if (fds[1].revents || mStopping)
            return;
        const int socket = ::accept4(mListenSocket, nullptr, nullptr, SOCK_CLOEXEC);
        if (socket < 0)
            continue;
        std::lock_guard guard(mLock);
        mSockets.push_back(socket);
        mConnections.emplace_back([this, socket] { serve(socket); });
    }
}

LoopbackHttpServer::Response LoopbackHttpServer::responseFor(const Request &request)
{
    std::lock_guard guard(mLock);
    mRequests.append(request);
    mChanged.notify_all();
    if (mHandler)
        return mHandler(request);
    if (!mScript.isEmpty())
        return mScript.takeFirst();
    return mDefault;
}

bool LoopbackHttpServer::sleepUnlessStopped(int delayMs)
{
    std::unique_lock guard(mLock);
    return !mChanged.wait_for(guard, std::chrono::milliseconds(delayMs), [&] { return mStopping.load(); });
}

void LoopbackHttpServer::serve(int socket)
{
    QByteArray buffer;
    auto readMore = [&]() {
        char chunk[65536];
        const ssize_t n = ::recv(socket, chunk, sizeof chunk, 0);
        if (n <= 0)
            return false;
        buffer.append(chunk, n);
        return true;
    };
    while (!mStopping) {
        qsizetype end;
        while ((end = buffer.indexOf("\r\n\r\n")) < 0)
            if (!readMore())
                return;
        const QList<QByteArray> lines = buffer.left(end).split('\n');
        buffer.remove(0, end + 4);
        Request request;
        const QList<QByteArray> first = lines.value(0).trimmed().split(' ');
        request.method = first.value(0);
        const QByteArray target = first.value(1);
        const qsizetype mark = target.indexOf('?');
        request.path = mark < 0 ? target : target.left(mark);
        request.query = mark < 0 ? QByteArray() : target.mid(mark + 1);
        for (qsizetype i = 1; i < lines.size(); ++i) {
            const QByteArray line = lines.at(i).trimmed();
            const qsizetype colon = line.indexOf(':');
            if (colon > 0)
                request.headers.insert(line.left(colon).trimmed().toLower(), line.mid(colon + 1).trimmed());
        }
        if (request.header("expect").toLower() == "100-continue" && !sendAll(socket, "HTTP/1.1 100 Continue\r\n\r\n"))
            return;
        const qsizetype length = request.header("content-length").toLongLong();
        while (buffer.size() < length)
            if (!readMore())
                return;
        request.body = buffer.left(length);
        buffer.remove(0, length);

        const Response response = responseFor(request);
        if (response.delayMs > 0 && !sleepUnlessStopped(response.delayMs))
            return;
        if (response.dropConnection) {
            ::shutdown(socket, SHUT_RDWR);
            return;
        }
        QByteArray reply = "HTTP/1.1 " + QByteArray::number(response.status) + " " + reasonFor(response.status) + "\r\n";
        for (const auto &[name, value] : response.headers)
            reply += name + ": " + value + "\r\n";
        reply += "Content-Length: " + QByteArray::number(response.body.size()) + "\r\n\r\n";
        reply += response.body;
        if (!sendAll(socket, reply))
            return;
    }
}

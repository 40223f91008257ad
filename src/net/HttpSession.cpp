#include "net/HttpSession.h"

#include <curl/curl.h>

#include <QDebug>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <set>
#include <system_error>
#include <thread>

QByteArray HttpResult::header(const QByteArray &name) const
{
    for (const auto &[key, value] : headers)
        if (key.compare(name, Qt::CaseInsensitive) == 0)
            return value;
    return {};
}

namespace {

void initCurlOnce()
{
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

HttpError errorFor(CURLcode code)
{
    switch (code) {
    case CURLE_OK: return HttpError::None;
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_RESOLVE_PROXY: return HttpError::CannotResolve;
    case CURLE_COULDNT_CONNECT: return HttpError::CannotConnect;
    case CURLE_OPERATION_TIMEDOUT: return HttpError::TimedOut;
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_PEER_FAILED_VERIFICATION:
    case CURLE_SSL_CERTPROBLEM:
    case CURLE_SSL_CIPHER:
    case CURLE_SSL_CACERT_BADFILE:
    case CURLE_SSL_ISSUER_ERROR:
    case CURLE_SSL_PINNEDPUBKEYNOTMATCH:
    case CURLE_SSL_INVALIDCERTSTATUS:
    case CURLE_USE_SSL_FAILED:
    case CURLE_SSL_ENGINE_NOTFOUND:
    case CURLE_SSL_ENGINE_SETFAILED:
    case CURLE_SSL_ENGINE_INITFAILED:
    case CURLE_SSL_SHUTDOWN_FAILED:
    case CURLE_SSL_CRL_BADFILE: return HttpError::SecureConnection;
    case CURLE_SEND_ERROR:
    case CURLE_RECV_ERROR:
    case CURLE_GOT_NOTHING:
    case CURLE_PARTIAL_FILE:
    case CURLE_HTTP2:
    case CURLE_HTTP2_STREAM: return HttpError::ConnectionLost;
    case CURLE_URL_MALFORMAT:
    case CURLE_UNSUPPORTED_PROTOCOL:
    case CURLE_BAD_FUNCTION_ARGUMENT: return HttpError::InvalidRequest;
    default: return HttpError::Other;
    }
}

// One request with everything libcurl points into while it runs.
struct Task
{
    HttpSession::TaskId id = 0;
    HttpRequest request;
    HttpSession::Completion completion;
    HttpResult result;
    CURL *easy = nullptr;
    curl_slist *headerList = nullptr;
    char errorBuffer[CURL_ERROR_SIZE] = {};

    ~Task()
    {
        if (easy)
            curl_easy_cleanup(easy);
        curl_slist_free_all(headerList);
    }
};

size_t writeBody(char *data, size_t size, size_t count, void *user)
{
    static_cast<Task *>(user)->result.body.append(data, qsizetype(size * count));
    return size * count;
}

size_t writeHeader(char *data, size_t size, size_t count, void *user)
{
    auto *task = static_cast<Task *>(user);
    const QByteArray line = QByteArray(data, qsizetype(size * count)).trimmed();
    if (line.startsWith("HTTP/")) {
        // A new status line (after a redirect or an interim answer) starts a new header set.
        task->result.headers.clear();
    } else if (const int colon = line.indexOf(':'); colon > 0) {
        task->result.headers.append({line.left(colon).trimmed(), line.mid(colon + 1).trimmed()});
    }
    return size * count;
}

// Prepares the task's easy handle; false (with the task's result filled) when libcurl refuses.
bool prepare(Task &task)
{
    task.easy = curl_easy_init();
    if (!task.easy) {
        task.result.error = HttpError::Other;
        task.result.errorText = QStringLiteral("Could not create a transfer handle.");
        return false;
    }
    CURL *easy = task.easy;
    const HttpRequest &request = task.request;
    const QByteArray url = request.url.toUtf8();
    curl_easy_setopt(easy, CURLOPT_URL, url.constData());
    curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(easy, CURLOPT_ERRORBUFFER, task.errorBuffer);
#if LIBCURL_VERSION_NUM >= 0x075500
    curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http,https");
#else
    curl_easy_setopt(easy, CURLOPT_PROTOCOLS, long(CURLPROTO_HTTP | CURLPROTO_HTTPS));
#endif
    curl_easy_setopt(easy, CURLOPT_TIMEOUT_MS, long(qMax(0, request.timeoutMs)));
    curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT_MS, long(qMax(0, request.connectTimeoutMs)));
    // Answers may come compressed; libcurl inflates them.
    curl_easy_setopt(easy, CURLOPT_ACCEPT_ENCODING, "");
    curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, writeBody);
    curl_easy_setopt(easy, CURLOPT_WRITEDATA, &task);
    curl_easy_setopt(easy, CURLOPT_HEADERFUNCTION, writeHeader);
    curl_easy_setopt(easy, CURLOPT_HEADERDATA, &task);

    if (request.method == "GET") {
        curl_easy_setopt(easy, CURLOPT_HTTPGET, 1L);
    } else {
        if (request.method != "POST")
            curl_easy_setopt(easy, CURLOPT_CUSTOMREQUEST, request.method.constData());
        curl_easy_setopt(easy, CURLOPT_POST, 1L);
        curl_easy_setopt(easy, CURLOPT_POSTFIELDSIZE_LARGE, curl_off_t(request.body.size()));
        curl_easy_setopt(easy, CURLOPT_POSTFIELDS, request.body.constData());
    }
    for (const auto &[name, value] : request.headers) {
        // libcurl takes header lines; a line break inside one would forge another header.
        if (name.contains('\n') || name.contains('\r') || value.contains('\n') || value.contains('\r'))
            continue;
        const QByteArray line = value.isEmpty() ? name + ";" : name + ": " + value;
        task.headerList = curl_slist_append(task.headerList, line.constData());
    }
    task.headerList = curl_slist_append(task.headerList, "Expect:");
    curl_easy_setopt(easy, CURLOPT_HTTPHEADER, task.headerList);
    return true;
}

void finish(Task &task, CURLcode code)
{
    long status = 0;
    curl_easy_getinfo(task.easy, CURLINFO_RESPONSE_CODE, &status);
    task.result.error = errorFor(code);
    if (code != CURLE_OK) {
        // A transport failure is no HTTP answer, whatever arrived before it.
        task.result.status = 0;
        task.result.errorText = QString::fromUtf8(task.errorBuffer[0] ? task.errorBuffer : curl_easy_strerror(code));
    } else {
        task.result.status = int(status);
    }
}

HttpResult failed(HttpError error, const QString &text)
{
    HttpResult result;
    result.error = error;
    result.errorText = text;
    return result;
}

} // namespace

struct HttpSession::State
{
    std::mutex lock;
    std::deque<std::unique_ptr<Task>> incoming;
    std::set<TaskId> cancelled;
    TaskId cancelAllBelow = 0; // every id up to this one is cancelled
    bool stopping = false;
    TaskId nextId = 1;
    std::atomic<int> running{0};
    CURLM *multi = nullptr;
    bool workerRunning = false;

    void wake()
    {
        if (multi)
            curl_multi_wakeup(multi);
    }
    void run();
};

void HttpSession::State::run()
{
    std::map<CURL *, std::unique_ptr<Task>> active;
    auto complete = [&](std::unique_ptr<Task> task) {
        running--;
        {
            std::lock_guard guard(lock);
            if (stopping)
                return;
        }
        if (task->completion)
            task->completion(task->result);
    };
    for (;;) {
        std::deque<std::unique_ptr<Task>> added;
        std::set<TaskId> cancelNow;
        TaskId cancelBelow = 0;
        {
            std::lock_guard guard(lock);
            if (stopping)
                break;
            added.swap(incoming);
            cancelNow.swap(cancelled);
            cancelBelow = cancelAllBelow;
        }
        for (auto &task : added) {
            if (task->id <= cancelBelow || cancelNow.count(task->id)) {
                task->result = failed(HttpError::Cancelled, QStringLiteral("Cancelled."));
                complete(std::move(task));
                continue;
            }
            if (!prepare(*task) || curl_multi_add_handle(multi, task->easy) != CURLM_OK) {
                if (task->result.error == HttpError::None)
                    task->result = failed(HttpError::InvalidRequest, QStringLiteral("The request was refused."));
                complete(std::move(task));
                continue;
            }
            CURL *easy = task->easy;
            active.emplace(easy, std::move(task));
        }
        for (auto it = active.begin(); it != active.end();) {
            if (it->second->id <= cancelBelow || cancelNow.count(it->second->id)) {
                curl_multi_remove_handle(multi, it->first);
                auto task = std::move(it->second);
                it = active.erase(it);
                task->result = failed(HttpError::Cancelled, QStringLiteral("Cancelled."));
                complete(std::move(task));
            } else {
                ++it;
            }
        }
        int stillRunning = 0;
        curl_multi_perform(multi, &stillRunning);
        int queued = 0;
        while (CURLMsg *message = curl_multi_info_read(multi, &queued)) {
            if (message->msg != CURLMSG_DONE)
                continue;
            const auto it = active.find(message->easy_handle);
            if (it == active.end())
                continue;
            const CURLcode code = message->data.result;
            curl_multi_remove_handle(multi, it->first);
            auto task = std::move(it->second);
            active.erase(it);
            finish(*task, code);
            complete(std::move(task));
        }
        curl_multi_poll(multi, nullptr, 0, 1000, nullptr);
    }
    for (auto &[easy, task] : active)
        curl_multi_remove_handle(multi, easy);
    active.clear();
    CURLM *handle = nullptr;
    {
        std::lock_guard guard(lock);
        handle = multi;
        multi = nullptr;
    }
    curl_multi_cleanup(handle);
}

HttpSession::HttpSession(int maxConnectionsPerHost) : d(std::make_shared<State>())
{
    initCurlOnce();
    d->multi = curl_multi_init();
    if (!d->multi)
        return;
    curl_multi_setopt(d->multi, CURLMOPT_MAX_HOST_CONNECTIONS, long(qMax(1, maxConnectionsPerHost)));
    try {
        mWorker = std::thread([state = d] { state->run(); });
        d->workerRunning = true;
    } catch (const std::system_error &error) {
        qWarning("HTTP session: the worker thread could not start: %s", error.what());
        curl_multi_cleanup(d->multi);
        d->multi = nullptr;
    }
}

HttpSession::~HttpSession()
{
    {
        std::lock_guard guard(d->lock);
        d->stopping = true;
        d->incoming.clear();
        d->wake();
    }
    if (!mWorker.joinable())
        return;
    // The worker shares its state, so from inside a completion it may finish on its own.
    if (mWorker.get_id() == std::this_thread::get_id())
        mWorker.detach();
    else
        mWorker.join();
}

HttpSession::TaskId HttpSession::start(HttpRequest request, Completion completion)
{
    auto task = std::make_unique<Task>();
    task->request = std::move(request);
    task->completion = std::move(completion);
    {
        std::lock_guard guard(d->lock);
        task->id = d->nextId++;
        if (d->workerRunning && !d->stopping) {
            const TaskId id = task->id;
            d->running++;
            d->incoming.push_back(std::move(task));
            d->wake();
            return id;
        }
    }
    const TaskId id = task->id;
    if (task->completion)
        task->completion(failed(HttpError::Other, QStringLiteral("The HTTP worker is not running.")));
    return id;
}

void HttpSession::cancel(TaskId task)
{
    std::lock_guard guard(d->lock);
    d->cancelled.insert(task);
    d->wake();
}

void HttpSession::invalidateAndCancel()
{
    std::lock_guard guard(d->lock);
    d->cancelAllBelow = d->nextId - 1;
    d->wake();
}

int HttpSession::runningTaskCount() const
{
    return d->running.load();
}

HttpResult HttpSession::perform(const HttpRequest &request)
{
    initCurlOnce();
    Task task;
    task.request = request;
    if (!prepare(task))
        return task.result;
    const CURLcode code = curl_easy_perform(task.easy);
    finish(task, code);
    return task.result;
}

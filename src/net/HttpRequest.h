#pragma once
// One HTTP exchange as the HTTPS client sees it: the request to make and what came back.
//
// Header names keep the caller's spelling; the client adds nothing but what libcurl needs
// (it never asks the server for "100 Continue").

#include <QByteArray>
#include <QList>
#include <QPair>
#include <QString>

using HttpHeaders = QList<QPair<QByteArray, QByteArray>>;

struct HttpRequest
{
    QByteArray method = "POST";
    QString url;
    HttpHeaders headers;
    QByteArray body;
    // Whole exchange, and connecting alone; 0 means no limit.
    int timeoutMs = 60000;
    int connectTimeoutMs = 30000;
};

// Why a request got no HTTP answer. The client's own vocabulary: callers translate it once.
enum class HttpError {
    None,
    Cancelled,        // cancel() or the session went away
    CannotResolve,    // the host name has no address
    CannotConnect,    // nothing accepted the connection
    ConnectionLost,   // the connection broke or closed before a full answer
    TimedOut,
    SecureConnection, // TLS handshake or certificate failure
    InvalidRequest,   // bad URL or an option libcurl refused
    Other,            // anything else, including a worker that could not start
};

struct HttpResult
{
    int status = 0; // 0 when no HTTP answer came
    HttpHeaders headers;
    QByteArray body;
    HttpError error = HttpError::None;
    QString errorText;

    QByteArray header(const QByteArray &name) const;
};

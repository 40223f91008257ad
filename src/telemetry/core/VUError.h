#pragma once
// The telemetry component's error value: a domain, a code, a description and extra values.
// The component's own errors use kVUErrorDomain; transport failures keep the URL-loading
// domain and codes the design's retry rules are written for.

#include <QString>
#include <QVariantMap>

struct VUError
{
    QString domain;
    qint64 code = 0;
    QString localizedDescription;
    QVariantMap userInfo;
};

inline const QString kVUErrorDomain = QStringLiteral("org.quillon.VovUdezir.ErrorDomain");
inline const QString kVUHttpCodeKey = QStringLiteral("org.quillon.VovUdezir.HttpCodeKey");
inline const QString kVUConnectionPausedErrorDesc = QStringLiteral("Cancelled, connection paused with log deletion.");
inline const QString kVULogNotStoredErrorDesc = QStringLiteral("The log could not be stored.");
inline const QString kVUURLErrorDomain = QStringLiteral("NSURLErrorDomain");

// Codes of the component's own errors.
enum : qint64 {
    kVULogInvalidContainerErrorCode = 1,
    kVUConnectionPausedErrorCode = 100,
    kVUConnectionHttpErrorCode = 101,
    kVULogNotStoredErrorCode = 102,
};

// Codes of transport failures in the URL-loading domain.
enum : qint64 {
    kVUURLErrorUnknown = -1,
    kVUURLErrorCancelled = -999,
    kVUURLErrorTimedOut = -1001,
    kVUURLErrorCannotFindHost = -1003,
    kVUURLErrorCannotConnectToHost = -1004,
    kVUURLErrorNetworkConnectionLost = -1005,
    kVUURLErrorNotConnectedToInternet = -1009,
    kVUURLErrorSecureConnectionFailed = -1200,
    kVUURLErrorBadURL = -1000,
};

#include "telemetry/core/VUIngestionUtil.h"

bool VUIngestionUtil::isRecoverableError(qint64 statusCode)
{
    return statusCode == 0 || statusCode == 408 || statusCode == 429 || statusCode >= 500;
}

bool VUIngestionUtil::isNoInternetConnectionError(const std::optional<VUError> &error)
{
    return error && error->domain == kVUURLErrorDomain
           && (error->code == kVUURLErrorNotConnectedToInternet || error->code == kVUURLErrorNetworkConnectionLost);
}

bool VUIngestionUtil::isSSLConnectionError(const std::optional<VUError> &error)
{
    return error && error->domain == kVUURLErrorDomain && error->code >= -2000 && error->code <= -1200;
}

bool VUIngestionUtil::isRequestCanceledError(const std::optional<VUError> &error)
{
    return error && error->domain == kVUURLErrorDomain && error->code == kVUURLErrorCancelled;
}

QString VUIngestionUtil::hideSecret(const QString &secret)
{
    const qsizetype hidden = secret.size() > 8 ? secret.size() - 8 : secret.size();
    return QString(hidden, QLatin1Char('*')) + secret.mid(hidden);
}

std::optional<VUError> VUIngestionUtil::errorFromHttpResult(const HttpResult &result)
{
    qint64 code = kVUURLErrorUnknown;
    switch (result.error) {
    case HttpError::None: return std::nullopt;
    case HttpError::Cancelled: code = kVUURLErrorCancelled; break;
    case HttpError::CannotResolve: code = kVUURLErrorCannotFindHost; break;
    case HttpError::CannotConnect: code = kVUURLErrorCannotConnectToHost; break;
    case HttpError::ConnectionLost: code = kVUURLErrorNetworkConnectionLost; break;
    case HttpError::TimedOut: code = kVUURLErrorTimedOut; break;
    case HttpError::SecureConnection: code = kVUURLErrorSecureConnectionFailed; break;
    case HttpError::InvalidRequest: code = kVUURLErrorBadURL; break;
    case HttpError::Other: code = kVUURLErrorUnknown; break;
    }
    return VUError{kVUURLErrorDomain, code, result.errorText, {}};
}

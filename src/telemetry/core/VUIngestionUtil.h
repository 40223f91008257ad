#pragma once
// Small rules of the ingestions: which HTTP answers are worth a retry, which transport
// failures mean "wait for the network", and how secrets are masked in log output.
// Stateless; callable from any thread.

#include "net/HttpRequest.h"
#include "telemetry/core/VUError.h"

#include <optional>

class VUIngestionUtil
{
public:
    // 0 (no HTTP answer), 408, 429 and 500 and above.
    static bool isRecoverableError(qint64 statusCode);
    static bool isSuccessStatusCode(qint64 statusCode) { return statusCode >= 200 && statusCode < 300; }
    // Answers that mean the application's credentials were refused.
    static bool isAuthenticationFailure(qint64 statusCode) { return statusCode == 401 || statusCode == 403; }
    static bool isNoInternetConnectionError(const std::optional<VUError> &error);
    static bool isSSLConnectionError(const std::optional<VUError> &error);
    static bool isRequestCanceledError(const std::optional<VUError> &error);
    // Every character but the last 8 becomes "*"; 8 characters or fewer become all "*".
    static QString hideSecret(const QString &secret);
    // The HTTP client's failure, translated once into the URL-loading domain; none for an answer.
    static std::optional<VUError> errorFromHttpResult(const HttpResult &result);
};

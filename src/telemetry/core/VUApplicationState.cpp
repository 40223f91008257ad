#include "telemetry/core/VUApplicationState.h"

#include <memory>
#include <mutex>

namespace {

std::mutex gProviderLock;
std::shared_ptr<const std::function<qint64()>> gProvider;

} // namespace

void VUApplicationStateProvider::setApplicationStateProvider(std::function<qint64()> provider)
{
    auto replacement = provider ? std::make_shared<const std::function<qint64()>>(std::move(provider)) : nullptr;
    std::lock_guard guard(gProviderLock);
    gProvider = std::move(replacement);
}

qint64 VUApplicationStateProvider::applicationState()
{
    std::shared_ptr<const std::function<qint64()>> provider;
    {
        std::lock_guard guard(gProviderLock);
        provider = gProvider;
    }
    return provider ? (*provider)() : VUApplicationStateActive;
}

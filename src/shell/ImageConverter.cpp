// The holder of the installed image converter.

#include "interfaces/ImageConverter.h"

#include <atomic>

namespace {
std::shared_ptr<const ImageConverter> gInstalled;
} // namespace

void ImageConverter::install(std::shared_ptr<const ImageConverter> converter)
{
    std::atomic_store(&gInstalled, std::move(converter));
}

std::shared_ptr<const ImageConverter> ImageConverter::converter()
{
    return std::atomic_load(&gInstalled);
}

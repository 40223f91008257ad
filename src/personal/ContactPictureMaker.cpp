// The holder of the installed initials-picture maker.

#include "interfaces/ContactPictureMaker.h"

#include <atomic>

namespace {
std::shared_ptr<const ContactPictureMaker> gMaker;
}

void ContactPictureMaker::install(std::shared_ptr<const ContactPictureMaker> maker)
{
    std::atomic_store(&gMaker, std::move(maker));
}

std::shared_ptr<const ContactPictureMaker> ContactPictureMaker::maker()
{
    return std::atomic_load(&gMaker);
}

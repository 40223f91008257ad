#include "telemetry/crashes/VUThread.h"

#include "telemetry/crashes/VUCrashesCoding.h"

VUJsonObject VUThread::serializeToDictionary() const
{
    VUJsonObject json = VUJsonObject::object();
    if (threadId)
        json["id"] = *threadId;
    if (name)
        json["name"] = VUJson::str(*name);
    if (frames)
        json["frames"] = VUCrashesCoding::jsonList(*frames);
    if (exception)
        json["exception"] = exception->serializeToDictionary();
    return json;
}

bool VUThread::isValid() const
{
    return threadId && frames && !frames->isEmpty();
}

bool VUThread::isEqual(const VUModel *other) const
{
    const auto *thread = dynamic_cast<const VUThread *>(other);
    return thread && threadId == thread->threadId && name == thread->name &&
           VUCrashesCoding::equalLists(frames, thread->frames) && vuEqualObjects(exception, thread->exception);
}

void VUThread::encodeWithCoder(VUCoder &coder) const
{
    coder.encodeNumber(QStringLiteral("id"), threadId);
    coder.encodeString(QStringLiteral("name"), name);
    VUCrashesCoding::encodeList(coder, QStringLiteral("frames"), frames);
    coder.encodeObject(QStringLiteral("exception"), exception.get());
}

bool VUThread::initWithCoder(const VUCoder &coder)
{
    // A decoded thread has no frame list unless the archive holds one.
    threadId = coder.decodeNumber(QStringLiteral("id"));
    name = coder.decodeString(QStringLiteral("name"));
    frames = VUCrashesCoding::decodeList<VUStackFrame>(coder, QStringLiteral("frames"));
    exception = coder.decodeObject<VUException>(QStringLiteral("exception"));
    return !coder.failed();
}

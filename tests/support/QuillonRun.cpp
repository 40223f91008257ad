#include "QuillonRun.h"

#include <QVariant>

#include <gtest/gtest.h>

namespace {

// Sanitized programs wait for their symboliser at exit; a loaded machine needs time.
constexpr int kQuitTimeoutMs = 60000;

} // namespace

QByteArray errorOutput(QProcess &process)
{
    QByteArray seen = process.property("stderrSeen").toByteArray();
    // Without an event loop the pipe is only read while waiting on it.
    if (process.state() == QProcess::Running) {
        process.setReadChannel(QProcess::StandardError);
        process.waitForReadyRead(20);
    }
    seen += process.readAllStandardError();
    process.setProperty("stderrSeen", seen);
    return seen;
}

void expectCleanExit(QProcess &process)
{
    const QByteArray err = errorOutput(process);
    EXPECT_EQ(process.exitStatus(), QProcess::NormalExit) << err.constData();
    EXPECT_EQ(process.exitCode(), 0) << err.constData();
    for (const char *report : {"WARNING: ThreadSanitizer", "ERROR: AddressSanitizer", "runtime error:"})
        EXPECT_FALSE(err.contains(report)) << err.constData();
}

void quitQuillon(QProcess &process)
{
    process.terminate();
    if (!process.waitForFinished(kQuitTimeoutMs)) {
        ADD_FAILURE() << "Quillon did not quit on SIGTERM: " << errorOutput(process).constData();
        process.kill();
        process.waitForFinished(kQuitTimeoutMs);
        return;
    }
    expectCleanExit(process);
}

#pragma once
// Shared pieces of the telemetry tests that send over the network: short timings, a
// network the tests switch on and off, a loopback ingestion server, and records of what
// ingestion completions and delegates were told.

#include "LoopbackHttpServer.h"
#include "telemetry/core/VUIngestionProtocol.h"

#include <gtest/gtest.h>

#include <QJsonDocument>
#include <QJsonArray>
#include <QJsonObject>

#include <atomic>
#include <mutex>

// Shortens every telemetry duration and reports the network as up until the test ends.
class ShortTimingsTest : public ::testing::Test
{
protected:
    void SetUp() override;
    void TearDown() override;
    // Starts the loopback server (fails the test when it cannot).
    void startServer();
    LoopbackHttpServer server;
};

struct CompletedCall
{
    QString callId;
    qint64 status = 0;
    std::optional<VUError> error;
};

class CompletionRecorder
{
public:
    VUSendAsyncCompletionHandler handler();
    QList<CompletedCall> calls() const;
    int count() const;

private:
    mutable std::mutex mLock;
    QList<CompletedCall> mCalls;
};

class RecordingIngestionDelegate : public VUIngestionDelegate
{
public:
    void ingestionDidPause(VUIngestionProtocol *) override { pauses++; }
    void ingestionDidResume(VUIngestionProtocol *) override { resumes++; }
    void ingestionDidReceiveFatalError(VUIngestionProtocol *) override { fatalErrors++; }
    std::atomic<int> pauses{0};
    std::atomic<int> resumes{0};
    std::atomic<int> fatalErrors{0};
};

// The logs array of a request body sent to the log endpoint (inflated when needed).
QJsonArray logsOfRequest(const LoopbackHttpServer::Request &request);

#pragma once
// The built `Quillon` program as the process tests start it. Every run must end in order,
// by itself or on SIGTERM, with status 0 and nothing reported by a sanitizer: the tsan build
// runs these tests too, and a report inside the child would otherwise go unseen.
//
// Called on the test's own thread; the QProcess stays the caller's.

#include <QByteArray>
#include <QProcess>

// Everything the program wrote on its error output so far, kept across calls.
QByteArray errorOutput(QProcess &process);

// For a program that has finished: a normal exit with status 0 and no sanitizer report.
void expectCleanExit(QProcess &process);

// Asks a running program to quit (SIGTERM), waits for it and expects a clean exit; one that
// does not quit in time is killed and fails the test.
void quitQuillon(QProcess &process);

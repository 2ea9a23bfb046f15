#pragma once

#include <QJsonObject>
#include <QtGlobal>

// How the stand-ins report: one compact JSON object per line on stdout, flushed at once, so that
// tests and bench drivers can follow it while the stand-in runs.
void printJsonLine(const QJsonObject &object);

// CLOCK_MONOTONIC in milliseconds: the same clock as QElapsedTimer and Python's time.monotonic(),
// so times printed by different processes on one host can be compared directly.
qint64 monotonicMs();

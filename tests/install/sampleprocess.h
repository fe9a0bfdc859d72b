#pragma once

#include "tests/support/testsupport.h"

#include <QDir>
#include <QProcess>
#include <QProcessEnvironment>
#include <QString>

// Starts the sample client, which lingers lingerMs (-1: until killed) and
// records itself into recordDir. Returns false when it could not be started.
inline bool startSampleClient(QProcess &process, int lingerMs, const QString &recordDir)
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("SAMPLE_CLIENT_LINGER_MS"), QString::number(lingerMs));
    env.insert(QStringLiteral("SAMPLE_CLIENT_RECORD"),
               QDir(recordDir).filePath(QStringLiteral("record.json")));
    process.setProcessEnvironment(env);
    process.setProgram(sampleClientPath());
    process.start();
    return process.waitForStarted(10000);
}

// Kills a lingering child at the end of a test, whatever the test left behind.
struct ProcessReaper
{
    QProcess &process;
    ~ProcessReaper()
    {
        if (process.state() != QProcess::NotRunning) {
            process.kill();
            process.waitForFinished(10000);
        }
    }
};

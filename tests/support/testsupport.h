#pragma once

#include <QByteArray>
#include <QString>

// Writes a whole file, creating its folders first.
bool writeFile(const QString &path, const QByteArray &content);
// The file's bytes, or "<unreadable>" so that a missing file never passes for an empty one.
QByteArray readFile(const QString &path);

// Path of the sample client program built beside the tests.
inline QString sampleClientPath()
{
    return QStringLiteral(QUORVEX_SAMPLE_CLIENT);
}
// Path of the updater executable under test.
inline QString updaterExecutablePath()
{
    return QStringLiteral(QUORVEX_UPDATER_EXE);
}

// Fails the calling test when CI is set; otherwise skips it. For tools a test cannot do without.
#define QUORVEX_REQUIRE_TOOL(available, what)                                                      \
    do {                                                                                           \
        if (!(available)) {                                                                        \
            if (qEnvironmentVariableIsSet("CI"))                                                   \
                QFAIL(qPrintable(QStringLiteral("required tool missing in CI: ") + (what)));       \
            QSKIP(qPrintable(QStringLiteral("tool missing: ") + (what)));                          \
        }                                                                                          \
    } while (false)

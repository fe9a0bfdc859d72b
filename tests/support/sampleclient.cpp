// A stand-in for the game client: writes launch_record.txt beside itself (its process id, its
// working folder, then each argument as the system split the command line, one per line),
// then exits, or lingers for SAMPLE_CLIENT_LINGER_MS (-1: until ended). On Windows,
// SAMPLE_CLIENT_HOLD names a file it keeps open without sharing meanwhile.
#include <QCoreApplication>
#include <QDir>
#include <QSaveFile>
#include <QThread>
#ifdef _WIN32
#include <windows.h>
#endif

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    // On Windows these are CommandLineToArgvW's arguments.
    const QStringList lines = QStringList{QString::number(QCoreApplication::applicationPid()),
                                          QDir::toNativeSeparators(QDir::currentPath())} +
                              QCoreApplication::arguments().mid(1);
    // Atomic, so that a test polling for the record never reads half of it.
    QSaveFile record(
        QDir(QCoreApplication::applicationDirPath()).filePath(QStringLiteral("launch_record.txt")));
    if (!record.open(QIODevice::WriteOnly) ||
        record.write((lines.join(QLatin1Char('\n')) + QLatin1Char('\n')).toUtf8()) < 0 ||
        !record.commit())
        return 2;
#ifdef _WIN32
    if (qEnvironmentVariableIsSet("SAMPLE_CLIENT_HOLD"))
        CreateFileW(qEnvironmentVariable("SAMPLE_CLIENT_HOLD").toStdWString().c_str(), GENERIC_READ,
                    0, nullptr, OPEN_EXISTING, 0, nullptr);
#endif
    const int lingerMs = qEnvironmentVariableIntValue("SAMPLE_CLIENT_LINGER_MS");
    for (int waited = 0; lingerMs < 0 || waited < lingerMs; waited += 50)
        QThread::msleep(50);
    return 0;
}

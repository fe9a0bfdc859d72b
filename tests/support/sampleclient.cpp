// A stand-in for the game client: records how it was started, then lingers or exits.
// SAMPLE_CLIENT_RECORD: file to write (default: sample_client_record.json beside the program)
// SAMPLE_CLIENT_LINGER_MS: how long to keep running before exiting (-1: until killed)
#include <QCoreApplication>
#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSaveFile>
#include <QThread>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QJsonObject record{{QStringLiteral("program"), QCoreApplication::applicationFilePath()},
                             {QStringLiteral("cwd"), QDir::currentPath()},
                             {QStringLiteral("arguments"),
                              QJsonArray::fromStringList(QCoreApplication::arguments().mid(1))}};
    QString recordPath = qEnvironmentVariable("SAMPLE_CLIENT_RECORD");
    if (recordPath.isEmpty())
        recordPath = QDir(QCoreApplication::applicationDirPath())
                         .filePath(QStringLiteral("sample_client_record.json"));

    // Atomic, so a test polling for the file never reads half of it.
    QSaveFile out(recordPath);
    if (!out.open(QIODevice::WriteOnly) || out.write(QJsonDocument(record).toJson()) < 0 ||
        !out.commit())
        return 2;

    const int lingerMs = qEnvironmentVariableIntValue("SAMPLE_CLIENT_LINGER_MS");
    while (lingerMs < 0)
        QThread::sleep(3600);
    QThread::msleep(static_cast<unsigned long>(lingerMs));
    return 0;
}

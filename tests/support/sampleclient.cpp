// A stand-in for the game client: records how it was started, then lingers or exits.
//
// SAMPLE_CLIENT_RECORD  file to write (default: sample_client_record.json beside the program)
// SAMPLE_CLIENT_LINGER_MS  how long to keep running before exiting (-1: until killed)
#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSaveFile>
#include <QThread>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);

    QJsonArray arguments;
    const QStringList all = QCoreApplication::arguments();
    for (qsizetype i = 1; i < all.size(); ++i)
        arguments.append(all.at(i));

    QJsonObject record;
    record.insert(QStringLiteral("program"), QCoreApplication::applicationFilePath());
    record.insert(QStringLiteral("cwd"), QDir::currentPath());
    record.insert(QStringLiteral("pid"), QCoreApplication::applicationPid());
    record.insert(QStringLiteral("arguments"), arguments);

    QString recordPath = qEnvironmentVariable("SAMPLE_CLIENT_RECORD");
    if (recordPath.isEmpty())
        recordPath = QDir(QCoreApplication::applicationDirPath())
                         .filePath(QStringLiteral("sample_client_record.json"));

    // Atomic, so a test polling for the file never reads half of it.
    QSaveFile out(recordPath);
    if (!out.open(QIODevice::WriteOnly))
        return 2;
    out.write(QJsonDocument(record).toJson());
    if (!out.commit())
        return 2;

    bool ok = false;
    const int lingerMs = qEnvironmentVariableIntValue("SAMPLE_CLIENT_LINGER_MS", &ok);
    if (ok && lingerMs < 0) {
        for (;;)
            QThread::sleep(3600);
    }
    if (ok && lingerMs > 0)
        QThread::msleep(static_cast<unsigned long>(lingerMs));
    return 0;
}

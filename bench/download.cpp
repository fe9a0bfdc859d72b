// Measures the updater's own code paths for bench/run:
//   bench_download hash FILE             fileSha256Hex over FILE
//   bench_download stage LIST APP_DIR    downloadUpdateFiles of the files in LIST
// LIST holds one "url sha256 size path" line per file. Prints key=value lines.
#include "download/filehash.h"
#include "update/updatecontroller.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QTextStream>

#include <cstdio>

namespace {

// Resident and peak resident size in KiB, from /proc/self/status (0 where absent).
qint64 statusKiB(const char *key)
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return 0;
    const QByteArray prefix = QByteArray(key) + ':';
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith(prefix))
            return line.mid(prefix.size()).trimmed().split(' ').value(0).toLongLong();
    }
    return 0;
}

void print(const char *key, const QString &value)
{
    std::printf("%s=%s\n", key, qPrintable(value));
}

int hashFile(const QString &path)
{
    QElapsedTimer timer;
    timer.start();
    QString error;
    const QByteArray digest = fileSha256Hex(path, &error);
    const double seconds = double(timer.nsecsElapsed()) / 1e9;
    if (digest.isEmpty()) {
        std::fprintf(stderr, "%s\n", qPrintable(error));
        return 1;
    }
    print("digest", QString::fromLatin1(digest));
    print("seconds", QString::number(seconds, 'f', 3));
    return 0;
}

int stage(const QString &listPath, const QString &appDir)
{
    QFile list(listPath);
    if (!list.open(QIODevice::ReadOnly | QIODevice::Text)) {
        std::fprintf(stderr, "cannot read %s\n", qPrintable(listPath));
        return 1;
    }
    UpdateManifest manifest;
    manifest.remoteVersion = AppVersion{QStringLiteral("bench"), 1};
    qint64 total = 0;
    QTextStream in(&list);
    while (!in.atEnd()) {
        const QStringList fields = in.readLine().split(QLatin1Char(' '), Qt::SkipEmptyParts);
        if (fields.size() != 4)
            continue;
        UpdateFile file{fields.at(3), fields.at(1), fields.at(2).toLongLong(), QUrl(fields.at(0))};
        total += file.size;
        manifest.files.append(file);
    }
    manifest.totalSize = total;

    UpdateController controller(LaunchOptions{appDir, QStringLiteral("client"), {}, 0});
    UpdateConfig config;
    config.downloadTimeoutMs = 600000;
    const qint64 idle = statusKiB("VmRSS");
    QElapsedTimer timer;
    timer.start();
    QList<StagedFile> staged;
    QString error;
    const bool ok = controller.downloadUpdateFiles(config, manifest, &staged, &error);
    const double seconds = double(timer.nsecsElapsed()) / 1e9;
    if (!ok) {
        std::fprintf(stderr, "%s\n", qPrintable(error));
        return 1;
    }
    print("files", QString::number(staged.size()));
    print("seconds", QString::number(seconds, 'f', 3));
    print("idle_rss_kib", QString::number(idle));
    print("peak_rss_kib", QString::number(statusKiB("VmHWM")));
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() == 3 && args.at(1) == QLatin1String("hash"))
        return hashFile(args.at(2));
    if (args.size() == 4 && args.at(1) == QLatin1String("stage"))
        return stage(args.at(2), args.at(3));
    std::fprintf(stderr, "usage: bench_download hash FILE | stage LIST APP_DIR\n");
    return 2;
}

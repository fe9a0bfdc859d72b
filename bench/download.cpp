// Measures the updater's own hashing and staged download, for bench/run.
//
// usage: bench_download hash <file>
//        bench_download stage <manifest url> <client folder>
// Prints "seconds <s>", "idle_rss_kib <k>" and "peak_rss_kib <k>".
#include "download/filehash.h"
#include "manifest/updatemanifest.h"
#include "update/updatecontroller.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>

#include <cstdio>

namespace {

qint64 statusKib(const char *field)
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith(field))
            return line.mid(int(qstrlen(field))).trimmed().split(' ').first().toLongLong();
    }
    return -1;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList args = QCoreApplication::arguments();
    const qint64 idle = statusKib("VmRSS:");
    QElapsedTimer clock;
    QString error;
    bool ok = false;

    if (args.size() == 3 && args.at(1) == QLatin1String("hash")) {
        clock.start();
        const QByteArray digest = fileSha256Hex(args.at(2), &error);
        ok = !digest.isEmpty();
        std::printf("digest %s\n", digest.constData());
    } else if (args.size() == 4 && args.at(1) == QLatin1String("stage")) {
        LaunchOptions options;
        options.appDir = args.at(3);
        UpdateController controller(options);
        UpdateConfig config;
        config.enabled = true;
        config.manifestUrl = QUrl(args.at(2));
        config.manifestUrls = {config.manifestUrl};
        clock.start();
        UpdateManifest manifest;
        QList<StagedFile> staged;
        ok = controller.fetchManifest(config, &manifest, &error) &&
             controller.downloadUpdateFiles(config, manifest, &staged, &error);
    } else {
        std::fprintf(stderr, "usage: bench_download hash <file> | stage <manifest url> <dir>\n");
        return 2;
    }
    std::printf("seconds %.3f\nidle_rss_kib %lld\npeak_rss_kib %lld\n", clock.elapsed() / 1000.0,
                idle, statusKib("VmHWM:"));
    if (!ok)
        std::fprintf(stderr, "%s\n", qPrintable(error));
    return ok ? 0 : 1;
}

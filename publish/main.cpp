// QuorvexPublish: writes the manifest that the updater reads for a release folder.
#include "download/bytesize.h"
#include "publish/console.h"
#include "publish/inputfile.h"
#include "publish/releasecompare.h"
#include "publish/releasehashing.h"
#include "publish/releasemanifest.h"
#include "publish/releasesigning.h"
#include "publish/signingkey.h"

#include <QCommandLineOption>
#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QTextStream>

#include <functional>
#include <limits>
#include <memory>

namespace {

enum ExitCode
{
    Published = 0,
    UsageError = 1,
    Refused = 2,
    Failed = 3,
};

int complain(int code, const QString &message)
{
    QTextStream(stderr) << QCoreApplication::applicationName() << QLatin1String(": ") << message
                        << Qt::endl;
    return code;
}

void warn(const QStringList &warnings)
{
    QTextStream err(stderr);
    for (const QString &warning : warnings)
        err << QLatin1String("warning: ") << warning << Qt::endl;
}

// On a terminal, a line rewritten in place while a large release is hashed; elsewhere, silence.
std::function<void(int, qint64)> hashingProgress(const QStringList &paths, const QString &root)
{
    if (!errorOutputIsTerminal())
        return {};
    qint64 total = 0;
    for (const QString &path : paths)
        total += QFileInfo(QDir(root).filePath(path)).size();
    auto clock = std::make_shared<QElapsedTimer>();
    return [clock, total, count = paths.size()](int files, qint64 bytes) {
        if (files < count && clock->isValid() && clock->elapsed() < 200)
            return;
        clock->start();
        QTextStream(stderr) << QStringLiteral("\rHashing: %1 of %2 files, %3 of %4 ")
                                   .arg(QString::number(files), QString::number(count),
                                        formatByteSize(bytes), formatByteSize(total));
    };
}

void report(const ReleaseDelta &delta)
{
    QTextStream out(stdout);
    out << QStringLiteral("For a player on the earlier release: %1 added, %2 changed, %3 "
                          "unchanged; %4 of %5 bytes to fetch.")
               .arg(QString::number(delta.added.size()), QString::number(delta.changed.size()),
                    QString::number(delta.unchanged), QString::number(delta.fetchedBytes),
                    QString::number(delta.releaseBytes))
        << Qt::endl;
    for (const QString &path : delta.added)
        out << QLatin1String("  added   ") << QDir::toNativeSeparators(path) << Qt::endl;
    for (const QString &path : delta.changed)
        out << QLatin1String("  changed ") << QDir::toNativeSeparators(path) << Qt::endl;
    out << QStringLiteral("With chunk indexes: %1 bytes to fetch, indexes included (%2 of %3 "
                          "changed file(s) by chunks).")
               .arg(QString::number(delta.chunkedBytes), QString::number(delta.chunkedFiles),
                    QString::number(delta.changed.size()))
        << Qt::endl;
}

// The updater names its staging folder after the version; Windows must be able to create it.
bool isUsableVersion(const QString &version)
{
    for (const QChar c : version) {
        if (c.unicode() < 0x20 || QStringLiteral("<>:\"|?*").contains(c))
            return false;
    }
    return !version.isEmpty();
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("QuorvexPublish"));
    QCoreApplication::setApplicationVersion(QStringLiteral("1.0"));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Writes the update manifest of a release folder: every file with its SHA-256, size and "
        "download URL, sorted by path, signed with --sign-key, and a chunk index for each big "
        "file.\n"
        "Exit codes: 0 written, 1 usage error, 2 release refused (unsafe file names or no "
        "files), 3 a file could not be read or the manifest not written."));
    const QCommandLineOption helpOption = parser.addHelpOption();
    const QCommandLineOption releaseDirOption(
        QStringLiteral("release-dir"),
        QStringLiteral("Folder holding the release exactly as it must appear in the client "
                       "folder. Required."),
        QStringLiteral("dir"));
    const QCommandLineOption versionOption(QStringLiteral("version"),
                                           QStringLiteral("Version text, e.g. 1.4.0. Required."),
                                           QStringLiteral("text"));
    const QCommandLineOption buildOption(QStringLiteral("build"),
                                         QStringLiteral("Build number, 0 or more. Required."),
                                         QStringLiteral("number"));
    const QCommandLineOption minClientOption(
        QStringLiteral("min-client-version"),
        QStringLiteral("Oldest installed version this release may be applied over. Optional."),
        QStringLiteral("text"));
    const QCommandLineOption changelogOption(QStringLiteral("changelog"),
                                             QStringLiteral("Change notes shown to players."),
                                             QStringLiteral("text"));
    const QCommandLineOption changelogFileOption(
        QStringLiteral("changelog-file"),
        QStringLiteral("UTF-8 file holding the change notes (instead of --changelog)."),
        QStringLiteral("file"));
    const QCommandLineOption baseUrlOption(
        QStringLiteral("base-url"),
        QStringLiteral("Absolute http(s) URL of the release folder; file URLs become this URL "
                       "plus the file's path. Without it, file URLs are relative to a manifest "
                       "served from the root of the release folder."),
        QStringLiteral("url"));
    const QCommandLineOption outputOption(
        QStringLiteral("output"),
        QStringLiteral("Manifest file to write (default: manifest.json in the release folder). "
                       "It is never listed as a release file."),
        QStringLiteral("file"));
    const QCommandLineOption signKeyOption(
        QStringLiteral("sign-key"),
        QStringLiteral("Private key file made by --generate-key. The manifest's signature is "
                       "written beside it, as <manifest>.sig."),
        QStringLiteral("file"));
    const QCommandLineOption generateKeyOption(
        QStringLiteral("generate-key"),
        QStringLiteral("Writes a new private signing key to file (never over an existing one), "
                       "prints its public key for updater_config.json and exits."),
        QStringLiteral("file"));
    const QCommandLineOption compareOption(
        QStringLiteral("compare-with"),
        QStringLiteral("The manifest of an earlier release: also prints what a player on it "
                       "fetches from this one."),
        QStringLiteral("file"));
    const QCommandLineOption chunkMinSizeOption(
        QStringLiteral("chunk-min-size"),
        QStringLiteral("Files of at least this many bytes get a chunk index in %1/, so that "
                       "players fetch only the chunks they lack (default 8388608, 8 MiB; 0: "
                       "no indexes).")
            .arg(chunkIndexFolder()),
        QStringLiteral("bytes"));
    parser.addOptions({releaseDirOption, versionOption, buildOption, minClientOption,
                       changelogOption, changelogFileOption, baseUrlOption, outputOption,
                       signKeyOption, generateKeyOption, compareOption, chunkMinSizeOption});

    if (!parser.parse(QCoreApplication::arguments()))
        return complain(UsageError, parser.errorText());
    if (parser.isSet(helpOption) || parser.isSet(QStringLiteral("help-all"))) {
        QTextStream(stdout) << parser.helpText();
        return Published;
    }
    if (!parser.positionalArguments().isEmpty())
        return complain(UsageError, QStringLiteral("Unexpected argument %1.")
                                        .arg(parser.positionalArguments().constFirst()));

    QString error;
    if (parser.isSet(generateKeyOption)) {
        if (parser.optionNames().size() > 1)
            return complain(UsageError, QStringLiteral("--generate-key takes no other option."));
        QString publicKey;
        if (!generateSigningKey(parser.value(generateKeyOption), &publicKey, &error))
            return complain(Failed, error);
        QTextStream(stdout) << publicKey << Qt::endl;
        return Published;
    }

    const QString releaseDir = parser.value(releaseDirOption).trimmed();
    if (releaseDir.isEmpty())
        return complain(UsageError, QStringLiteral("--release-dir is required."));
    if (!QFileInfo(releaseDir).isDir())
        return complain(UsageError, QStringLiteral("The release folder %1 does not exist.")
                                        .arg(QDir::toNativeSeparators(releaseDir)));

    ReleaseInfo info;
    info.version.version = parser.value(versionOption).trimmed();
    if (!isUsableVersion(info.version.version))
        return complain(UsageError, QStringLiteral("--version is required and may not hold "
                                                   "control characters or any of <>:\"|?*."));
    bool buildOk = false;
    const qlonglong build = parser.value(buildOption).trimmed().toLongLong(&buildOk, 10);
    if (!buildOk || build < 0 || build > std::numeric_limits<int>::max())
        return complain(UsageError, QStringLiteral("--build must be a whole number from 0 to %1.")
                                        .arg(std::numeric_limits<int>::max()));
    info.version.build = int(build);
    info.minClientVersion = parser.value(minClientOption).trimmed();

    if (parser.isSet(changelogOption) && parser.isSet(changelogFileOption))
        return complain(UsageError,
                        QStringLiteral("Give either --changelog or --changelog-file, not both."));
    info.changelog = parser.value(changelogOption);
    if (parser.isSet(changelogFileOption)) {
        QByteArray notes;
        if (!readInputFile(parser.value(changelogFileOption), MaxChangelogFileSize, &notes, &error))
            return complain(UsageError, error);
        info.changelog = QString::fromUtf8(notes).trimmed();
    }

    QUrl baseUrl;
    if (parser.isSet(baseUrlOption)) {
        baseUrl = QUrl(parser.value(baseUrlOption).trimmed(), QUrl::StrictMode);
        const QString scheme = baseUrl.scheme();
        if (!baseUrl.isValid() || baseUrl.host().isEmpty() || baseUrl.hasQuery() ||
            baseUrl.hasFragment() ||
            (scheme != QLatin1String("http") && scheme != QLatin1String("https")))
            return complain(UsageError, QStringLiteral("--base-url must be an absolute http or "
                                                       "https URL without query or fragment."));
    }

    ReleaseHashing hashing;
    if (parser.isSet(chunkMinSizeOption)) {
        bool sizeOk = false;
        hashing.chunkMinSize = parser.value(chunkMinSizeOption).trimmed().toLongLong(&sizeOk, 10);
        if (!sizeOk || hashing.chunkMinSize < 0)
            return complain(UsageError, QStringLiteral("--chunk-min-size must be a whole number "
                                                       "of bytes, 0 for no chunk indexes."));
    }

    const QString output = parser.isSet(outputOption)
                               ? QFileInfo(parser.value(outputOption)).absoluteFilePath()
                               : QDir(releaseDir).absoluteFilePath(QStringLiteral("manifest.json"));

    const QString signKey = parser.value(signKeyOption);
    if (parser.isSet(signKeyOption)) {
        if (!checkKeyOutsideRelease(signKey, releaseDir, &error))
            return complain(Refused, error);
        if (!checkSigningKey(signKey, &error))
            return complain(Failed, error);
    }
    // Refused before any hashing, so that no chunk index is left behind either.
    if (!checkNoLinkAt(output, &error) ||
        (parser.isSet(signKeyOption) && !checkNoLinkAt(signatureFilePath(output), &error)))
        return complain(Failed, error);

    QStringList paths;
    QStringList warnings;
    if (!listReleaseFiles(releaseDir, output, &paths, &warnings, &error))
        return complain(Failed, error);
    const bool refused = !checkReleasePaths(paths, &warnings, &error);
    if (baseUrl.isEmpty() &&
        QFileInfo(QFileInfo(output).absolutePath()) != QFileInfo(QDir(releaseDir).absolutePath()))
        warnings.append(QStringLiteral("The manifest is not written at the root of the release "
                                       "folder, but its file URLs assume it is served from there; "
                                       "use --base-url."));
    if (!parser.isSet(signKeyOption) && QFileInfo::exists(signatureFilePath(output)))
        warnings.append(QStringLiteral("%1 is left from an earlier release and does not match "
                                       "this manifest; sign with --sign-key or remove it.")
                            .arg(QDir::toNativeSeparators(signatureFilePath(output))));
    warn(warnings);
    if (refused)
        return complain(Refused, error);

    QList<UpdateFile> files;
    ChunkIndexes indexes;
    const auto progress = hashingProgress(paths, releaseDir);
    hashing.progress = progress;
    const bool described =
        describeReleaseFiles(releaseDir, paths, baseUrl, hashing, &files, &indexes, &error);
    if (progress) {
        qint64 total = 0;
        for (const UpdateFile &file : files)
            total += file.size;
        progress(int(files.size()), total);
        QTextStream(stderr) << QLatin1Char('\n');
    }
    if (!described)
        return complain(Failed, error);
    ReleaseDelta delta;
    if (parser.isSet(compareOption) && !compareWithRelease(parser.value(compareOption), files,
                                                           releaseDir, indexes, &delta, &error))
        return complain(UsageError, error);
    // Before the manifest that names them, like the files themselves.
    if (!writeChunkIndexes(releaseDir, indexes, &error))
        return complain(Failed, error);
    const QByteArray document = releaseManifestDocument(info, files);
    if (parser.isSet(signKeyOption) ? !writeSignedReleaseManifest(output, document, signKey, &error)
                                    : !writeReleaseManifest(output, document, &error))
        return complain(Failed, error);

    qint64 total = 0;
    for (const UpdateFile &file : files)
        total += file.size;
    QTextStream out(stdout);
    out << QStringLiteral("Wrote %1: version %2 build %3, %4 file(s), %5 bytes.")
               .arg(QDir::toNativeSeparators(output), info.version.version,
                    QString::number(info.version.build), QString::number(files.size()),
                    QString::number(total))
        << Qt::endl;
    if (parser.isSet(signKeyOption))
        out << QStringLiteral("Signed: %1").arg(QDir::toNativeSeparators(signatureFilePath(output)))
            << Qt::endl;
    if (parser.isSet(compareOption))
        report(delta);
    return Published;
}

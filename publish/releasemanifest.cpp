#include "publish/releasemanifest.h"

#include "files/failure.h"
#include "files/filesystem.h"
#include "publish/releasehashing.h"
#include "publish/releasesigning.h"

#include <QDir>
#include <QFileInfo>
#include <QHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSaveFile>

#include <algorithm>

namespace {

QString shown(const QString &path)
{
    return QDir::toNativeSeparators(path);
}

bool walk(const QString &root, const QString &relativeDir, const QList<QFileInfo> &excluded,
          QStringList *paths, QStringList *warnings, QString *error)
{
    const QDir dir(relativeDir.isEmpty() ? root : root + QLatin1Char('/') + relativeDir);
    if (!dir.isReadable())
        return fail(error, QStringLiteral("Cannot read the folder %1.").arg(shown(dir.path())));
    const QFileInfoList entries = dir.entryInfoList(
        QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::NoSort);
    for (const QFileInfo &entry : entries) {
        const QString relative = relativeDir.isEmpty()
                                     ? entry.fileName()
                                     : relativeDir + QLatin1Char('/') + entry.fileName();
        // Written by this tool next to the files, never installed by a client.
        if (relativeDir.isEmpty() && !entry.isFile() &&
            relative.compare(chunkIndexFolder(), Qt::CaseInsensitive) == 0)
            continue;
        // A link would publish whatever it points at today, possibly outside the release.
        if (entry.isSymbolicLink() || entry.isJunction()) {
            warnings->append(
                QStringLiteral("Skipped %1: it is a symbolic link.").arg(shown(relative)));
            continue;
        }
        if (entry.isDir()) {
            if (!walk(root, relative, excluded, paths, warnings, error))
                return false;
            continue;
        }
        if (!entry.isFile()) {
            warnings->append(
                QStringLiteral("Skipped %1: not a regular file.").arg(shown(relative)));
            continue;
        }
        if (std::any_of(excluded.cbegin(), excluded.cend(),
                        [&entry](const QFileInfo &file) { return file.exists() && entry == file; }))
            continue;
        paths->append(relative);
    }
    return true;
}

bool utf8Less(const QString &a, const QString &b)
{
    return a.toUtf8() < b.toUtf8();
}

// Names Windows cannot store; the sanitiser already turns away ":" and control characters.
bool hasWindowsInvalidCharacter(const QString &path)
{
    static const QString invalid = QStringLiteral("<>\"|?*");
    return std::any_of(path.cbegin(), path.cend(), [](QChar c) { return invalid.contains(c); });
}

} // namespace

bool listReleaseFiles(const QString &releaseDir, const QString &excludedFile, QStringList *paths,
                      QStringList *warnings, QString *error)
{
    if (!paths || !warnings)
        return fail(error, QStringLiteral("No list to fill."));
    const QFileInfo root(releaseDir);
    if (!root.isDir())
        return fail(error,
                    QStringLiteral("The release folder %1 does not exist.").arg(shown(releaseDir)));
    QStringList found;
    QStringList notes;
    // The manifest's signature changes with it: listing it would publish a stale hash.
    const QList<QFileInfo> excluded{QFileInfo(excludedFile),
                                    QFileInfo(signatureFilePath(excludedFile))};
    if (!walk(QDir::cleanPath(root.absoluteFilePath()), QString(), excluded, &found, &notes, error))
        return false;
    std::sort(found.begin(), found.end(), utf8Less);
    *paths = found;
    warnings->append(notes);
    return true;
}

bool checkReleasePaths(const QStringList &paths, QStringList *warnings, QString *error)
{
    QStringList refused;
    QHash<QString, QString> byFoldedCase;
    for (const QString &path : paths) {
        const QString sanitized = sanitizeRelativePath(path);
        if (sanitized.isEmpty())
            refused.append(QStringLiteral("  %1: the updater rejects this name").arg(path));
        else if (sanitized != path)
            refused.append(QStringLiteral("  %1: the updater would install it as \"%2\"")
                               .arg(path, sanitized));
        else if (hasWindowsInvalidCharacter(path))
            refused.append(QStringLiteral("  %1: not a valid Windows file name").arg(path));
        else if (isUpdaterOwnedPath(path))
            refused.append(QStringLiteral("  %1: a name the updater keeps for itself").arg(path));

        if (!warnings)
            continue;
        const QString folded = path.toCaseFolded();
        const auto earlier = byFoldedCase.constFind(folded);
        if (earlier != byFoldedCase.constEnd())
            warnings->append(QStringLiteral("%1 and %2 differ only in letter case; on a "
                                            "case-insensitive file system one replaces the other.")
                                 .arg(shown(earlier.value()), shown(path)));
        else
            byFoldedCase.insert(folded, path);
    }
    if (!refused.isEmpty())
        return fail(error, QStringLiteral("Refused: %1 file name(s) would not reach a client "
                                          "unchanged:\n%2")
                               .arg(refused.size())
                               .arg(refused.join(QLatin1Char('\n'))));
    if (paths.isEmpty())
        return fail(error, QStringLiteral("Refused: the release folder holds no files."));
    return true;
}

QUrl releaseFileUrl(const QString &path, const QUrl &baseUrl)
{
    QByteArray encoded;
    const QStringList segments = path.split(QLatin1Char('/'));
    for (const QString &segment : segments) {
        if (!encoded.isEmpty())
            encoded += '/';
        encoded += QUrl::toPercentEncoding(segment);
    }
    if (baseUrl.isEmpty())
        return QUrl::fromEncoded(encoded, QUrl::StrictMode);
    QByteArray base = baseUrl.toEncoded();
    if (!base.endsWith('/'))
        base += '/';
    return QUrl::fromEncoded(base + encoded, QUrl::StrictMode);
}

QByteArray releaseManifestDocument(const ReleaseInfo &info, const QList<UpdateFile> &files)
{
    QDateTime date = (info.date.isValid() ? info.date : QDateTime::currentDateTimeUtc()).toUTC();
    date = date.addMSecs(-date.time().msec());

    QJsonArray entries;
    qint64 totalSize = 0;
    for (const UpdateFile &file : files) {
        QJsonObject entry;
        entry.insert(QStringLiteral("path"), file.path);
        entry.insert(QStringLiteral("hash"), file.hash);
        entry.insert(QStringLiteral("size"), file.size);
        entry.insert(QStringLiteral("url"), file.url.toString(QUrl::FullyEncoded));
        if (file.chunks.size > 0)
            entry.insert(
                QStringLiteral("chunks"),
                QJsonObject{{QStringLiteral("url"), file.chunks.url.toString(QUrl::FullyEncoded)},
                            {QStringLiteral("size"), file.chunks.size},
                            {QStringLiteral("hash"), file.chunks.hash}});
        entries.append(entry);
        totalSize += file.size;
    }

    QJsonObject root;
    root.insert(QStringLiteral("version"), info.version.version);
    root.insert(QStringLiteral("build"), info.version.build);
    if (!info.minClientVersion.isEmpty())
        root.insert(QStringLiteral("min_client_version"), info.minClientVersion);
    root.insert(QStringLiteral("changelog"), info.changelog);
    root.insert(QStringLiteral("date"), date.toString(Qt::ISODate));
    root.insert(QStringLiteral("total_size"), totalSize);
    root.insert(QStringLiteral("files"), entries);
    return QJsonDocument(root).toJson(QJsonDocument::Indented);
}

bool checkNoLinkAt(const QString &path, QString *error)
{
    // QSaveFile would replace whatever the link points at, perhaps outside the release.
    if (fsys::entryKind(path) != fsys::EntryKind::Link)
        return true;
    return fail(error, QStringLiteral("Refused: %1 is a link. The manifest and its signature are "
                                      "written only as files of their own; remove the link or "
                                      "choose another --output.")
                           .arg(shown(path)));
}

bool writeReleaseManifest(const QString &path, const QByteArray &document, QString *error)
{
    if (!checkNoLinkAt(path, error))
        return false;
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return fail(error,
                    QStringLiteral("Cannot write %1: %2").arg(shown(path), file.errorString()));
    if (file.write(document) != document.size() || !file.commit())
        return fail(error,
                    QStringLiteral("Cannot write %1: %2").arg(shown(path), file.errorString()));
    return true;
}

#include "manifest/updatemanifest.h"
#include "files/failure.h"

#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonValue>
#include <QStringList>

#include <algorithm>
#include <cmath>
#include <limits>

namespace {

QString jsonString(const QJsonObject &object, QLatin1String key)
{
    const QJsonValue value = object.value(key);
    return value.isString() ? value.toString() : QString();
}

int jsonBuild(const QJsonValue &value)
{
    if (!value.isDouble())
        return 0;
    const double number = value.toDouble();
    if (number != std::trunc(number) || number < std::numeric_limits<int>::min() ||
        number > std::numeric_limits<int>::max())
        return 0;
    return static_cast<int>(number);
}

qint64 jsonSize(const QJsonValue &value)
{
    if (!value.isDouble())
        return -1;
    // Whole numbers are kept exactly, even beyond the 53 bits a double holds.
    const qint64 whole = value.toInteger(0);
    if (whole == value.toInteger(1))
        return whole;
    const double number = value.toDouble();
    // Out of range: saturate rather than invoke an undefined conversion.
    if (number >= 9223372036854775808.0)
        return std::numeric_limits<qint64>::max();
    if (number <= -9223372036854775808.0)
        return std::numeric_limits<qint64>::min();
    return static_cast<qint64>(number);
}

// Only the web: a file: url would read the player's own disk, a pipe would hang.
bool isWebUrl(const QUrl &url)
{
    return url.scheme() == QLatin1String("http") || url.scheme() == QLatin1String("https");
}

bool isSha256Hex(const QString &text)
{
    return text.size() == 64 && std::all_of(text.cbegin(), text.cend(), [](QChar c) {
               return (c >= QLatin1Char('0') && c <= QLatin1Char('9')) ||
                      (c >= QLatin1Char('a') && c <= QLatin1Char('f'));
           });
}

// The optional "chunks" of a file entry. Anything malformed is ignored rather than failing
// the manifest: the file is then fetched whole, as by an updater that does not know the key.
ChunkIndexRef chunkIndexRef(const QJsonValue &value, const QUrl &manifestUrl, qint64 fileSize)
{
    const QJsonObject object = value.toObject();
    const QString urlText = jsonString(object, QLatin1String("url")).trimmed();
    const QString hash = jsonString(object, QLatin1String("hash")).trimmed().toLower();
    const QJsonValue sizeValue = object.value(QLatin1String("size"));
    const qint64 size =
        sizeValue.toDouble() == std::trunc(sizeValue.toDouble()) ? jsonSize(sizeValue) : -1;
    const QUrl url = manifestUrl.resolved(QUrl(urlText, QUrl::TolerantMode));
    // An index is at most 1 % of its file; a larger one is not worth its transfer.
    if (urlText.isEmpty() || !isWebUrl(url) || !isSha256Hex(hash) || size < 1 ||
        size > fileSize / 100)
        return ChunkIndexRef();
    return ChunkIndexRef{url, size, hash};
}

qint64 saturatingAdd(qint64 sum, qint64 positive)
{
    return sum > std::numeric_limits<qint64>::max() - positive ? std::numeric_limits<qint64>::max()
                                                               : sum + positive;
}

// Lexical clean with the same result on every platform (QDir::cleanPath keeps UNC prefixes on
// Windows). Unresolvable leading ".." segments stay so that the caller can reject them.
QString cleanRelative(const QString &path)
{
    const bool absolute = path.startsWith(QLatin1Char('/'));
    QStringList kept;
    for (const QString &segment : path.split(QLatin1Char('/'), Qt::SkipEmptyParts)) {
        if (segment == QLatin1String("."))
            continue;
        if (segment == QLatin1String("..") && !kept.isEmpty() &&
            kept.constLast() != QLatin1String("..")) {
            kept.removeLast();
            continue;
        }
        kept.append(segment);
    }
    const QString joined = kept.join(QLatin1Char('/'));
    return absolute ? QLatin1Char('/') + joined : joined;
}

bool isReservedDeviceName(const QString &segment)
{
    // Win32 maps these names to devices whatever the extension or trailing spaces.
    const QString base = segment.section(QLatin1Char('.'), 0, 0).trimmed().toUpper();
    static const QStringList plain = {QStringLiteral("CON"),    QStringLiteral("PRN"),
                                      QStringLiteral("AUX"),    QStringLiteral("NUL"),
                                      QStringLiteral("CONIN$"), QStringLiteral("CONOUT$")};
    if (plain.contains(base))
        return true;
    if (base.size() != 4 ||
        !(base.startsWith(QLatin1String("COM")) || base.startsWith(QLatin1String("LPT"))))
        return false;
    const QChar last = base.at(3);
    return (last >= QLatin1Char('0') && last <= QLatin1Char('9')) || last == QChar(0x00B9) ||
           last == QChar(0x00B2) || last == QChar(0x00B3);
}

// Win32 strips trailing dots and spaces from every segment, so ".. " would become ".." after
// our check, and "x." would name another file than the one checked. Other trailing blanks
// are refused too: trimming the path again would drop them and name yet another file.
bool isSafeSegment(const QString &segment)
{
    if (segment.endsWith(QLatin1Char('.')) || (!segment.isEmpty() && segment.back().isSpace()))
        return false;
    for (const QChar c : segment) {
        if (c.unicode() < 0x20 || c.unicode() == 0x7F)
            return false;
    }
    return !isReservedDeviceName(segment);
}

} // namespace

bool isUpdaterOwnedPath(const QString &path)
{
    const QString name = path.toCaseFolded();
    for (const char *owned : {"version.json", "updater_config.json", ".update-staging",
                              ".quorvex-updater.lock", ".quorvex-chunks"}) {
        if (name == QLatin1String(owned) ||
            name.startsWith(QLatin1String(owned) + QLatin1Char('/')))
            return true;
    }
    return name.endsWith(QLatin1String(".quorvex-bak")) ||
           name.endsWith(QLatin1String(".quorvex-new")) ||
           name.endsWith(QLatin1String(".quorvex-old"));
}

QString sanitizeRelativePath(const QString &path)
{
    QString text = path.trimmed();
    text.replace(QLatin1Char('\\'), QLatin1Char('/'));
    while (text.startsWith(QLatin1String("./")))
        text.remove(0, 2);
    // Checked before cleaning too, so that ".. /.." cannot hide a name Win32 reads as "..".
    const QStringList raw = text.split(QLatin1Char('/'), Qt::SkipEmptyParts);
    for (const QString &segment : raw) {
        if (segment != QLatin1String(".") && segment != QLatin1String("..") &&
            !isSafeSegment(segment))
            return QString();
    }
    text = cleanRelative(text);

    if (text.isEmpty() || text == QLatin1String(".") || text == QLatin1String("..") ||
        text.startsWith(QLatin1String("../")) || text.contains(QLatin1String("/../")) ||
        text.startsWith(QLatin1Char('/')) || !QDir::isRelativePath(text) ||
        text.contains(QLatin1Char(':')))
        return QString();
    const QStringList segments = text.split(QLatin1Char('/'));
    for (const QString &segment : segments) {
        if (!isSafeSegment(segment))
            return QString();
    }
    return text;
}

bool parseUpdateManifest(const QByteArray &data, const QUrl &manifestUrl, UpdateManifest *manifest,
                         QString *error)
{
    if (!manifest)
        return fail(error, QStringLiteral("Estrutura UpdateManifest ausente."));

    const QJsonDocument document = QJsonDocument::fromJson(data);
    if (!document.isObject())
        return fail(error, QStringLiteral("manifest.json invalido."));
    const QJsonObject root = document.object();

    UpdateManifest parsed;
    parsed.remoteVersion.version = jsonString(root, QLatin1String("version"));
    parsed.remoteVersion.build = jsonBuild(root.value(QLatin1String("build")));
    parsed.minClientVersion = jsonString(root, QLatin1String("min_client_version"));
    parsed.totalSize = jsonSize(root.value(QLatin1String("total_size")));
    parsed.changelog = jsonString(root, QLatin1String("changelog"));
    const QString dateText = jsonString(root, QLatin1String("date"));
    if (!dateText.isEmpty())
        parsed.date = QDateTime::fromString(dateText, Qt::ISODateWithMs);

    if (parsed.remoteVersion.version.trimmed().isEmpty())
        return fail(error, QStringLiteral("manifest.json sem campo version."));

    qint64 sizeSum = 0;
    const QJsonArray files = root.value(QLatin1String("files")).toArray();
    for (const QJsonValue &element : files) {
        const QJsonObject entry = element.toObject();
        const QJsonValue pathValue = entry.value(QLatin1String("path"));
        const QString rawPath =
            pathValue.isString() ? pathValue.toString() : jsonString(entry, QLatin1String("name"));

        UpdateFile file;
        file.path = sanitizeRelativePath(rawPath);
        file.hash = jsonString(entry, QLatin1String("hash")).trimmed().toLower();
        const QString urlText = jsonString(entry, QLatin1String("url")).trimmed();
        file.size = jsonSize(entry.value(QLatin1String("size")));

        if (file.path.isEmpty() || isUpdaterOwnedPath(file.path))
            return fail(error, QStringLiteral("Arquivo de update com path invalido."));
        if (file.hash.isEmpty())
            return fail(error, QStringLiteral("Arquivo '%1' sem hash SHA-256.").arg(file.path));
        if (urlText.isEmpty())
            return fail(error, QStringLiteral("Arquivo '%1' sem URL de download.").arg(file.path));

        file.url = manifestUrl.resolved(QUrl(urlText, QUrl::TolerantMode));
        if (!isWebUrl(file.url))
            return fail(
                error, QStringLiteral("Arquivo '%1' com URL de download invalida.").arg(file.path));
        file.chunks = chunkIndexRef(entry.value(QLatin1String("chunks")), manifestUrl, file.size);
        if (file.size > 0)
            sizeSum = saturatingAdd(sizeSum, file.size);
        parsed.files.append(file);
    }

    if (parsed.totalSize < 1 && sizeSum > 0)
        parsed.totalSize = sizeSum;

    *manifest = parsed;
    return true;
}

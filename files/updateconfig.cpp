#include "files/updateconfig.h"
#include "files/filesystem.h"
#include "files/jsonrecord.h"
#include "manifest/signature.h"

#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonValue>

namespace {

QString configFilePath(const QString &appDir)
{
    return recordFilePath(appDir, QStringLiteral("updater_config.json"));
}

} // namespace

void appendUniqueUrl(QList<QUrl> *urls, const QUrl &url)
{
    if (!urls || !url.isValid() || url.isEmpty() || urls->contains(url))
        return;
    urls->append(url);
}

bool readUpdateConfig(const QString &appDir, UpdateConfig *config, QString *error)
{
    if (!config) {
        if (error)
            *error = QStringLiteral("Estrutura UpdateConfig ausente.");
        return false;
    }

    const QString path = configFilePath(appDir);
    if (!QFileInfo::exists(path)) {
        *config = UpdateConfig();
        return true;
    }

    // Bounded and never waiting: a pipe or a device at the name fails at once.
    QByteArray content;
    QString readError;
    if (!fsys::readRegularFile(path, RecordSizeLimit, &content, &readError)) {
        if (error)
            *error =
                QStringLiteral("Nao foi possivel abrir updater_config.json: %1").arg(readError);
        return false;
    }

    const QJsonDocument document = QJsonDocument::fromJson(content);
    const auto invalid = [error] {
        if (error)
            *error = QStringLiteral("updater_config.json invalido.");
        return false;
    };
    if (!document.isObject())
        return invalid();
    const QJsonObject object = document.object();

    // Filled apart and assigned at the end, so nothing of an earlier list survives.
    UpdateConfig result;

    const QJsonValue enabled = object.value(QLatin1String("enabled"));
    result.enabled = enabled.isBool() && enabled.toBool();

    const QJsonValue single = object.value(QLatin1String("manifest_url"));
    if (single.isString())
        result.manifestUrl = QUrl(single.toString(), QUrl::TolerantMode);

    const QJsonValue list = object.value(QLatin1String("manifest_urls"));
    if (list.isArray()) {
        const QJsonArray entries = list.toArray();
        for (const QJsonValue &entry : entries)
            appendUniqueUrl(&result.manifestUrls,
                            QUrl(entry.toString().trimmed(), QUrl::TolerantMode));
    }
    // The mirrors from the list are tried first.
    appendUniqueUrl(&result.manifestUrls, result.manifestUrl);

    const QJsonValue selfUpdate = object.value(QLatin1String("self_update"));
    result.selfUpdate = selfUpdate.isBool() && selfUpdate.toBool();

    result.checkTimeoutMs =
        wholeInt(object.value(QLatin1String("check_timeout_ms")), result.checkTimeoutMs);
    result.downloadTimeoutMs =
        wholeInt(object.value(QLatin1String("download_timeout_ms")), result.downloadTimeoutMs);
    result.maxParallelDownloads =
        qBound(1, wholeInt(object.value(QLatin1String("max_parallel_downloads")), 6), 16);
    result.maxDownloadRateKib =
        qMax(0, wholeInt(object.value(QLatin1String("max_download_rate_kib")), 0));

    // Unlike the other keys, a key that is there but unusable is no default: reading it as
    // absent would quietly switch the signature check off.
    const QJsonValue key = object.value(QLatin1String("public_key"));
    if (!key.isUndefined() &&
        (!key.isString() || !parseManifestPublicKey(key.toString(), &result.publicKey)))
        return invalid();

    *config = result;
    return true;
}

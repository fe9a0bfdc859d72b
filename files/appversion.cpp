#include "files/appversion.h"
#include "files/filesystem.h"
#include "files/jsonrecord.h"

#include <QDateTime>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonValue>
#include <QSaveFile>

QString versionFilePath(const QString &appDir)
{
    return recordFilePath(appDir, QStringLiteral("version.json"));
}

bool readAppVersion(const QString &appDir, AppVersion *version, QString *error,
                    QDateTime *releaseDate)
{
    if (!version) {
        if (error)
            *error = QStringLiteral("Estrutura AppVersion ausente.");
        return false;
    }

    const QString path = versionFilePath(appDir);
    if (!QFileInfo::exists(path)) {
        version->version = QStringLiteral("0.0.0");
        version->build = 0;
        return true;
    }

    // Bounded and never waiting: a pipe or a device at the name fails at once.
    QByteArray content;
    QString readError;
    if (!fsys::readRegularFile(path, RecordSizeLimit, &content, &readError)) {
        if (error)
            *error = QStringLiteral("Nao foi possivel abrir version.json: %1").arg(readError);
        return false;
    }

    const QJsonDocument document = QJsonDocument::fromJson(content);
    if (!document.isObject()) {
        if (error)
            *error = QStringLiteral("version.json invalido.");
        return false;
    }

    const QJsonObject object = document.object();
    const QJsonValue text = object.value(QLatin1String("version"));
    version->version = text.isString() ? text.toString() : QStringLiteral("0.0.0");
    version->build = wholeInt(object.value(QLatin1String("build")), 0);
    if (releaseDate)
        *releaseDate = QDateTime::fromString(object.value(QLatin1String("release_date")).toString(),
                                             Qt::ISODateWithMs);
    return true;
}

bool writeAppVersion(const QString &appDir, const AppVersion &version, QString *error,
                     const QDateTime &releaseDate)
{
    QSaveFile file(versionFilePath(appDir));
    if (!file.open(QIODevice::WriteOnly | QIODevice::Text)) {
        if (error)
            *error =
                QStringLiteral("Nao foi possivel gravar version.json: %1").arg(file.errorString());
        return false;
    }

    QJsonObject object;
    object.insert(QLatin1String("version"), version.version);
    object.insert(QLatin1String("build"), version.build);
    object.insert(QLatin1String("updated_at"),
                  QDateTime::currentDateTimeUtc().toString(Qt::ISODate));
    if (releaseDate.isValid()) {
        const QDateTime date = releaseDate.toUTC();
        object.insert(QLatin1String("release_date"),
                      date.toString(date.time().msec() ? Qt::ISODateWithMs : Qt::ISODate));
    }

    // Qt 6.4 lets commit() succeed when its own flush of buffered data fails, which
    // would put a cut-off file in place; so push the data out here and abandon the
    // save when that does not work.
    const QByteArray bytes = QJsonDocument(object).toJson(QJsonDocument::Indented);
    QString writeFailure;
    if (file.write(bytes) != bytes.size() || !file.flush()) {
        // A partly written buffer leaves no reason behind; a second try reports it.
        file.flush();
        writeFailure = file.errorString();
        file.cancelWriting();
    }

    if (!file.commit()) {
        if (error)
            *error = QStringLiteral("Falha ao finalizar version.json: %1")
                         .arg(writeFailure.isEmpty() ? file.errorString() : writeFailure);
        return false;
    }
    return true;
}

QString appVersionText(const AppVersion &version)
{
    const QString text = version.version.trimmed();
    if (text.isEmpty())
        return QStringLiteral("0.0.0");
    // One pass, so a "%1" inside the version text stays as it is.
    return QStringLiteral("%1 (build %2)").arg(text, QString::number(version.build));
}

#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <QUrl>

struct UpdateConfig
{
    bool enabled = false;
    QUrl manifestUrl;
    QList<QUrl> manifestUrls;
    int checkTimeoutMs = 4000;
    int downloadTimeoutMs = 120000;
    // DER of the key that must have signed the manifest; empty: manifests are not checked.
    QByteArray publicKey;
    // A release may change the running updater's own executable ("self_update": true).
    bool selfUpdate = false;
    int maxParallelDownloads = 6; // transfers in flight at once, 1 to 16
    int maxDownloadRateKib = 0;   // KiB/s for all transfers together; 0: no cap
};

// Reads updater_config.json from appDir. A missing file resets config to the
// defaults and succeeds; on failure config is left as it was. A "public_key" that is present
// but not a valid key line fails, as a broken file does.
bool readUpdateConfig(const QString &appDir, UpdateConfig *config, QString *error = nullptr);

// Appends url unless the list is absent, the url is invalid or empty, or an equal url is present.
void appendUniqueUrl(QList<QUrl> *urls, const QUrl &url);

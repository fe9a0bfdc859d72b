#pragma once

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
};

// Reads updater_config.json from appDir. A missing file resets config to the
// defaults and succeeds; on failure config is left as it was.
bool readUpdateConfig(const QString &appDir, UpdateConfig *config, QString *error = nullptr);

// Appends url unless the list is absent, the url is invalid or empty, or an equal url is present.
void appendUniqueUrl(QList<QUrl> *urls, const QUrl &url);

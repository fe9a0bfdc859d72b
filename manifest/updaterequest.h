#pragma once

#include <QByteArray>
#include <QNetworkRequest>
#include <QString>
#include <QUrl>

class QNetworkAccessManager;
class QNetworkReply;

// The one shape of every request the updater sends.
QNetworkRequest makeUpdateRequest(const QUrl &url);

// Runs a nested event loop until the reply finishes or the deadline passes, in which case the
// reply is aborted. The deadline covers the whole exchange. Returns the timed-out flag.
bool awaitReply(QNetworkReply *reply, int deadlineMs);

// A small document fetched in one piece under a whole-exchange deadline, and never more
// than limit bytes of it.
struct SmallFetch
{
    bool ok = false;
    bool timedOut = false;
    bool tooLarge = false;
    QByteArray body;
    QString error; // the reply's own text, any password in it removed
};
SmallFetch fetchSmall(QNetworkAccessManager *manager, const QUrl &url, int deadlineMs,
                      qint64 limit);

// The url as the player may see it: never with its password.
QString shownUrl(const QUrl &url);

// text with the credentials of url taken out, wherever the network layer repeated the url.
QString withoutPassword(QString text, const QUrl &url);

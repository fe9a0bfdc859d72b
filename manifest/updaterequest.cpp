#include "manifest/updaterequest.h"

#include <QEventLoop>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QTimer>

QNetworkRequest makeUpdateRequest(const QUrl &url)
{
    QNetworkRequest request(url);
    // Redirects are followed, but never from https down to http.
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                         int(QNetworkRequest::NoLessSafeRedirectPolicy));
    request.setHeader(QNetworkRequest::UserAgentHeader, QStringLiteral("QuorvexUpdater/1.0"));
    return request;
}

bool awaitReply(QNetworkReply *reply, int deadlineMs)
{
    if (!reply || reply->isFinished())
        return false;

    bool timedOut = false;
    QEventLoop loop;
    QTimer timer;
    timer.setSingleShot(true);
    // The reply is the context: once it is gone, the abort cannot reach it.
    QObject::connect(&timer, &QTimer::timeout, reply, [&timedOut, reply] {
        timedOut = true;
        reply->abort();
    });
    QObject::connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);

    timer.start(qMax(0, deadlineMs));
    loop.exec(QEventLoop::AllEvents);
    timer.stop();
    return timedOut;
}

SmallFetch fetchSmall(QNetworkAccessManager *manager, const QUrl &url, int deadlineMs, qint64 limit)
{
    SmallFetch result;
    QNetworkReply *reply = manager->get(makeUpdateRequest(url));
    // Whatever the server announces or sends, no more than the limit is ever held.
    QObject::connect(reply, &QNetworkReply::downloadProgress, reply,
                     [&result, reply, limit](qint64 received, qint64 total) {
                         if (received > limit || total > limit) {
                             result.tooLarge = true;
                             reply->abort();
                         }
                     });
    result.timedOut = awaitReply(reply, deadlineMs);
    result.ok = !result.tooLarge && reply->error() == QNetworkReply::NoError;
    // An aborted reply is closed and has nothing left to read.
    if (result.ok)
        result.body = reply->readAll();
    result.error = withoutPassword(reply->errorString(), url);
    reply->deleteLater();
    return result;
}

QString shownUrl(const QUrl &url)
{
    return url.toString(QUrl::RemovePassword);
}

QString withoutPassword(QString text, const QUrl &url)
{
    if (url.password().isEmpty())
        return text;
    for (const QUrl::ComponentFormattingOption form : {QUrl::PrettyDecoded, QUrl::FullyEncoded})
        text.replace(url.userInfo(form) + QLatin1Char('@'), url.userName(form) + QLatin1Char('@'));
    return text;
}

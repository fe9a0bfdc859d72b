#include "manifest/updaterequest.h"

#include <QEventLoop>
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

#pragma once

#include <QNetworkRequest>
#include <QUrl>

class QNetworkReply;

// The one shape of every request the updater sends.
QNetworkRequest makeUpdateRequest(const QUrl &url);

// Runs a nested event loop until the reply finishes or deadlineMs passes, in which
// case the reply is aborted. Returns the timed-out flag.
bool awaitReply(QNetworkReply *reply, int deadlineMs);

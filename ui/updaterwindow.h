#pragma once

#include "ui/transferrate.h"

#include <QElapsedTimer>
#include <QPoint>
#include <QString>
#include <QTimer>
#include <QWidget>

#include <functional>

class QLabel;
class QProgressBar;

// The updater's only window: a frameless card that mirrors the controller's signals.
class UpdaterWindow : public QWidget
{
public:
    UpdaterWindow();
    // The clock of the transfer speed, in milliseconds; a steady one by default.
    explicit UpdaterWindow(std::function<qint64()> clock);
    ~UpdaterWindow() override;

    void setStatus(const QString &title, const QString &detail);
    void setProgressMode(bool indeterminate);
    void setProgress(qlonglong value, qlonglong maximum);
    void handleFinished(bool success, bool updated, const QString &message);
    void presentWindow();

protected:
    bool event(QEvent *event) override;
    void mousePressEvent(QMouseEvent *event) override;
    void mouseReleaseEvent(QMouseEvent *event) override;
    void mouseMoveEvent(QMouseEvent *event) override;

private:
    void showTransfer();

    bool dragging = false;
    QPoint dragOffset;
    QLabel *titleLabel = nullptr;
    QLabel *detailLabel = nullptr;
    QLabel *stepLabel = nullptr;
    QProgressBar *progressBar = nullptr;
    QElapsedTimer paintClock;
    QTimer paintTimer;
    TransferRate transferRate;
    qlonglong transferValue = 0;
    qlonglong transferMaximum = 0;
    // Keeps the speed true while no report comes, a stalled link above all.
    QTimer transferTimer{this};
};

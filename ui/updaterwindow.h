#pragma once

#include <QElapsedTimer>
#include <QPoint>
#include <QString>
#include <QTimer>
#include <QWidget>

class QLabel;
class QProgressBar;

// The updater's only window: a frameless card that mirrors the controller's signals.
class UpdaterWindow : public QWidget
{
public:
    UpdaterWindow();
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
    bool dragging = false;
    QPoint dragOffset;
    QLabel *titleLabel = nullptr;
    QLabel *detailLabel = nullptr;
    QLabel *stepLabel = nullptr;
    QProgressBar *progressBar = nullptr;
    QElapsedTimer paintClock;
    QTimer paintTimer;
};

#include "ui/updaterwindow.h"

#include "download/bytesize.h"

#include <QColor>
#include <QCoreApplication>
#include <QFrame>
#include <QGraphicsDropShadowEffect>
#include <QHBoxLayout>
#include <QIcon>
#include <QLabel>
#include <QMessageBox>
#include <QMouseEvent>
#include <QProgressBar>
#include <QVBoxLayout>

#include <climits>
#include <cmath>

namespace {

const char styleSheetText[] = R"(
QWidget#UpdaterRoot {
    background: transparent;
    color: #edf3ff;
    font-family: "Segoe UI";
}
QWidget#Card {
    background: qlineargradient(x1:0, y1:0, x2:1, y2:1, stop:0 #121922, stop:0.52 #0f1822, stop:1 #091018);
    border: 1px solid rgba(116, 201, 255, 58);
    border-radius: 18px;
}
QLabel#Title {
    font-size: 22px;
    font-weight: 700;
    color: #f8fbff;
}
QLabel#Detail {
    font-size: 13px;
    color: #c6d7e8;
}
QProgressBar {
    border: 1px solid rgba(116, 201, 255, 44);
    border-radius: 10px;
    background: rgba(5, 9, 14, 175);
    text-align: center;
    min-height: 22px;
    color: #edf3ff;
    font-weight: 800;
}
QProgressBar::chunk {
    border-radius: 9px;
    background: qlineargradient(x1:0, y1:0, x2:1, y2:0, stop:0 #ff8a00, stop:0.45 #ffc45a, stop:1 #19d078);
}
QLabel#Badge {
    background: rgba(255, 133, 0, 34);
    color: #ffb347;
    border: 1px solid rgba(255, 133, 0, 80);
    border-radius: 12px;
    padding: 4px 10px;
    font-weight: 900;
}
QLabel#Pulse {
    background: #19d078;
    border-radius: 4px;
    min-width: 8px;
    max-width: 8px;
    min-height: 8px;
    max-height: 8px;
}
QLabel#WindowHint {
    color: rgba(237, 243, 255, 110);
    font-size: 11px;
    font-weight: 700;
}
)";

int clampToInt(qreal value)
{
    if (std::isnan(value))
        return 0;
    if (value <= qreal(INT_MIN))
        return INT_MIN;
    if (value >= qreal(INT_MAX))
        return INT_MAX;
    return int(value);
}

// Half away from zero and clamped, so a cursor far off every screen cannot overflow; the
// difference is taken in floating point for the same reason.
QPoint wholePixelDifference(const QPointF &position, const QPoint &origin)
{
    return QPoint(clampToInt(qreal(clampToInt(std::round(position.x()))) - origin.x()),
                  clampToInt(qreal(clampToInt(std::round(position.y()))) - origin.y()));
}

QLabel *makeLabel(const QString &text, const QString &objectName, QWidget *parent)
{
    auto *label = new QLabel(text, parent);
    label->setObjectName(objectName);
    // Titles, changelogs and file names come from the server: shown as the characters they are.
    label->setTextFormat(Qt::PlainText);
    return label;
}

} // namespace

UpdaterWindow::UpdaterWindow() : UpdaterWindow(std::function<qint64()>())
{}

UpdaterWindow::UpdaterWindow(std::function<qint64()> clock) : transferRate(std::move(clock))
{
    transferTimer.setObjectName(QStringLiteral("TransferTimer"));
    transferTimer.setInterval(1000);
    connect(&transferTimer, &QTimer::timeout, this, &UpdaterWindow::showTransfer);
    paintTimer.setSingleShot(true);
    connect(&paintTimer, &QTimer::timeout, this, [this] {
        QCoreApplication::postEvent(this, new QEvent(QEvent::UpdateRequest), Qt::LowEventPriority);
    });
    setObjectName(QStringLiteral("UpdaterRoot"));
    setWindowTitle(QStringLiteral("Quorvex Updater"));
    setWindowIcon(QIcon(QStringLiteral(":/branding/quorvex_icon.ico")));
    setWindowFlags(Qt::Window | Qt::FramelessWindowHint);
    setAttribute(Qt::WA_TranslucentBackground);
    resize(560, 242);
    setMinimumSize(560, 242);
    setStyleSheet(QString::fromLatin1(styleSheetText));

    auto *rootLayout = new QVBoxLayout(this);
    // Room around the card for its shadow.
    rootLayout->setContentsMargins(18, 18, 18, 18);

    auto *card = new QFrame(this);
    card->setObjectName(QStringLiteral("Card"));
    auto *shadow = new QGraphicsDropShadowEffect(card);
    shadow->setBlurRadius(32.0);
    shadow->setOffset(0.0, 10.0);
    shadow->setColor(QColor(0, 0, 0, 190));
    card->setGraphicsEffect(shadow);

    auto *cardLayout = new QVBoxLayout(card);
    cardLayout->setContentsMargins(24, 20, 24, 22);
    cardLayout->setSpacing(14);

    auto *header = new QHBoxLayout;
    header->setContentsMargins(0, 0, 0, 0);
    header->setSpacing(12);
    header->addWidget(makeLabel(QStringLiteral("UPDATE"), QStringLiteral("Badge"), card), 0,
                      Qt::AlignTop);
    titleLabel =
        makeLabel(QStringLiteral("Verificando atualizacoes"), QStringLiteral("Title"), card);
    header->addWidget(titleLabel, 1);
    header->addWidget(makeLabel(QString(), QStringLiteral("Pulse"), card), 0,
                      Qt::AlignRight | Qt::AlignTop);
    cardLayout->addLayout(header, 0);

    detailLabel = makeLabel(QStringLiteral("Conectando ao servidor de updates..."),
                            QStringLiteral("Detail"), card);
    detailLabel->setWordWrap(true);
    cardLayout->addWidget(detailLabel, 0);

    progressBar = new QProgressBar(card);
    progressBar->setRange(0, 0);
    progressBar->setTextVisible(true);
    cardLayout->addWidget(progressBar, 0);

    stepLabel = makeLabel(QStringLiteral("Preparando..."), QStringLiteral("Detail"), card);
    cardLayout->addWidget(stepLabel, 0);

    cardLayout->addWidget(
        makeLabel(
            QStringLiteral("Mantenha esta janela aberta enquanto os arquivos sao atualizados."),
            QStringLiteral("WindowHint"), card),
        0);

    rootLayout->addWidget(card, 0);
}

UpdaterWindow::~UpdaterWindow() = default;

void UpdaterWindow::setStatus(const QString &title, const QString &detail)
{
    transferTimer.stop();
    titleLabel->setText(title);
    detailLabel->setText(detail);
    const qsizetype lineEnd = detail.indexOf(QLatin1Char('\n'));
    stepLabel->setText(lineEnd < 0 ? detail : detail.left(lineEnd));
}

void UpdaterWindow::setProgressMode(bool indeterminate)
{
    if (indeterminate) {
        progressBar->setRange(0, 0);
        transferTimer.stop();
        transferRate.clear();
    } else if (progressBar->maximum() == 0) {
        progressBar->setRange(0, 100);
        progressBar->setValue(0);
    }
}

void UpdaterWindow::setProgress(qlonglong value, qlonglong maximum)
{
    if (maximum <= 0) {
        progressBar->setRange(0, 0);
        transferTimer.stop();
        transferRate.clear();
        return;
    }

    // The bar holds 32 bits; updates of several GiB are scaled down by a common power of two,
    // which keeps the percentage the bar shows.
    int shift = 0;
    while ((maximum >> shift) > INT_MAX)
        ++shift;
    const qlonglong shown = qBound(qlonglong(0), value, maximum);
    const int before = progressBar->value();
    progressBar->setRange(0, int(maximum >> shift));
    progressBar->setValue(int(shown >> shift));
    // The bar repaints itself only once its value has moved far enough from the value it last
    // painted. The card's shadow paints the whole card, bar included, into a picture of its own
    // whenever any part of it changes, so every change of the step line below made the bar
    // take its value for painted while the screen kept the old bar.
    if (progressBar->value() != before)
        progressBar->update();

    transferRate.add(value, maximum);
    transferValue = value;
    transferMaximum = maximum;
    showTransfer();
    if (!transferTimer.isActive())
        transferTimer.start();
}

void UpdaterWindow::showTransfer()
{
    QString text = QStringLiteral("%1 / %2").arg(formatByteSize(transferValue),
                                                 formatByteSize(transferMaximum));
    const QString rate = transferRate.text();
    if (!rate.isEmpty())
        text += QStringLiteral(" - ") + rate;
    stepLabel->setText(text);
}

void UpdaterWindow::handleFinished(bool success, bool updated, const QString &message)
{
    Q_UNUSED(updated);
    transferTimer.stop();
    if (success) {
        close();
        QCoreApplication::exit(0);
        return;
    }

    if (!isVisible())
        show();
    const QString text =
        message.trimmed().isEmpty()
            ? QStringLiteral("Nao foi possivel concluir o processo de atualizacao.")
            : message;
    // The message can hold what a server sent: plain text, like the labels.
    QMessageBox box(QMessageBox::Critical, QStringLiteral("Atualizacao falhou"), text,
                    QMessageBox::Ok, this);
    box.setTextFormat(Qt::PlainText);
    box.exec();
    QCoreApplication::exit(1);
}

// A release of thousands of small files changes the texts thousands of times a second, and
// every paint of the card blurs its shadow again: painting at most every 40 ms keeps that
// work from outweighing the downloads. The texts themselves change at once.
bool UpdaterWindow::event(QEvent *event)
{
    if (event->type() != QEvent::UpdateRequest)
        return QWidget::event(event);
    constexpr qint64 PaintIntervalMs = 40;
    if (paintClock.isValid() && paintClock.elapsed() < PaintIntervalMs) {
        if (!paintTimer.isActive())
            paintTimer.start(int(PaintIntervalMs - paintClock.elapsed()));
        return true;
    }
    paintClock.start();
    return QWidget::event(event);
}

void UpdaterWindow::presentWindow()
{
    show();
    raise();
    activateWindow();
}

void UpdaterWindow::mousePressEvent(QMouseEvent *event)
{
    if (event->button() != Qt::LeftButton) {
        QWidget::mousePressEvent(event);
        return;
    }
    dragging = true;
    dragOffset = wholePixelDifference(event->globalPosition(), frameGeometry().topLeft());
    event->accept();
}

void UpdaterWindow::mouseReleaseEvent(QMouseEvent *event)
{
    if (event->button() != Qt::LeftButton) {
        QWidget::mouseReleaseEvent(event);
        return;
    }
    dragging = false;
    event->accept();
}

void UpdaterWindow::mouseMoveEvent(QMouseEvent *event)
{
    if (!dragging) {
        QWidget::mouseMoveEvent(event);
        return;
    }
    move(wholePixelDifference(event->globalPosition(), dragOffset));
    event->accept();
}

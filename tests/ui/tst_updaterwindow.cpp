#include "download/bytesize.h"
#include "ui/updaterwindow.h"

#include <QAbstractButton>
#include <QApplication>
#include <QLabel>
#include <QMessageBox>
#include <QMouseEvent>
#include <QProgressBar>
#include <QTimer>
#include <QtTest>

#include <limits>

namespace {

constexpr qint64 GiB = qint64(1) << 30;

QLabel *labelNamed(UpdaterWindow &window, const char *name, int index = 0)
{
    const QList<QLabel *> labels = window.findChildren<QLabel *>(QLatin1String(name));
    return index < labels.size() ? labels.at(index) : nullptr;
}

QLabel *stepLabel(UpdaterWindow &window)
{
    return labelNamed(window, "Detail", 1);
}

QProgressBar *bar(UpdaterWindow &window)
{
    return window.findChild<QProgressBar *>();
}

struct FinishOutcome
{
    int exitCode = -2;
    bool boxSeen = false;
    QString boxTitle;
    QString boxText;
    bool boxParentIsWindow = false;
    QMessageBox::StandardButtons boxButtons;
};

// Runs handleFinished inside a real application event loop, the way main does, and
// dismisses whatever modal box it raises. A watchdog bounds the whole exchange.
FinishOutcome runFinished(UpdaterWindow &window, bool success, const QString &message)
{
    FinishOutcome outcome;
    QTimer dismisser;
    dismisser.setInterval(20);
    QObject::connect(&dismisser, &QTimer::timeout, [&] {
        auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
        if (!box || outcome.boxSeen)
            return;
        outcome.boxSeen = true;
        outcome.boxTitle = box->windowTitle();
        outcome.boxText = box->text();
        outcome.boxParentIsWindow = box->parentWidget() == &window;
        outcome.boxButtons = box->standardButtons();
        box->button(QMessageBox::Ok)->click();
    });
    dismisser.start();
    QTimer watchdog;
    watchdog.setSingleShot(true);
    QObject::connect(&watchdog, &QTimer::timeout, [] {
        if (QWidget *modal = QApplication::activeModalWidget())
            modal->close();
        QCoreApplication::exit(-1);
    });
    watchdog.start(10000);
    QTimer::singleShot(0, &window, [&] { window.handleFinished(success, false, message); });
    outcome.exitCode = QApplication::exec();
    return outcome;
}

void sendMouse(QWidget *target, QEvent::Type type, Qt::MouseButton button, QPointF global)
{
    const Qt::MouseButtons held = type == QEvent::MouseButtonRelease ? Qt::NoButton : button;
    // The window only looks at global positions.
    QMouseEvent event(type, QPointF(4, 4), global,
                      type == QEvent::MouseMove ? Qt::NoButton : button, held, Qt::NoModifier);
    QCoreApplication::sendEvent(target, &event);
}

} // namespace

class TestUpdaterWindow : public QObject
{
    Q_OBJECT

private slots:
    void initialState();
    void styleReachesLabels();
    void status_data();
    void status();
    void progress_data();
    void progress();
    void progressMode_data();
    void progressMode();
    void finished_data();
    void finished();
    void dragging_data();
    void dragging();
};

void TestUpdaterWindow::initialState()
{
    UpdaterWindow window;
    QVERIFY(!window.isVisible());
    QCOMPARE(window.objectName(), QStringLiteral("UpdaterRoot"));
    QCOMPARE(window.windowFlags().toInt(), 0x801);
    QVERIFY(window.testAttribute(Qt::WA_TranslucentBackground));
    QCOMPARE(window.size(), QSize(560, 242));
    QCOMPARE(window.minimumSize(), QSize(560, 242));
    window.resize(100, 50);
    QCOMPARE(window.size(), QSize(560, 242));

    QCOMPARE(labelNamed(window, "Badge")->text(), QStringLiteral("UPDATE"));
    QCOMPARE(labelNamed(window, "Title")->text(), QStringLiteral("Verificando atualizacoes"));
    QCOMPARE(labelNamed(window, "Detail")->text(),
             QStringLiteral("Conectando ao servidor de updates..."));
    QVERIFY(labelNamed(window, "Detail")->wordWrap());
    QCOMPARE(stepLabel(window)->text(), QStringLiteral("Preparando..."));
    QVERIFY(labelNamed(window, "Pulse")->text().isEmpty());
    QCOMPARE(labelNamed(window, "WindowHint")->text(),
             QStringLiteral("Mantenha esta janela aberta enquanto os arquivos sao atualizados."));
    QCOMPARE(bar(window)->maximum(), 0);
    QVERIFY(bar(window)->text().isEmpty());
}

void TestUpdaterWindow::styleReachesLabels()
{
    UpdaterWindow window;
    window.ensurePolished();
    for (QLabel *label : window.findChildren<QLabel *>())
        label->ensurePolished();
    for (int index : {0, 1}) {
        QLabel *detail = labelNamed(window, "Detail", index);
        QCOMPARE(detail->font().pixelSize(), 13);
        QCOMPARE(detail->palette().color(QPalette::WindowText), QColor(0xc6, 0xd7, 0xe8));
    }
    QCOMPARE(labelNamed(window, "WindowHint")->font().pixelSize(), 11);
    QCOMPARE(labelNamed(window, "Title")->font().pixelSize(), 22);
    QCOMPARE(labelNamed(window, "Pulse")->size(), QSize(8, 8));
}

void TestUpdaterWindow::status_data()
{
    QTest::addColumn<QString>("detail");
    QTest::addColumn<QString>("step");
    QTest::newRow("one line") << QStringLiteral("Baixando a.pak")
                              << QStringLiteral("Baixando a.pak");
    QTest::newRow("two lines") << QStringLiteral("Versao 2.0\nNovos mapas")
                               << QStringLiteral("Versao 2.0");
    QTest::newRow("leading line feed") << QStringLiteral("\nresto") << QString();
    QTest::newRow("empty") << QString() << QString();
    QTest::newRow("carriage return kept") << QStringLiteral("a\r\nb") << QStringLiteral("a\r");
}

void TestUpdaterWindow::status()
{
    QFETCH(QString, detail);
    QFETCH(QString, step);
    UpdaterWindow window;
    window.setStatus(QStringLiteral("Atualizacao encontrada"), detail);
    QCOMPARE(labelNamed(window, "Title")->text(), QStringLiteral("Atualizacao encontrada"));
    QCOMPARE(labelNamed(window, "Detail")->text(), detail);
    QCOMPARE(stepLabel(window)->text(), step);
}

void TestUpdaterWindow::progress_data()
{
    QTest::addColumn<qint64>("value");
    QTest::addColumn<qint64>("maximum");
    QTest::addColumn<QString>("percent"); // empty: busy indicator
    QTest::addColumn<bool>("stepChanges");

    const qint64 top = std::numeric_limits<qint64>::max();
    QTest::newRow("open total") << qint64(5) << qint64(0) << QString() << false;
    QTest::newRow("negative total") << qint64(5) << qint64(-1) << QString() << false;
    QTest::newRow("half") << qint64(50) << qint64(100) << QStringLiteral("50%") << true;
    QTest::newRow("over the total") << qint64(150) << qint64(100) << QStringLiteral("100%") << true;
    QTest::newRow("negative value") << qint64(-5) << qint64(100) << QStringLiteral("0%") << true;
    QTest::newRow("32-bit limit") << qint64(std::numeric_limits<int>::max())
                                  << qint64(std::numeric_limits<int>::max())
                                  << QStringLiteral("100%") << true;
    QTest::newRow("5 of 10 GiB") << 5 * GiB << 10 * GiB << QStringLiteral("50%") << true;
    QTest::newRow("3 of 4 GiB") << 3 * GiB << 4 * GiB << QStringLiteral("75%") << true;
    QTest::newRow("just over 32 bits")
        << qint64(1) << qint64(std::numeric_limits<int>::max()) + 1 << QStringLiteral("0%") << true;
    QTest::newRow("largest total, full") << top << top << QStringLiteral("100%") << true;
    QTest::newRow("largest total, half") << (top / 2 + 1) << top << QStringLiteral("50%") << true;
    QTest::newRow("over a huge total") << top << 6 * GiB << QStringLiteral("100%") << true;
}

void TestUpdaterWindow::progress()
{
    QFETCH(qint64, value);
    QFETCH(qint64, maximum);
    QFETCH(QString, percent);
    QFETCH(bool, stepChanges);

    UpdaterWindow window;
    window.setProgressMode(false);
    window.setStatus(QStringLiteral("Baixando atualizacao"), QStringLiteral("antes"));
    window.setProgress(value, maximum);

    QProgressBar *progressBar = bar(window);
    if (percent.isEmpty()) {
        QCOMPARE(progressBar->maximum(), 0);
        QVERIFY(progressBar->text().isEmpty());
    } else {
        QVERIFY(progressBar->maximum() > 0);
        QVERIFY(progressBar->value() >= 0 && progressBar->value() <= progressBar->maximum());
        QCOMPARE(progressBar->text(), percent);
    }
    const QString expectedStep =
        stepChanges ? QStringLiteral("%1 / %2").arg(formatByteSize(value), formatByteSize(maximum))
                    : QStringLiteral("antes");
    QCOMPARE(stepLabel(window)->text(), expectedStep);
}

void TestUpdaterWindow::progressMode_data()
{
    QTest::addColumn<qint64>("shownMaximum"); // -1: leave the initial busy bar alone
    QTest::addColumn<bool>("indeterminate");
    QTest::addColumn<int>("maximum");
    QTest::addColumn<int>("value");
    QTest::addColumn<QString>("text");

    QTest::newRow("busy to determinate") << qint64(-1) << false << 100 << 0 << QStringLiteral("0%");
    QTest::newRow("determinate stays")
        << qint64(5000) << false << 5000 << 2500 << QStringLiteral("50%");
    QTest::newRow("scaled range stays") << 10 * GiB << false << int((10 * GiB) >> 3)
                                        << int((5 * GiB) >> 3) << QStringLiteral("50%");
    QTest::newRow("back to busy") << qint64(5000) << true << 0 << 2500 << QString();
    QTest::newRow("busy stays busy") << qint64(-1) << true << 0 << -1 << QString();
}

void TestUpdaterWindow::progressMode()
{
    QFETCH(qint64, shownMaximum);
    QFETCH(bool, indeterminate);
    QFETCH(int, maximum);
    QFETCH(int, value);
    QFETCH(QString, text);

    UpdaterWindow window;
    if (shownMaximum > 0)
        window.setProgress(shownMaximum / 2, shownMaximum);
    const QString step = stepLabel(window)->text();
    window.setProgressMode(indeterminate);

    QProgressBar *progressBar = bar(window);
    QCOMPARE(progressBar->maximum(), maximum);
    if (!indeterminate)
        QCOMPARE(progressBar->value(), value);
    QCOMPARE(progressBar->text(), text);
    QCOMPARE(stepLabel(window)->text(), step);
}

void TestUpdaterWindow::finished_data()
{
    QTest::addColumn<bool>("success");
    QTest::addColumn<bool>("shownBefore");
    QTest::addColumn<QString>("message");
    QTest::addColumn<QString>("boxText"); // empty: no box expected
    QTest::addColumn<int>("exitCode");

    const QString fallback = QStringLiteral("Nao foi possivel concluir o processo de atualizacao.");
    QTest::newRow("success, hidden") << true << false << QString() << QString() << 0;
    QTest::newRow("success, shown") << true << true << QString() << QString() << 0;
    QTest::newRow("failure, hidden") << false << false << QStringLiteral("Falha no download.")
                                     << QStringLiteral("Falha no download.") << 1;
    QTest::newRow("failure, shown") << false << true << QStringLiteral("Hash divergente.")
                                    << QStringLiteral("Hash divergente.") << 1;
    QTest::newRow("blank message") << false << false << QStringLiteral("   ") << fallback << 1;
    QTest::newRow("empty message") << false << true << QString() << fallback << 1;
    QTest::newRow("spaces kept") << false << false << QStringLiteral("  erro  ")
                                 << QStringLiteral("  erro  ") << 1;
}

void TestUpdaterWindow::finished()
{
    QFETCH(bool, success);
    QFETCH(bool, shownBefore);
    QFETCH(QString, message);
    QFETCH(QString, boxText);
    QFETCH(int, exitCode);

    UpdaterWindow window;
    if (shownBefore)
        window.presentWindow();
    const FinishOutcome outcome = runFinished(window, success, message);

    QCOMPARE(outcome.exitCode, exitCode);
    QCOMPARE(outcome.boxSeen, !boxText.isEmpty());
    if (success) {
        QVERIFY(!window.isVisible());
        return;
    }
    QVERIFY(window.isVisible());
    QCOMPARE(outcome.boxTitle, QStringLiteral("Atualizacao falhou"));
    QCOMPARE(outcome.boxText, boxText);
    QVERIFY(outcome.boxParentIsWindow);
    QCOMPARE(outcome.boxButtons, QMessageBox::StandardButtons(QMessageBox::Ok));
}

void TestUpdaterWindow::dragging_data()
{
    QTest::addColumn<QString>("target"); // object name of the widget the events reach
    QTest::addColumn<int>("button");
    QTest::addColumn<QPointF>("press");
    QTest::addColumn<QPointF>("moveTo");
    QTest::addColumn<bool>("releaseFirst");
    QTest::addColumn<QPoint>("travel");

    const int left = Qt::LeftButton;
    const int right = Qt::RightButton;
    QTest::newRow("left drag") << QStringLiteral("UpdaterRoot") << left << QPointF(300, 200)
                               << QPointF(340, 170) << false << QPoint(40, -30);
    QTest::newRow("drag from the title") << QStringLiteral("Title") << left << QPointF(300, 200)
                                         << QPointF(250, 260) << false << QPoint(-50, 60);
    QTest::newRow("drag from the bar")
        << QString() << left << QPointF(300, 200) << QPointF(310, 215) << false << QPoint(10, 15);
    QTest::newRow("halves away from zero")
        << QStringLiteral("UpdaterRoot") << left << QPointF(300.5, 199.5) << QPointF(340.4, 180.5)
        << false << QPoint(39, -19);
    QTest::newRow("negative halves") << QStringLiteral("UpdaterRoot") << left << QPointF(-0.5, 10.0)
                                     << QPointF(-20.5, -1.5) << false << QPoint(-20, -12);
    QTest::newRow("right button") << QStringLiteral("UpdaterRoot") << right << QPointF(300, 200)
                                  << QPointF(400, 300) << false << QPoint(0, 0);
    QTest::newRow("move after release")
        << QStringLiteral("UpdaterRoot") << left << QPointF(300, 200) << QPointF(400, 300) << true
        << QPoint(0, 0);
    QTest::newRow("far above the 32-bit range")
        << QStringLiteral("UpdaterRoot") << left << QPointF(300, 200) << QPointF(300, -1e12)
        << false << QPoint(0, std::numeric_limits<int>::min());
}

void TestUpdaterWindow::dragging()
{
    QFETCH(QString, target);
    QFETCH(int, button);
    QFETCH(QPointF, press);
    QFETCH(QPointF, moveTo);
    QFETCH(bool, releaseFirst);
    QFETCH(QPoint, travel);

    UpdaterWindow window;
    window.move(200, 150);
    const QPoint start = window.frameGeometry().topLeft();
    QWidget *receiver = target.isEmpty()                ? static_cast<QWidget *>(bar(window))
                        : target == window.objectName() ? static_cast<QWidget *>(&window)
                                                        : window.findChild<QWidget *>(target);
    QVERIFY(receiver);
    const auto mouseButton = Qt::MouseButton(button);

    sendMouse(receiver, QEvent::MouseButtonPress, mouseButton, press);
    if (releaseFirst)
        sendMouse(receiver, QEvent::MouseButtonRelease, mouseButton, press);
    sendMouse(receiver, QEvent::MouseMove, mouseButton, moveTo);
    sendMouse(receiver, QEvent::MouseButtonRelease, mouseButton, moveTo);

    const QPoint moved = window.frameGeometry().topLeft();
    if (travel.y() == std::numeric_limits<int>::min()) {
        // The cursor is clamped to the top of the 32-bit range instead of wrapping around.
        QCOMPARE(moved, QPoint(start.x(), std::numeric_limits<int>::min()));
        return;
    }
    QCOMPARE(moved - start, travel);

    // The drag ended with the release: a later move leaves the window where it is.
    sendMouse(receiver, QEvent::MouseMove, Qt::LeftButton, moveTo + QPointF(77, 77));
    QCOMPARE(window.frameGeometry().topLeft(), moved);
}

QTEST_MAIN(TestUpdaterWindow)
#include "tst_updaterwindow.moc"

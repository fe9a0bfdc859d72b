// The window as the controller's signals drive it: the status lines, the bar (scaled beyond
// 32 bits), the speed and time left on a clock of the test's own, the failure dialog and
// dragging by the card. What is drawn is checked on a real screen (e2e/updates.sh).
#include "ui/updaterwindow.h"

#include <QApplication>
#include <QLabel>
#include <QMessageBox>
#include <QMouseEvent>
#include <QProgressBar>
#include <QPushButton>
#include <QTest>
#include <QTimer>

namespace {

qint64 now = 0;

struct Window : UpdaterWindow
{
    Window() : UpdaterWindow([] { return now; }) {}
    using UpdaterWindow::mouseMoveEvent;
    using UpdaterWindow::mousePressEvent;
    using UpdaterWindow::mouseReleaseEvent;
    QString label(const char *name, int index = 0) const
    {
        return findChildren<QLabel *>(QString::fromLatin1(name)).at(index)->text();
    }
    QString bar() const { return findChild<QProgressBar *>()->text(); }
};

} // namespace

class TestWindow : public QObject
{
    Q_OBJECT

private slots:
    void display_data();
    void display();
    void failureDialog();
    void drags();
};

void TestWindow::display_data()
{
    // Signals: "s DETAIL", "m 0|1" (busy?), "p VALUE MAXIMUM", ';' apart; "f RATE SECONDS":
    // ten reports a second, the clock running, from the last one on; "t": the refresh of the
    // figures comes, if it runs. Bar: its text.
    QTest::addColumn<QString>("script");
    QTest::addColumn<QString>("bar");
    QTest::addColumn<QString>("step");
    const auto row = [](const char *name, const char *signal, const char *bar, const char *step) {
        QTest::newRow(name) << QString::fromUtf8(signal) << QString::fromUtf8(bar)
                            << QString::fromUtf8(step);
    };
    row("as built", "", "", "Preparando...");
    row("first line of two", "s Versao 2.0\r\nCorrecoes", "", "Versao 2.0\r");
    row("leading line feed", "s \nCorrecoes", "", "");
    row("half", "m 0;p 50 100", "50%", "50 B / 100 B");
    row("over the maximum", "p 150 100", "100%", "150 B / 100 B");
    row("negative value", "p -5 100", "0%", "desconhecido / 100 B");
    row("5 GiB of 10 GiB", "p 5368709120 10737418240", "50%", "5.00 GB / 10.0 GB");
    row("largest total", "p 4611686018427387904 9223372036854775807", "50%",
        "4294967296.0 GB / 8589934592.0 GB");
    row("open total keeps the step line", "p 1 2;p 5 0", "", "1 B / 2 B");
    row("busy to determinate", "m 0", "0%", "Preparando...");
    row("determinate kept", "p 1000 5000;m 0", "20%", "1000 B / 4.88 KB");
    row("determinate to busy", "p 1000 5000;m 1", "", "1000 B / 4.88 KB");
    row("a status ends the refresh of the figures", "p 1 2;s Aplicando;t", "50%", "Aplicando");
    row("markup as its characters", "s <b>2.0</b> <img src=x>", "", "<b>2.0</b> <img src=x>");
    row("no speed before three seconds", "p 0 100000000;f 1000000 2", "2%", "1.91 MB / 95.4 MB");
    row("speed and time left", "p 0 100000000;f 1000000 3", "3%",
        "2.86 MB / 95.4 MB - 976.6 KB/s, faltam 1 min 37 s");
    row("files in place are no speed", "p 0 100000000;f 0 4;p 60000000 100000000;f 1000000 3",
        "63%", "60.1 MB / 95.4 MB - 976.6 KB/s, faltam 37 s");
    row("a new maximum is no jump back", "p 0 40000000;f 1000000 2;p 0 30000000;f 1000000 2", "6%",
        "1.91 MB / 28.6 MB - 976.6 KB/s, faltam 28 s");
    row("changed once a second", "p 0 100000000;f 1000000 3;f 4000000 0.5", "5%",
        "4.77 MB / 95.4 MB - 976.6 KB/s, faltam 1 min 37 s");
    row("stalled", "p 0 100000000;f 1000000 3;f 0 4", "3%", "2.86 MB / 95.4 MB");
    row("hours", "p 0 20000000000;f 1000000 3", "0%",
        "2.86 MB / 18.6 GB - 976.6 KB/s, faltam 5 h 34 min");
}

void TestWindow::display()
{
    QFETCH(QString, script);
    Window window;
    QCOMPARE(window.label("Title"), QStringLiteral("Verificando atualizacoes"));
    QVERIFY(window.windowFlags().testFlag(Qt::FramelessWindowHint));
    // A long detail wraps.
    QVERIFY(window.findChild<QLabel *>(QStringLiteral("Detail"))->wordWrap());
    QString detail = QStringLiteral("Conectando ao servidor de updates...");
    qint64 value = 0, maximum = 0;
    auto *refresh = window.findChild<QTimer *>(QStringLiteral("TransferTimer"));
    for (const QString &signal : script.split(QLatin1Char(';'), Qt::SkipEmptyParts)) {
        const QStringList words = signal.mid(2).split(QLatin1Char(' '));
        if (signal.startsWith(QLatin1Char('s')))
            window.setStatus(QStringLiteral("Atualizacao encontrada"), detail = signal.mid(2));
        else if (signal.startsWith(QLatin1Char('m')))
            window.setProgressMode(words.at(0) == QLatin1String("1"));
        else if (signal.startsWith(QLatin1Char('p')))
            window.setProgress(value = words.at(0).toLongLong(),
                               maximum = words.at(1).toLongLong());
        else if (signal == QLatin1String("t") && refresh->isActive())
            QMetaObject::invokeMethod(refresh, "timeout");
        for (int i = 0; signal.startsWith(QLatin1Char('f')) && i < words.at(1).toDouble() * 10; ++i)
            now += 100, window.setProgress(value += words.at(0).toLongLong() / 10, maximum);
    }
    QCOMPARE(window.label("Detail"), detail);
    for (const QLabel *label : window.findChildren<QLabel *>())
        QCOMPARE(label->textFormat(), Qt::PlainText);
    QTEST(window.bar(), "bar");
    QTEST(window.label("Detail", 1), "step");
}

// Markup from a server and the spaces around the message are shown as they are.
void TestWindow::failureDialog()
{
    const QString message = QStringLiteral(" <b>Hash</b> invalido ");
    Window window;
    QStringList seen;
    QTimer::singleShot(0, &window, [&] {
        QTimer::singleShot(0, &window, [&] {
            auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
            seen << box->windowTitle() << box->text() << QString::number(box->buttons().size())
                 << QString::number(box->textFormat())
                 << QString::number(box->isModal() && !box->defaultButton());
            box->button(QMessageBox::Ok)->click();
        });
        window.handleFinished(false, false, message);
    });
    QCOMPARE(QCoreApplication::exec(), 1);
    QCOMPARE(seen, QStringList({QStringLiteral("Atualizacao falhou"), message, QStringLiteral("1"),
                                QString::number(Qt::PlainText), QStringLiteral("1")}));
}

void TestWindow::drags()
{
    Window window;
    window.move(100, 80);
    window.presentWindow();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    const auto mouse = [&](QEvent::Type type, QPointF global, Qt::MouseButton button) {
        QMouseEvent event(type, QPointF(10, 10), global, button, button, Qt::NoModifier);
        if (type == QEvent::MouseButtonPress)
            window.mousePressEvent(&event);
        else if (type == QEvent::MouseMove)
            window.mouseMoveEvent(&event);
        else
            window.mouseReleaseEvent(&event);
    };
    mouse(QEvent::MouseButtonPress, {150, 90}, Qt::RightButton);
    mouse(QEvent::MouseMove, {300, 300}, Qt::NoButton);
    QCOMPARE(window.pos(), QPoint(100, 80));
    // Positions beyond 32 bits are clamped, so the travel between two of them is nil.
    mouse(QEvent::MouseButtonPress, {3e9, 90}, Qt::LeftButton);
    mouse(QEvent::MouseMove, {4e12, 90}, Qt::NoButton);
    QCOMPARE(window.pos(), QPoint(100, 80));
    // Whole pixels, halves away from zero.
    mouse(QEvent::MouseButtonPress, {150.5, 90.4}, Qt::LeftButton);
    mouse(QEvent::MouseMove, {-20.5, 90.6}, Qt::NoButton);
    QCOMPARE(window.pos(), QPoint(-72, 81));
    mouse(QEvent::MouseButtonRelease, {4e12, 90}, Qt::LeftButton);
    mouse(QEvent::MouseMove, {5, 5}, Qt::NoButton);
    QCOMPARE(window.pos(), QPoint(-72, 81));
}

QTEST_MAIN(TestWindow)
#include "tst_window.moc"

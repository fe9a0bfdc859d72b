#include "download/bytesize.h"
#include "ui/updaterwindow.h"

#include <QApplication>
#include <QLabel>
#include <QMessageBox>
#include <QMouseEvent>
#include <QProgressBar>
#include <QPushButton>
#include <QTest>
#include <QTimer>

class UpdaterWindowTest : public QObject
{
    Q_OBJECT

private slots:
    void showsStatus_data();
    void showsStatus();
    void showsProgress_data();
    void showsProgress();
    void switchesProgressMode_data();
    void switchesProgressMode();
    void endsTheRun_data();
    void endsTheRun();
    void dragsWithTheLeftButton_data();
    void dragsWithTheLeftButton();
};

namespace {

QString labelText(const UpdaterWindow &window, const char *name, int index = 0)
{
    return window.findChildren<QLabel *>(QString::fromLatin1(name)).at(index)->text();
}

QString stepText(const UpdaterWindow &window)
{
    return labelText(window, "Detail", 1);
}

QProgressBar *bar(const UpdaterWindow &window)
{
    return window.findChild<QProgressBar *>();
}

// Opens the mouse handlers, so events can reach them without the application's own
// conversion of global positions to whole pixels.
struct DraggableWindow : UpdaterWindow
{
    using UpdaterWindow::mouseMoveEvent;
    using UpdaterWindow::mousePressEvent;
    using UpdaterWindow::mouseReleaseEvent;
};

} // namespace

void UpdaterWindowTest::showsStatus_data()
{
    QTest::addColumn<QString>("detail");
    QTest::addColumn<QString>("step");
    QTest::newRow("one line") << QStringLiteral("Consultando http://x")
                              << QStringLiteral("Consultando http://x");
    QTest::newRow("first of two lines")
        << QStringLiteral("Versao 2.0\r\nCorrecoes") << QStringLiteral("Versao 2.0\r");
    QTest::newRow("leading line feed") << QStringLiteral("\nCorrecoes") << QString();
}

void UpdaterWindowTest::showsStatus()
{
    QFETCH(QString, detail);
    UpdaterWindow window;
    window.setStatus(QStringLiteral("Atualizacao encontrada"), detail);
    QCOMPARE(labelText(window, "Title"), QStringLiteral("Atualizacao encontrada"));
    QCOMPARE(labelText(window, "Detail"), detail);
    QTEST(stepText(window), "step");
}

void UpdaterWindowTest::showsProgress_data()
{
    QTest::addColumn<qlonglong>("value");
    QTest::addColumn<qlonglong>("maximum");
    QTest::addColumn<QString>("percent"); // empty: busy bar, step line untouched

    const qlonglong gib = 1024LL * 1024 * 1024;
    QTest::newRow("half") << 50LL << 100LL << QStringLiteral("50%");
    QTest::newRow("over the maximum") << 150LL << 100LL << QStringLiteral("100%");
    QTest::newRow("negative value") << -5LL << 100LL << QStringLiteral("0%");
    QTest::newRow("5 GiB of 10 GiB") << 5 * gib << 10 * gib << QStringLiteral("50%");
    QTest::newRow("largest total")
        << Q_INT64_C(0x4000000000000000) << Q_INT64_C(0x7fffffffffffffff) << QStringLiteral("50%");
    QTest::newRow("open total") << 5LL << 0LL << QString();
}

void UpdaterWindowTest::showsProgress()
{
    QFETCH(qlonglong, value);
    QFETCH(qlonglong, maximum);
    QFETCH(QString, percent);
    UpdaterWindow window;
    window.setProgressMode(false);
    window.setProgress(value, maximum);

    const QProgressBar *progress = bar(window);
    QCOMPARE(progress->text(), percent);
    QCOMPARE(progress->maximum() == 0, percent.isEmpty());
    QVERIFY(progress->value() >= 0 && progress->value() <= progress->maximum());
    QCOMPARE(stepText(window), percent.isEmpty() ? QStringLiteral("Preparando...")
                                                 : formatByteSize(value) + QStringLiteral(" / ") +
                                                       formatByteSize(maximum));
}

void UpdaterWindowTest::switchesProgressMode_data()
{
    QTest::addColumn<qlonglong>("shownMaximum"); // 0: still busy
    QTest::addColumn<bool>("indeterminate");
    QTest::addColumn<QString>("percent"); // empty: busy
    QTest::newRow("busy to determinate") << 0LL << false << QStringLiteral("0%");
    QTest::newRow("determinate kept") << 5000LL << false << QStringLiteral("20%");
    QTest::newRow("determinate to busy") << 5000LL << true << QString();
}

void UpdaterWindowTest::switchesProgressMode()
{
    QFETCH(qlonglong, shownMaximum);
    QFETCH(bool, indeterminate);
    QFETCH(QString, percent);
    UpdaterWindow window;
    if (shownMaximum > 0)
        window.setProgress(1000, shownMaximum);
    const QString step = stepText(window);
    window.setProgressMode(indeterminate);

    QCOMPARE(bar(window)->text(), percent);
    QCOMPARE(bar(window)->maximum() == 0, percent.isEmpty());
    QCOMPARE(stepText(window), step);
}

void UpdaterWindowTest::endsTheRun_data()
{
    QTest::addColumn<bool>("success");
    QTest::addColumn<QString>("message");
    QTest::addColumn<QString>("shownText"); // empty: no box, exit code 0

    QTest::newRow("success ignores a message") << true << QStringLiteral("x") << QString();
    QTest::newRow("failure keeps the message as given")
        << false << QStringLiteral("  Falha ao baixar a.pak.  ")
        << QStringLiteral("  Falha ao baixar a.pak.  ");
    QTest::newRow("failure with blanks") << false << QStringLiteral("   ")
                                         << QStringLiteral("Nao foi possivel concluir o processo "
                                                           "de atualizacao.");
}

void UpdaterWindowTest::endsTheRun()
{
    QFETCH(bool, success);
    QFETCH(QString, message);
    QFETCH(QString, shownText);
    UpdaterWindow window;
    QStringList boxes;
    bool visibleUnderBox = false;

    // Run the loop until the window ends it, dismissing any message box it opens.
    QTimer dismisser;
    QObject::connect(&dismisser, &QTimer::timeout, [&] {
        auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
        if (!box)
            return;
        visibleUnderBox = window.isVisible();
        boxes << QStringLiteral("%1|%2|%3|%4")
                     .arg(box->windowTitle(), box->text(), QString::number(box->standardButtons()),
                          QString::number(box->icon()));
        box->button(QMessageBox::Ok)->click();
    });
    dismisser.start(20);
    QTimer::singleShot(10000, [] { QCoreApplication::exit(-99); });
    QTimer::singleShot(0, [&] { window.handleFinished(success, true, message); });
    const int code = QApplication::exec();

    QCOMPARE(code, shownText.isEmpty() ? 0 : 1);
    if (shownText.isEmpty()) {
        QCOMPARE(boxes, QStringList());
        QVERIFY(!window.isVisible());
    } else {
        QCOMPARE(boxes, QStringList{QStringLiteral("Atualizacao falhou|%1|%2|%3")
                                        .arg(shownText, QString::number(QMessageBox::Ok),
                                             QString::number(QMessageBox::Critical))});
        QVERIFY(visibleUnderBox);
    }
}

void UpdaterWindowTest::dragsWithTheLeftButton_data()
{
    QTest::addColumn<int>("button");
    QTest::addColumn<QPointF>("press");
    QTest::addColumn<QPointF>("moveTo");
    QTest::addColumn<QPoint>("expectedTopLeft");
    QTest::addColumn<bool>("direct"); // call the handlers instead of sending the events

    QTest::newRow("left drag follows the cursor")
        << int(Qt::LeftButton) << QPointF(150, 90) << QPointF(175, 60) << QPoint(125, 50) << false;
    QTest::newRow("halves round away from zero") << int(Qt::LeftButton) << QPointF(150.5, 90.4)
                                                 << QPointF(-20.5, 90.6) << QPoint(-72, 81) << true;
    // Beyond 32 bits the position is clamped, so the travel between two such points is nil.
    QTest::newRow("far off screen is clamped")
        << int(Qt::LeftButton) << QPointF(3e9, 90) << QPointF(4e12, 90) << QPoint(100, 80) << true;
    QTest::newRow("right drag does nothing") << int(Qt::RightButton) << QPointF(150, 90)
                                             << QPointF(300, 300) << QPoint(100, 80) << false;
}

void UpdaterWindowTest::dragsWithTheLeftButton()
{
    QFETCH(int, button);
    QFETCH(QPointF, press);
    QFETCH(QPointF, moveTo);
    QFETCH(bool, direct);
    DraggableWindow window;
    window.move(100, 80);
    window.presentWindow();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    QCOMPARE(window.frameGeometry().topLeft(), QPoint(100, 80));

    const auto mouse = [&](QEvent::Type type, QPointF global, Qt::MouseButton which,
                           Qt::MouseButtons held) {
        QMouseEvent event(type, QPointF(10, 10), global, which, held, Qt::NoModifier);
        if (!direct)
            QCoreApplication::sendEvent(&window, &event);
        else if (type == QEvent::MouseButtonPress)
            window.mousePressEvent(&event);
        else if (type == QEvent::MouseMove)
            window.mouseMoveEvent(&event);
        else
            window.mouseReleaseEvent(&event);
    };
    const auto pressed = Qt::MouseButton(button);
    mouse(QEvent::MouseButtonPress, press, pressed, pressed);
    mouse(QEvent::MouseMove, moveTo, Qt::NoButton, pressed);
    QTEST(window.pos(), "expectedTopLeft");
    mouse(QEvent::MouseButtonRelease, moveTo, pressed, Qt::NoButton);

    // After the release, moving the cursor leaves the window where it is.
    const QPoint settled = window.pos();
    mouse(QEvent::MouseMove, QPointF(5, 5), Qt::NoButton, Qt::NoButton);
    QCOMPARE(window.pos(), settled);
}

QTEST_MAIN(UpdaterWindowTest)
#include "tst_updaterwindow.moc"

#include "download/bytesize.h"
#include "ui/updaterwindow.h"

#include <QApplication>
#include <QGraphicsDropShadowEffect>
#include <QLabel>
#include <QLayout>
#include <QMessageBox>
#include <QMouseEvent>
#include <QProgressBar>
#include <QPushButton>
#include <QTest>
#include <QTimer>

#include <functional>

class UpdaterWindowTest : public QObject
{
    Q_OBJECT

private slots:
    void isBuiltAsAFramelessStyledCard();
    void labelsTakeTheirStyle_data();
    void labelsTakeTheirStyle();
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

QLabel *label(const UpdaterWindow &window, const char *name, int index = 0)
{
    const QList<QLabel *> found = window.findChildren<QLabel *>(QString::fromLatin1(name));
    return index < found.size() ? found.at(index) : nullptr;
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

struct BarState
{
    int maximum;
    int value;
    QString text;
};

BarState barState(const UpdaterWindow &window)
{
    const QProgressBar *progress = bar(window);
    return {progress->maximum(), progress->value(), progress->text()};
}

// Runs the application loop until the window ends it, dismissing any message box it opens.
// Returns the loop's exit code, or -99 when nothing ended the loop in time.
int runUntilExit(const std::function<void()> &trigger, QStringList *boxes)
{
    QTimer dismisser;
    QObject::connect(&dismisser, &QTimer::timeout, [boxes] {
        auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
        if (!box)
            return;
        *boxes << box->windowTitle() + QLatin1Char('|') + box->text() + QLatin1Char('|') +
                      QString::number(box->standardButtons()) + QLatin1Char('|') +
                      QString::number(box->icon());
        box->button(QMessageBox::Ok)->click();
    });
    dismisser.start(20);
    QTimer::singleShot(10000, [] { QCoreApplication::exit(-99); });
    QTimer::singleShot(0, trigger);
    return QApplication::exec();
}

} // namespace

void UpdaterWindowTest::isBuiltAsAFramelessStyledCard()
{
    UpdaterWindow window;
    QCOMPARE(window.objectName(), QStringLiteral("UpdaterRoot"));
    QCOMPARE(window.windowTitle(), QStringLiteral("Quorvex Updater"));
    QCOMPARE(int(window.windowFlags()), 0x801);
    QVERIFY(window.testAttribute(Qt::WA_TranslucentBackground));
    QVERIFY(!window.isVisible());
    QCOMPARE(window.size(), QSize(560, 242));
    QCOMPARE(window.minimumSize(), QSize(560, 242));
    QCOMPARE(window.maximumSize(), QSize(QWIDGETSIZE_MAX, QWIDGETSIZE_MAX));
    QCOMPARE(window.styleSheet().count(QLatin1Char('{')), 9);
    QCOMPARE(window.layout()->contentsMargins(), QMargins(18, 18, 18, 18));

    const QList<QSize> iconSizes = window.windowIcon().availableSizes();
    for (int side : {16, 24, 32, 48, 64, 256})
        QVERIFY2(iconSizes.contains(QSize(side, side)), qPrintable(QString::number(side)));

    auto *card = window.findChild<QWidget *>(QStringLiteral("Card"));
    QVERIFY(card);
    QCOMPARE(card->layout()->contentsMargins(), QMargins(24, 20, 24, 22));
    QCOMPARE(card->layout()->spacing(), 14);
    auto *shadow = qobject_cast<QGraphicsDropShadowEffect *>(card->graphicsEffect());
    QVERIFY(shadow);
    QCOMPARE(shadow->blurRadius(), 32.0);
    QCOMPARE(shadow->offset(), QPointF(0.0, 10.0));
    QCOMPARE(shadow->color(), QColor(0, 0, 0, 190));

    QCOMPARE(label(window, "Badge")->text(), QStringLiteral("UPDATE"));
    QCOMPARE(label(window, "Title")->text(), QStringLiteral("Verificando atualizacoes"));
    QCOMPARE(label(window, "Detail", 0)->text(),
             QStringLiteral("Conectando ao servidor de updates..."));
    QVERIFY(label(window, "Detail", 0)->wordWrap());
    QCOMPARE(label(window, "Detail", 1)->text(), QStringLiteral("Preparando..."));
    QCOMPARE(label(window, "WindowHint")->text(),
             QStringLiteral("Mantenha esta janela aberta enquanto os arquivos sao atualizados."));
    QCOMPARE(bar(window)->maximum(), 0);
    QVERIFY(bar(window)->isTextVisible());
    QCOMPARE(bar(window)->text(), QString());

    window.resize(100, 50);
    QCOMPARE(window.size(), QSize(560, 242));
}

void UpdaterWindowTest::labelsTakeTheirStyle_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<int>("index");
    QTest::addColumn<int>("pixelSize");
    QTest::addColumn<QColor>("color");
    QTest::newRow("title") << QStringLiteral("Title") << 0 << 22 << QColor(0xf8, 0xfb, 0xff);
    QTest::newRow("detail") << QStringLiteral("Detail") << 0 << 13 << QColor(0xc6, 0xd7, 0xe8);
    QTest::newRow("step") << QStringLiteral("Detail") << 1 << 13 << QColor(0xc6, 0xd7, 0xe8);
    QTest::newRow("hint") << QStringLiteral("WindowHint") << 0 << 11 << QColor(237, 243, 255, 110);
}

void UpdaterWindowTest::labelsTakeTheirStyle()
{
    QFETCH(QString, name);
    QFETCH(int, index);
    UpdaterWindow window;
    window.ensurePolished();
    QLabel *target = label(window, qPrintable(name), index);
    QVERIFY(target);
    target->ensurePolished();
    QTEST(target->font().pixelSize(), "pixelSize");
    QTEST(target->palette().color(QPalette::WindowText), "color");
}

void UpdaterWindowTest::showsStatus_data()
{
    QTest::addColumn<QString>("detail");
    QTest::addColumn<QString>("step");
    QTest::newRow("one line") << QStringLiteral("Consultando http://x")
                              << QStringLiteral("Consultando http://x");
    QTest::newRow("two lines") << QStringLiteral("Versao 2.0\nCorrecoes")
                               << QStringLiteral("Versao 2.0");
    QTest::newRow("leading line feed") << QStringLiteral("\nCorrecoes") << QString();
    QTest::newRow("empty") << QString() << QString();
    QTest::newRow("carriage return kept") << QStringLiteral("a\r\nb") << QStringLiteral("a\r");
}

void UpdaterWindowTest::showsStatus()
{
    QFETCH(QString, detail);
    UpdaterWindow window;
    window.setStatus(QStringLiteral("Atualizacao encontrada"), detail);
    QCOMPARE(label(window, "Title")->text(), QStringLiteral("Atualizacao encontrada"));
    QCOMPARE(label(window, "Detail", 0)->text(), detail);
    QTEST(label(window, "Detail", 1)->text(), "step");
}

void UpdaterWindowTest::showsProgress_data()
{
    QTest::addColumn<qlonglong>("value");
    QTest::addColumn<qlonglong>("maximum");
    QTest::addColumn<QString>("percent");
    QTest::addColumn<bool>("busy");
    QTest::addColumn<bool>("stepChanged");

    const qlonglong gib = 1024LL * 1024 * 1024;
    QTest::newRow("half") << 50LL << 100LL << QStringLiteral("50%") << false << true;
    QTest::newRow("over the maximum") << 150LL << 100LL << QStringLiteral("100%") << false << true;
    QTest::newRow("negative value") << -5LL << 100LL << QStringLiteral("0%") << false << true;
    QTest::newRow("5 GiB of 10 GiB")
        << 5 * gib << 10 * gib << QStringLiteral("50%") << false << true;
    QTest::newRow("all of 10 GiB")
        << 10 * gib << 10 * gib << QStringLiteral("100%") << false << true;
    QTest::newRow("largest total") << Q_INT64_C(0x4000000000000000) << Q_INT64_C(0x7fffffffffffffff)
                                   << QStringLiteral("50%") << false << true;
    QTest::newRow("open total") << 5LL << 0LL << QString() << true << false;
    QTest::newRow("negative total") << 5LL << -1LL << QString() << true << false;
}

void UpdaterWindowTest::showsProgress()
{
    QFETCH(qlonglong, value);
    QFETCH(qlonglong, maximum);
    QFETCH(bool, busy);
    QFETCH(bool, stepChanged);
    UpdaterWindow window;
    window.setProgressMode(false);
    window.setProgress(value, maximum);

    const BarState state = barState(window);
    QTEST(state.text, "percent");
    QCOMPARE(state.maximum == 0, busy);
    QVERIFY(state.value >= 0 && state.value <= state.maximum);
    const QString step = label(window, "Detail", 1)->text();
    if (stepChanged)
        QCOMPARE(step, formatByteSize(value) + QStringLiteral(" / ") + formatByteSize(maximum));
    else
        QCOMPARE(step, QStringLiteral("Preparando..."));
}

void UpdaterWindowTest::switchesProgressMode_data()
{
    QTest::addColumn<qlonglong>("shownMaximum"); // 0: still busy
    QTest::addColumn<bool>("indeterminate");
    QTest::addColumn<int>("maximum");
    QTest::addColumn<int>("value");
    QTest::addColumn<QString>("percent");
    QTest::newRow("busy to determinate") << 0LL << false << 100 << 0 << QStringLiteral("0%");
    QTest::newRow("determinate kept") << 5000LL << false << 5000 << 1000 << QStringLiteral("20%");
    QTest::newRow("determinate to busy") << 5000LL << true << 0 << 0 << QString();
    QTest::newRow("busy stays busy") << 0LL << true << 0 << 0 << QString();
}

void UpdaterWindowTest::switchesProgressMode()
{
    QFETCH(qlonglong, shownMaximum);
    QFETCH(bool, indeterminate);
    UpdaterWindow window;
    if (shownMaximum > 0)
        window.setProgress(1000, shownMaximum);
    const QString step = label(window, "Detail", 1)->text();
    window.setProgressMode(indeterminate);

    const BarState state = barState(window);
    QTEST(state.maximum, "maximum");
    if (state.maximum > 0)
        QTEST(state.value, "value");
    QTEST(state.text, "percent");
    QCOMPARE(label(window, "Detail", 1)->text(), step);
}

void UpdaterWindowTest::endsTheRun_data()
{
    QTest::addColumn<bool>("success");
    QTest::addColumn<QString>("message");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("shownText"); // empty: no box

    const QString fallback = QStringLiteral("Nao foi possivel concluir o processo de atualizacao.");
    QTest::newRow("success") << true << QString() << 0 << QString();
    QTest::newRow("success ignores a message") << true << QStringLiteral("x") << 0 << QString();
    QTest::newRow("failure with a message") << false << QStringLiteral("Falha ao baixar a.pak.")
                                            << 1 << QStringLiteral("Falha ao baixar a.pak.");
    QTest::newRow("failure keeps surrounding spaces")
        << false << QStringLiteral("  erro  ") << 1 << QStringLiteral("  erro  ");
    QTest::newRow("failure with blanks") << false << QStringLiteral("   ") << 1 << fallback;
    QTest::newRow("failure without text") << false << QString() << 1 << fallback;
}

void UpdaterWindowTest::endsTheRun()
{
    QFETCH(bool, success);
    QFETCH(QString, message);
    QFETCH(QString, shownText);
    UpdaterWindow window;
    QStringList boxes;
    bool visibleUnderBox = false;
    const int code = runUntilExit(
        [&] {
            QTimer::singleShot(0, &window, [&] { visibleUnderBox = window.isVisible(); });
            window.handleFinished(success, true, message);
        },
        &boxes);

    QTEST(code, "exitCode");
    if (shownText.isEmpty()) {
        QCOMPARE(boxes, QStringList());
        QVERIFY(!window.isVisible());
    } else {
        QCOMPARE(boxes, QStringList{QStringLiteral("Atualizacao falhou|") + shownText +
                                    QLatin1Char('|') + QString::number(QMessageBox::Ok) +
                                    QLatin1Char('|') + QString::number(QMessageBox::Critical)});
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

    const QPoint start(100, 80);
    QTest::newRow("left drag follows the cursor")
        << int(Qt::LeftButton) << QPointF(150, 90) << QPointF(175, 60) << QPoint(125, 50) << false;
    QTest::newRow("halves round away from zero") << int(Qt::LeftButton) << QPointF(150.5, 90.4)
                                                 << QPointF(-20.5, 90.6) << QPoint(-72, 81) << true;
    // Beyond 32 bits the position is clamped, so the travel between two such points is nil.
    QTest::newRow("far off screen is clamped")
        << int(Qt::LeftButton) << QPointF(3e9, 90) << QPointF(4e12, 90) << start << true;
    QTest::newRow("right drag does nothing")
        << int(Qt::RightButton) << QPointF(150, 90) << QPointF(300, 300) << start << false;
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

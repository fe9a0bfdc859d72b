// Version order (numbers first, then text, then build) and byte-size text: rules whose whole
// input space is the point.
#include "download/bytesize.h"
#include "files/appversion.h"
#include "update/versioncompare.h"

#include <QTest>

class TestVersions : public QObject
{
    Q_OBJECT

private slots:
    void order_data();
    void order();
    void byteSize();
};

void TestVersions::order_data()
{
    QTest::addColumn<QString>("a");
    QTest::addColumn<int>("buildA");
    QTest::addColumn<QString>("b");
    QTest::addColumn<int>("buildB");
    QTest::addColumn<int>("byText");
    QTest::addColumn<int>("overall");
    const auto row = [](const char *name, const char *a, const char *b, int byText, int buildA = 0,
                        int buildB = 0, int overall = 2) {
        QTest::newRow(name) << QString::fromUtf8(a) << buildA << QString::fromUtf8(b) << buildB
                            << byText << (overall == 2 ? byText : overall);
    };
    row("numbers, not text", "1.2", "1.10", -1);
    row("any separator, none doubled, a minus no sign", " -1-2+3..rc4 ", "1.2.3.4", -1);
    row("long zero run is no overflow", "007.0000000000000000000001", "7.0.5", 1);
    row("a run just above the limit counts as 0", "2147483648.3", "1.0", -1);
    row("digits of another script are a run the conversion rejects", "\u0661.\u0661\u0660", "0.1",
        -1);
    row("missing zero, then longer text", "1.2.0", "1.2", 1);
    row("letter above dot", "1.2beta3", "1.2.3", 1);
    row("letter above digit", "r1.2", "1.2", 1);
    row("oversized run, then text", "1.99999999999", "1.0", 1);
    row("case folding, not lower case", "1-\u017F", "1-S", 0);
    row("older remote build never downgrades", " 1.4 ", "1.4\n", 0, 5, 4, 1);
    row("text decides before build", "1.0", "1.0.0", -1, 9, 1);
    row("build extremes do not overflow", "1", "1", 0, -2147483647 - 1, 2147483647, -1);
}

void TestVersions::order()
{
    QFETCH(QString, a);
    QFETCH(int, buildA);
    QFETCH(QString, b);
    QFETCH(int, buildB);
    QFETCH(int, byText);
    QFETCH(int, overall);
    const auto sign = [](int value) {
        return (value > 0) - (value < 0);
    };
    QCOMPARE(sign(compareVersionStrings(a, b)), byText);
    QCOMPARE(sign(compareVersionStrings(b, a)), -byText);
    QCOMPARE(sign(compareVersions(AppVersion{a, buildA}, AppVersion{b, buildB})), overall);
    QCOMPARE(sign(compareVersions(AppVersion{b, buildB}, AppVersion{a, buildA})), -overall);
}

void TestVersions::byteSize()
{
    const QList<qint64> bytes = {
        -1,      0,       1023,      1024,       1536,          10239,        10240,
        1048575, 1048576, 123456789, 5368709120, 1099511627776, 5497558138880};
    const QStringList texts = QStringLiteral("desconhecido|0 B|1023 B|1.00 KB|1.50 KB|10.00 KB|"
                                             "10.0 KB|1024.0 KB|1.00 MB|117.7 MB|5.00 GB|1024.0 GB|"
                                             "5120.0 GB")
                                  .split(QLatin1Char('|'));
    for (int i = 0; i < bytes.size(); ++i)
        QCOMPARE(formatByteSize(bytes.at(i)), texts.at(i));
}

QTEST_GUILESS_MAIN(TestVersions)
#include "tst_versions.moc"

#include "files/appversion.h"
#include "update/versioncompare.h"

#include <QTest>

class TestVersions : public QObject
{
    Q_OBJECT

private slots:
    void parseVersionNumbers_data();
    void parseVersionNumbers();
    void compare_data();
    void compare();
};

void TestVersions::parseVersionNumbers_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QList<int>>("numbers");

    QTest::newRow("any separator, none doubled, minus no sign")
        << QStringLiteral(" -1-2+3..rc4 ") << QList<int>{1, 2, 3, 4};
    QTest::newRow("long zero run is no overflow")
        << QStringLiteral("007.0000000000000000000001") << QList<int>{7, 1};
    QTest::newRow("just above the limit counts as 0")
        << QStringLiteral("2147483648.3") << QList<int>{0, 3};
    // Other scripts' decimal digits keep their value; a superscript is no decimal digit.
    QTest::newRow("Arabic-Indic digits, superscript")
        << QStringLiteral("\u0661.\u0661\u0660\u00B2") << QList<int>{1, 10};
}

void TestVersions::parseVersionNumbers()
{
    QFETCH(QString, text);
    QTEST(::parseVersionNumbers(text), "numbers");
}

void TestVersions::compare_data()
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
    row("missing zero, then longer text", "1.2.0", "1.2", 1);
    row("letter above dot", "1.2beta3", "1.2.3", 1);
    row("letter above digit", "r1.2", "1.2", 1);
    row("oversized run, then text", "1.99999999999", "1.0", 1);
    row("limit against oversized", "2147483647", "2147483648", 1);
    row("case folding, not lower case", "1-\u017F", "1-S", 0);
    row("older remote build never downgrades", " 1.4 ", "1.4\n", 0, 5, 4, 1);
    row("text decides before build", "1.0", "1.0.0", -1, 9, 1);
    row("case-only difference goes to build", "1.4-RC", "1.4-rc", 0, 2, 3, -1);
    row("build extremes do not overflow", "1", "1", 0, -2147483647 - 1, 2147483647, -1);
}

void TestVersions::compare()
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
    QCOMPARE(sign(::compareVersionStrings(a, b)), byText);
    QCOMPARE(sign(::compareVersionStrings(b, a)), -byText);
    QCOMPARE(sign(::compareVersions(AppVersion{a, buildA}, AppVersion{b, buildB})), overall);
    QCOMPARE(sign(::compareVersions(AppVersion{b, buildB}, AppVersion{a, buildA})), -overall);
}

QTEST_GUILESS_MAIN(TestVersions)
#include "tst_versions.moc"

#include "files/appversion.h"
#include "update/versioncompare.h"

#include <QTest>

namespace {

int sign(int value)
{
    return (value > 0) - (value < 0);
}

} // namespace

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

    QTest::newRow("empty") << QString() << QList<int>();
    QTest::newRow("any separator, none doubled")
        << QStringLiteral(" v1-2+3..rc4 ") << QList<int>{1, 2, 3, 4};
    QTest::newRow("minus never makes it negative") << QStringLiteral("-5") << QList<int>{5};
    QTest::newRow("long zero run is no overflow")
        << QStringLiteral("007.0000000000000000000001") << QList<int>{7, 1};
    QTest::newRow("just above the limit counts as 0")
        << QStringLiteral("2147483648.3") << QList<int>{0, 3};
    // Other scripts' decimal digits keep their value instead of reading as 0.
    QTest::newRow("Arabic-Indic digits")
        << QStringLiteral("\u0661.\u0661\u0660") << QList<int>{1, 10};
    QTest::newRow("superscript is no decimal digit") << QStringLiteral("1\u00B2") << QList<int>{1};
}

void TestVersions::parseVersionNumbers()
{
    QFETCH(QString, text);
    QFETCH(QList<int>, numbers);
    QCOMPARE(::parseVersionNumbers(text), numbers);
}

void TestVersions::compare_data()
{
    QTest::addColumn<QString>("a");
    QTest::addColumn<int>("buildA");
    QTest::addColumn<QString>("b");
    QTest::addColumn<int>("buildB");
    QTest::addColumn<int>("byText");
    QTest::addColumn<int>("overall");

    const auto text = [](const char *name, const char *a, const char *b, int expected) {
        QTest::newRow(name) << QString::fromUtf8(a) << 0 << QString::fromUtf8(b) << 0 << expected
                            << expected;
    };
    text("numbers, not text", "1.2", "1.10", -1);
    text("missing zero, then longer text", "1.2.0", "1.2", 1);
    text("installed 1.0 is older than 1.0.0", "1.0", "1.0.0", -1);
    text("case ignored", "1.2-Beta", "1.2-beta", 0);
    text("suffix is longer", "1.2-beta", "1.2", 1);
    text("letter above dot", "1.2beta3", "1.2.3", 1);
    text("letter above digit", "r1.2", "1.2", 1);
    text("single numbers", "2", "10", -1);
    text("empty against zero", "", "0", -1);
    text("oversized run, then text", "1.99999999999", "1.0", 1);
    text("limit against oversized", "2147483647", "2147483648", 1);
    text("case folding, not lower case", "1-\u017F", "1-S", 0);

    QTest::newRow("older remote build never downgrades")
        << QStringLiteral("1.4") << 5 << QStringLiteral("1.4") << 4 << 0 << 1;
    QTest::newRow("newer remote build")
        << QStringLiteral(" 1.4 ") << 5 << QStringLiteral("1.4\n") << 6 << 0 << -1;
    QTest::newRow("text decides before build")
        << QStringLiteral("1.0") << 9 << QStringLiteral("1.0.0") << 1 << -1 << -1;
    QTest::newRow("case-only difference goes to build")
        << QStringLiteral("1.4-RC") << 2 << QStringLiteral("1.4-rc") << 3 << 0 << -1;
    QTest::newRow("build extremes do not overflow")
        << QStringLiteral("1") << (-2147483647 - 1) << QStringLiteral("1") << 2147483647 << 0 << -1;
}

void TestVersions::compare()
{
    QFETCH(QString, a);
    QFETCH(int, buildA);
    QFETCH(QString, b);
    QFETCH(int, buildB);
    QFETCH(int, byText);
    QFETCH(int, overall);

    QCOMPARE(sign(::compareVersionStrings(a, b)), byText);
    QCOMPARE(sign(::compareVersionStrings(b, a)), -byText);
    QCOMPARE(sign(::compareVersions(AppVersion{a, buildA}, AppVersion{b, buildB})), overall);
    QCOMPARE(sign(::compareVersions(AppVersion{b, buildB}, AppVersion{a, buildA})), -overall);
}

QTEST_GUILESS_MAIN(TestVersions)
#include "tst_versions.moc"

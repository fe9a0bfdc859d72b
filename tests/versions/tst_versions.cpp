#include "files/appversion.h"
#include "update/versioncompare.h"

#include <QTest>

namespace {

int sign(int value)
{
    return (value > 0) - (value < 0);
}

QString arabicIndic(const char *ascii)
{
    QString text;
    for (const char *p = ascii; *p; ++p)
        text.append(*p >= '0' && *p <= '9' ? QChar(0x0660 + (*p - '0')) : QChar::fromLatin1(*p));
    return text;
}

} // namespace

class TestVersions : public QObject
{
    Q_OBJECT

private slots:
    void parseVersionNumbers_data();
    void parseVersionNumbers();
    void compareVersionStrings_data();
    void compareVersionStrings();
    void compareVersions_data();
    void compareVersions();
    void hugeInput();
};

void TestVersions::parseVersionNumbers_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QList<int>>("numbers");

    QTest::newRow("empty") << QString() << QList<int>();
    QTest::newRow("dotted") << QStringLiteral(" 1.22.333 ") << QList<int>{1, 22, 333};
    QTest::newRow("mixed separators") << QStringLiteral("v1-2+3 rc4") << QList<int>{1, 2, 3, 4};
    QTest::newRow("doubled separators give no empty entry")
        << QStringLiteral("1..2--") << QList<int>{1, 2};
    QTest::newRow("minus never makes it negative") << QStringLiteral("-5") << QList<int>{5};
    QTest::newRow("leading zeros")
        << QStringLiteral("007.0000000000000000000001") << QList<int>{7, 1};
    QTest::newRow("just above the limit counts as 0")
        << QStringLiteral("2147483648.3") << QList<int>{0, 3};
    QTest::newRow("oversized run counts as 0")
        << QStringLiteral("1.99999999999") << QList<int>{1, 0};
    QTest::newRow("Arabic-Indic digits") << arabicIndic("1.10") << QList<int>{1, 10};
    QTest::newRow("fullwidth digits") << QStringLiteral("\uFF12.\uFF10") << QList<int>{2, 0};
    QTest::newRow("mixed scripts in one run") << QStringLiteral("1\u0662") << QList<int>{12};
    QTest::newRow("superscript is no decimal digit") << QStringLiteral("1\u00B2") << QList<int>{1};
}

void TestVersions::parseVersionNumbers()
{
    QFETCH(QString, text);
    QFETCH(QList<int>, numbers);
    QCOMPARE(::parseVersionNumbers(text), numbers);
}

void TestVersions::compareVersionStrings_data()
{
    QTest::addColumn<QString>("a");
    QTest::addColumn<QString>("b");
    QTest::addColumn<int>("expected");

    QTest::newRow("numbers, not text") << QStringLiteral("1.2") << QStringLiteral("1.10") << -1;
    QTest::newRow("missing zero, then longer text")
        << QStringLiteral("1.2.0") << QStringLiteral("1.2") << 1;
    QTest::newRow("shorter text is smaller")
        << QStringLiteral("1.0") << QStringLiteral("1.0.0") << -1;
    QTest::newRow("case ignored") << QStringLiteral("1.2-Beta") << QStringLiteral("1.2-beta") << 0;
    QTest::newRow("suffix is longer") << QStringLiteral("1.2-beta") << QStringLiteral("1.2") << 1;
    QTest::newRow("letter above dot") << QStringLiteral("1.2beta3") << QStringLiteral("1.2.3") << 1;
    QTest::newRow("letter above digit") << QStringLiteral("r1.2") << QStringLiteral("1.2") << 1;
    QTest::newRow("single numbers") << QStringLiteral("2") << QStringLiteral("10") << -1;
    QTest::newRow("empty against zero") << QString() << QStringLiteral("0") << -1;
    QTest::newRow("oversized run, then text")
        << QStringLiteral("1.99999999999") << QStringLiteral("1.0") << 1;
    QTest::newRow("surrounding space ignored")
        << QStringLiteral("\t1.2.3 ") << QStringLiteral("1.2.3") << 0;
    QTest::newRow("inner space still counts")
        << QStringLiteral("1 .2") << QStringLiteral("1.2") << -1;
    QTest::newRow("limit against oversized")
        << QStringLiteral("2147483647") << QStringLiteral("2147483648") << 1;
    QTest::newRow("minus is only a separator") << QStringLiteral("-1") << QStringLiteral("1") << -1;
    QTest::newRow("accented letters fold")
        << QStringLiteral("1.0-\u00C9") << QStringLiteral("1.0-\u00E9") << 0;
    QTest::newRow("folding, not lower case")
        << QStringLiteral("1-\u017F") << QStringLiteral("1-S") << 0;
    QTest::newRow("letters outside the BMP fold")
        << QStringLiteral("1-\U00010400") << QStringLiteral("1-\U00010428") << 0;
    QTest::newRow("Arabic-Indic digits are numbers")
        << arabicIndic("1.10") << QStringLiteral("1.2") << 1;
}

void TestVersions::compareVersionStrings()
{
    QFETCH(QString, a);
    QFETCH(QString, b);
    QFETCH(int, expected);
    QCOMPARE(sign(::compareVersionStrings(a, b)), expected);
    QCOMPARE(sign(::compareVersionStrings(b, a)), -expected);
    QCOMPARE(::compareVersionStrings(a, a), 0);
}

void TestVersions::compareVersions_data()
{
    QTest::addColumn<QString>("versionA");
    QTest::addColumn<int>("buildA");
    QTest::addColumn<QString>("versionB");
    QTest::addColumn<int>("buildB");
    QTest::addColumn<int>("expected");

    QTest::newRow("older remote build")
        << QStringLiteral("1.4") << 5 << QStringLiteral("1.4") << 4 << 1;
    QTest::newRow("newer remote build")
        << QStringLiteral("1.4") << 5 << QStringLiteral("1.4") << 6 << -1;
    QTest::newRow("text decides before build")
        << QStringLiteral("1.0") << 9 << QStringLiteral("1.0.0") << 1 << -1;
    QTest::newRow("numbers decide before build")
        << QStringLiteral("2.0") << 1 << QStringLiteral("1.9") << 100 << 1;
    QTest::newRow("spaces change nothing")
        << QStringLiteral(" 1.4 ") << 5 << QStringLiteral("1.4\n") << 6 << -1;
    QTest::newRow("case-only difference goes to build")
        << QStringLiteral("1.4-RC") << 2 << QStringLiteral("1.4-rc") << 3 << -1;
    QTest::newRow("build extremes")
        << QStringLiteral("1") << (-2147483647 - 1) << QStringLiteral("1") << 2147483647 << -1;
}

void TestVersions::compareVersions()
{
    QFETCH(QString, versionA);
    QFETCH(int, buildA);
    QFETCH(QString, versionB);
    QFETCH(int, buildB);
    QFETCH(int, expected);

    const AppVersion a{versionA, buildA};
    const AppVersion b{versionB, buildB};
    QCOMPARE(::compareVersions(a, b), expected);
    QCOMPARE(::compareVersions(b, a), -expected);
}

void TestVersions::hugeInput()
{
    QString dotted;
    for (int i = 0; i < 200000; ++i)
        dotted += QStringLiteral("7.");
    const QString digits(1000000, QLatin1Char('9'));
    QCOMPARE(::parseVersionNumbers(dotted).size(), 200000);
    QCOMPARE(::parseVersionNumbers(digits), QList<int>{0});
    QCOMPARE(sign(::compareVersionStrings(dotted, dotted + QLatin1Char('8'))), -1);
    QCOMPARE(sign(::compareVersionStrings(digits, QStringLiteral("0"))), 1);
}

QTEST_GUILESS_MAIN(TestVersions)
#include "tst_versions.moc"

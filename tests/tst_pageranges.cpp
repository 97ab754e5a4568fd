#include "engine/pdfdocument.h"

#include <QtTest>

using namespace Qt::StringLiterals;

class TestPageRanges : public QObject
{
    Q_OBJECT
private slots:
    void parse_data();
    void parse();
};

void TestPageRanges::parse_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("pageCount");
    QTest::addColumn<QList<int>>("pages");
    QTest::addColumn<QString>("error");

    const auto invalid = [](const QString& part, int count) {
        return u"页码无效：%1。请输入 1-%2 之间的页码，例如 1-3,5。"_s.arg(part,
                                                                           QString::number(count));
    };
    QTest::newRow("empty") << QString() << 3 << QList<int>{0, 1, 2} << QString();
    QTest::newRow("blank longer than the limit")
        << QString(5000, u' ') << 2 << QList<int>{0, 1} << QString();
    QTest::newRow("order does not matter")
        << u"5,1-3"_s << 6 << QList<int>{0, 1, 2, 4} << QString();
    QTest::newRow("overlaps merge") << u"1-3,2-4"_s << 6 << QList<int>{0, 1, 2, 3} << QString();
    QTest::newRow("spaces around hyphen and part")
        << u" 1 - 3 , 5 "_s << 6 << QList<int>{0, 1, 2, 4} << QString();
    QTest::newRow("last page") << u"6"_s << 6 << QList<int>{5} << QString();
    // As a Chinese input method types them.
    const QList<int> oneToThreeAndFive{0, 1, 2, 4};
    QTest::newRow("full-width comma") << u"1-3，5"_s << 6 << oneToThreeAndFive << QString();
    QTest::newRow("full-width dash, enumeration comma")
        << u"1－3、5"_s << 6 << oneToThreeAndFive << QString();
    QTest::newRow("full-width digits") << u"１-３,５"_s << 6 << oneToThreeAndFive << QString();
    QTest::newRow("em dash, tilde and ideographic space")
        << u"1—2\u3000,3～3，５"_s << 6 << oneToThreeAndFive << QString();
    QTest::newRow("to the end") << u"4-"_s << 6 << QList<int>{3, 4, 5} << QString();
    QTest::newRow("from the start") << u" - 2"_s << 6 << QList<int>{0, 1} << QString();
    QTest::newRow("open end beyond count") << u"8-"_s << 6 << QList<int>{} << invalid(u"8-"_s, 6);
    QTest::newRow("a dash alone") << u"1,-"_s << 6 << QList<int>{} << invalid(u"-"_s, 6);
    QTest::newRow("wrong part named as typed")
        << u"1，３－x"_s << 6 << QList<int>{} << invalid(u"３－x"_s, 6);
    QTest::newRow("reversed") << u"3-1"_s << 6 << QList<int>{} << invalid(u"3-1"_s, 6);
    QTest::newRow("zero") << u"0"_s << 6 << QList<int>{} << invalid(u"0"_s, 6);
    QTest::newRow("zero start") << u"0-2"_s << 6 << QList<int>{} << invalid(u"0-2"_s, 6);
    QTest::newRow("beyond count") << u"2,7"_s << 6 << QList<int>{} << invalid(u"7"_s, 6);
    QTest::newRow("plus") << u"+1"_s << 6 << QList<int>{} << invalid(u"+1"_s, 6);
    QTest::newRow("space inside") << u"1 3"_s << 6 << QList<int>{} << invalid(u"1 3"_s, 6);
    QTest::newRow("double hyphen") << u"1--3"_s << 6 << QList<int>{} << invalid(u"1--3"_s, 6);
    QTest::newRow("part kept as written")
        << u"1, x "_s << 6 << QList<int>{} << invalid(u" x "_s, 6);
    QTest::newRow("trailing comma") << u"1-3,"_s << 6 << QList<int>{} << invalid(QString(), 6);
    QTest::newRow("beyond 32 bits")
        << u"99999999999"_s << 6 << QList<int>{} << invalid(u"99999999999"_s, 6);
    QTest::newRow("first bad part decides") << u"9,x"_s << 6 << QList<int>{} << invalid(u"9"_s, 6);
    QTest::newRow("percent signs in part are not placeholders")
        << u"%2"_s << 6 << QList<int>{} << invalid(u"%2"_s, 6);
    QTest::newRow("page count zero")
        << u"1"_s << 0 << QList<int>{} << u"文档页数无效或超过 100000 页。"_s;
    QTest::newRow("page count above limit")
        << QString() << 100001 << QList<int>{} << u"文档页数无效或超过 100000 页。"_s;
    QTest::newRow("too long") << (u"1"_s + QString(4095, u' ') + u"2"_s) << 6 << QList<int>{}
                              << u"页码范围过长。"_s;
    QTest::newRow("exactly 4096") << (u"1"_s + QString(4095, u' ')) << 6 << QList<int>{0}
                                  << QString();
}

void TestPageRanges::parse()
{
    QFETCH(QString, text);
    QFETCH(int, pageCount);
    QFETCH(QList<int>, pages);
    QFETCH(QString, error);
    QString message = u"stale"_s;
    QCOMPARE(batch::parsePageRanges(text, pageCount, message), pages);
    QCOMPARE(message, error);
}

QTEST_GUILESS_MAIN(TestPageRanges)
#include "tst_pageranges.moc"

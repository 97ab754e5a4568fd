#include "protocol/catalogue.h"
#include "protocol/ocroptions.h"
#include "protocol/protocol.h"
#include "protocol/request.h"

#include <QJsonDocument>
#include <QTemporaryDir>
#include <QtTest>

using namespace Qt::StringLiterals;

class TestProtocol : public QObject
{
    Q_OBJECT
private slots:
    void sizesInChinese_data();
    void sizesInChinese();
    void sizesTyped_data();
    void sizesTyped();
    void catalogueOrderAndNames();
    void findOperationIsExact();
    void memberDefaults();
    void typedRequest();
    void linesAreCompactAndSorted();
    void bundledTextLayerFont();
    void ocrOptions_data();
    void ocrOptions();
    void grantedLanes_data();
    void grantedLanes();
    void rangeSyntax_data();
    void rangeSyntax();
    void outputNames_data();
    void outputNames();
};

void TestProtocol::catalogueOrderAndNames()
{
    QStringList ids;
    for (const batch::Operation& op : batch::operations())
        ids << op.id;
    QCOMPARE(ids, (QStringList{u"merge"_s, u"split"_s, u"extract"_s, u"rotate"_s, u"stamp"_s,
                               u"ocr"_s, u"optimize"_s, u"compress"_s, u"encrypt"_s, u"decrypt"_s,
                               u"images2pdf"_s, u"pdf2images"_s}));
    QCOMPARE(batch::findOperation(u"extract"_s)->icon, u"pages"_s);
    QCOMPARE(batch::findOperation(u"optimize"_s)->icon, u"compress"_s);
    QCOMPARE(batch::findOperation(u"ocr"_s)->shortName, u"可搜索"_s);
    QCOMPARE(batch::findOperation(u"decrypt"_s)->shortName, u"无密码"_s);
    QVERIFY(&batch::operations()[0] == batch::findOperation(u"merge"_s));
}

void TestProtocol::findOperationIsExact()
{
    QVERIFY(!batch::findOperation(u"Merge"_s));
    QVERIFY(!batch::findOperation(u" merge"_s));
    QVERIFY(!batch::findOperation(u"merge "_s));
    QVERIFY(!batch::findOperation(QString()));
}

void TestProtocol::memberDefaults()
{
    const QJsonObject object =
        QJsonDocument::fromJson(
            R"({"a":"x","n":200.0,"f":250.5,"s":"150","big":3000000000,"b":false,
            "list":["p",1,null,"q"]})")
            .object();
    QCOMPARE(batch::stringMember(object, u"a"_s), u"x"_s);
    QCOMPARE(batch::stringMember(object, u"n"_s, u"d"_s), u"d"_s);
    QCOMPARE(batch::intMember(object, u"n"_s, 1), 200);
    QCOMPARE(batch::intMember(object, u"f"_s, 300), 300);
    QCOMPARE(batch::intMember(object, u"s"_s, 300), 300);
    QCOMPARE(batch::intMember(object, u"big"_s, 7), 7);
    QCOMPARE(batch::intMember(object, u"missing"_s, 90), 90);
    QCOMPARE(batch::boolMember(object, u"b"_s, true), false);
    QCOMPARE(batch::boolMember(object, u"a"_s, true), true);
    QCOMPARE(batch::stringListMember(object, u"list"_s),
             (QStringList{u"p"_s, QString(), QString(), u"q"_s}));
    QVERIFY(batch::stringListMember(object, u"a"_s).isEmpty());
}

// Mistyped members take the defaults; a written request reads back the same.
void TestProtocol::typedRequest()
{
    const batch::JobRequest mistyped = batch::parseRequest(
        QJsonDocument::fromJson(R"({"operation":"Rotate","inputs":"a.pdf","group":2.5,
            "degrees":"180","ocrDpi":null,"ocrSkipText":0,"ocrLanguage":7,"password":1,
            "ocrOutput":2,"compressLevel":1,"targetSize":-3,"maxSize":"10MB",
            "blankThreshold":"0.1"})")
            .object());
    QVERIFY(!mistyped.operation);
    QVERIFY(mistyped.inputs.isEmpty());
    QCOMPARE(mistyped.group, 1);
    QCOMPARE(mistyped.degrees, 90);
    QCOMPARE(mistyped.ocr.dpi, 300);
    QCOMPARE(mistyped.ocr.skipText, true);
    QCOMPARE(mistyped.ocr.language, u"chi_sim+eng"_s);
    QCOMPARE(mistyped.password, QString());
    QCOMPARE(mistyped.ocr.output, u"pdf"_s);
    QCOMPARE(mistyped.compressLevel, u"standard"_s);
    QCOMPARE(mistyped.targetSize, -1); // refused, never taken for "no target"
    QCOMPARE(mistyped.maxSize, -1);
    QCOMPARE(mistyped.blankThreshold, batch::JobRequest().blankThreshold);

    const batch::JobRequest request{.operation = batch::findOperation(u"split"_s),
                                    .inputs = {u"/甲.pdf"_s, u"/乙.pdf"_s},
                                    .output = u"/out"_s,
                                    .password = u"所有者"_s,
                                    .passwords = {QString(), u"乙的密码"_s},
                                    .pages = u"1-3,5"_s,
                                    .group = 4,
                                    .splitMode = u"blank"_s,
                                    .level = 3,
                                    .maxSize = 10'000'000,
                                    .keepSeparators = true,
                                    .blankThreshold = 0.25,
                                    .oneFile = u"合集"_s,
                                    .fitA4 = true,
                                    .recognize = true,
                                    .numberFormat = u"第 {n} 页"_s,
                                    .batesPrefix = u"ABC-"_s,
                                    .batesStart = 12'345'678'901,
                                    .watermarkText = u"内部资料"_s,
                                    .watermarkImage = u"/印章.png"_s,
                                    .degrees = 270,
                                    .newPassword = u"新"_s,
                                    .ocr = {u"eng"_s, 150, u"/models"_s, false, u"docx"_s},
                                    .compressLevel = u"small"_s,
                                    .targetSize = 5'000'000'000,
                                    .outputName = u"{n}-{name}"_s,
                                    .sequence = 7};
    const QJsonObject json = batch::toJson(request);
    QCOMPARE(json.size(), 49);
    QCOMPARE(batch::toJson(batch::parseRequest(json)), json);
    const batch::JobRequest back = batch::parseRequest(json);
    QCOMPARE(back.operation, request.operation);
    QCOMPARE(back.inputs, request.inputs);
    // A source without a password of its own takes the shared one.
    QCOMPARE(back.passwordFor(0), u"所有者"_s);
    QCOMPARE(back.passwordFor(1), u"乙的密码"_s);
    QCOMPARE(back.ocr.models, u"/models"_s);
    QCOMPARE(back.ocr.skipText, false);
    QCOMPARE(back.ocr.output, u"docx"_s);
    QCOMPARE(back.targetSize, 5'000'000'000);
    QCOMPARE(back.outputName, u"{n}-{name}"_s);
    QCOMPARE(back.sequence, 7);
    QCOMPARE(back.keepSeparators, true);
    QCOMPARE(back.blankThreshold, 0.25);
    QCOMPARE(back.batesStart, 12'345'678'901);
}

void TestProtocol::linesAreCompactAndSorted()
{
    QCOMPARE(batch::toLine(batch::successResult(u"/out/报告-旋转.pdf"_s, 1, QString())),
             QByteArray(R"({"files":1,"note":"","ok":true,"output":"/out/报告-旋转.pdf"})"
                        "\n"));
    QCOMPARE(batch::toLine(batch::progressObject(2, 5)),
             QByteArray(R"({"completed":2,"ocrProgress":true,"total":5})"
                        "\n"));
    QJsonObject parsed;
    QVERIFY(batch::parseObjectLine("  {\"a\":1} \r\n", parsed));
    QVERIFY(!batch::parseObjectLine("[1]", parsed));
    QVERIFY(!batch::parseObjectLine("", parsed));
    QVERIFY(!batch::parseObjectLine("{\"a\":1", parsed));
}

void TestProtocol::bundledTextLayerFont()
{
    QFile bundled(u":/batch/pdf.ttf"_s);
    QVERIFY(bundled.open(QIODevice::ReadOnly));
    QFile system(u"/usr/share/tesseract-ocr/5/tessdata/pdf.ttf"_s);
    QVERIFY(system.open(QIODevice::ReadOnly));
    QCOMPARE(bundled.readAll(), system.readAll());
}

void TestProtocol::ocrOptions_data()
{
    QTest::addColumn<QJsonObject>("options");
    QTest::addColumn<QStringList>("files"); // created in the models folder; "dir:" makes a folder
    QTest::addColumn<QString>("message");

    const QString folderMessage = u"请选择包含语言模型的 tessdata 文件夹。"_s;
    const QString models = u"@models"_s; // replaced by the temporary folder
    const QStringList complete{u"chi_sim.traineddata"_s, u"eng.traineddata"_s,
                               u"chi_tra.traineddata"_s, u"pdf.ttf"_s};
    QTest::newRow("empty object") << QJsonObject{} << complete << folderMessage;
    QTest::newRow("complete") << QJsonObject{{u"ocrModels"_s, models}} << complete << QString();
    QTest::newRow("upper case language")
        << QJsonObject{{u"ocrLanguage"_s, u"CHI_SIM+ENG"_s}, {u"ocrModels"_s, models}} << complete
        << u"识别语言无效。"_s;
    QTest::newRow("reordered language")
        << QJsonObject{{u"ocrLanguage"_s, u"eng+chi_sim"_s}, {u"ocrDpi"_s, 600}} << complete
        << u"识别语言无效。"_s;
    QTest::newRow("each output kind")
        << QJsonObject{{u"ocrOutput"_s, u"rebuilt"_s}, {u"ocrModels"_s, models}} << complete
        << QString();
    QTest::newRow("unknown output kind")
        << QJsonObject{{u"ocrOutput"_s, u"odt"_s}, {u"ocrModels"_s, models}} << complete
        << u"识别输出格式无效。"_s;
    QTest::newRow("integral double dpi")
        << QJsonObject{{u"ocrDpi"_s, 200.0}, {u"ocrModels"_s, models}} << complete << QString();
    QTest::newRow("fractional dpi reads as default")
        << QJsonObject{{u"ocrDpi"_s, 250.5}, {u"ocrModels"_s, models}} << complete << QString();
    QTest::newRow("string dpi reads as default")
        << QJsonObject{{u"ocrDpi"_s, u"150"_s}, {u"ocrModels"_s, models}} << complete << QString();
    QTest::newRow("dpi 600") << QJsonObject{{u"ocrDpi"_s, 600}, {u"ocrModels"_s, models}}
                             << complete << u"识别清晰度需为 150、200 或 300 DPI。"_s;
    QTest::newRow("relative models")
        << QJsonObject{{u"ocrModels"_s, u"tessdata"_s}} << complete << folderMessage;
    QTest::newRow("empty eng model")
        << QJsonObject{{u"ocrModels"_s, models}}
        << QStringList{u"chi_sim.traineddata"_s, u"empty:eng.traineddata"_s, u"pdf.ttf"_s}
        << u"缺少可读取的语言模型：eng.traineddata。请安装对应模型或选择已有模型文件夹。"_s;
    QTest::newRow("folder named like a model")
        << QJsonObject{{u"ocrModels"_s, models}, {u"ocrLanguage"_s, u"eng"_s}}
        << QStringList{u"dir:eng.traineddata"_s, u"pdf.ttf"_s}
        << u"缺少可读取的语言模型：eng.traineddata。请安装对应模型或选择已有模型文件夹。"_s;
    QTest::newRow("both missing names the first")
        << QJsonObject{{u"ocrModels"_s, models}} << QStringList{u"pdf.ttf"_s}
        << u"缺少可读取的语言模型：chi_sim.traineddata。请安装对应模型或选择已有模型文件夹。"_s;
    QTest::newRow("font missing") << QJsonObject{{u"ocrModels"_s, models},
                                                 {u"ocrSkipText"_s, false}}
                                  << QStringList{u"chi_sim.traineddata"_s, u"eng.traineddata"_s,
                                                 u"empty:pdf.ttf"_s}
                                  << u"模型文件夹缺少 pdf.ttf，无法生成可搜索 PDF。"_s;
}

void TestProtocol::ocrOptions()
{
    QFETCH(QJsonObject, options);
    QFETCH(QStringList, files);
    QFETCH(QString, message);
    QTemporaryDir folder;
    for (const QString& entry : files) {
        if (entry.startsWith(u"dir:"_s)) {
            QVERIFY(QDir(folder.path()).mkdir(entry.mid(4)));
            continue;
        }
        const bool empty = entry.startsWith(u"empty:"_s);
        QFile file(folder.filePath(empty ? entry.mid(6) : entry));
        QVERIFY(file.open(QIODevice::WriteOnly));
        if (!empty)
            file.write("model");
    }
    if (options.value(u"ocrModels"_s) == u"@models"_s)
        options.insert(u"ocrModels"_s, folder.path());
    QCOMPARE(batch::validateOcrOptions(batch::parseRequest(options).ocr), message);
}

void TestProtocol::rangeSyntax_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("message"); // before any document is known
    for (const QString& fine :
         {u"1-3，5"_s, u"1－3、5"_s, u"１-３,５"_s, u" 1 - 3 , 5 "_s, u"8-"_s, u"-2"_s})
        QTest::newRow(qPrintable(fine)) << fine << QString();
    QTest::newRow("wrong part named")
        << u"1，2-x"_s << u"页码无效：2-x。请输入从 1 开始的页码，例如 1-3,5。"_s;
}

// The window and the command line check a range's form with the worker's parser.
void TestProtocol::rangeSyntax()
{
    QFETCH(QString, text);
    QFETCH(QString, message);
    QCOMPARE(batch::pageRangeSyntaxMessage(batch::parsePageSpans(text)), message);
}

void TestProtocol::grantedLanes_data()
{
    QTest::addColumn<QByteArray>("lanes");    // QPB_LANES, "" for unset
    QTest::addColumn<QByteArray>("ocrLanes"); // QPB_OCR_LANES
    QTest::addColumn<int>("expected");        // 0: the machine's room
    QTest::newRow("none") << QByteArray() << QByteArray() << 0;
    QTest::newRow("a runner's grant") << QByteArray("1") << QByteArray() << 1;
    QTest::newRow("the older variable") << QByteArray() << QByteArray("1") << 1;
    QTest::newRow("the grant decides") << QByteArray("1") << QByteArray("64") << 1;
    QTest::newRow("never above the room") << QByteArray("100000") << QByteArray() << 0;
    QTest::newRow("nonsense is ignored") << QByteArray("zero") << QByteArray() << 0;
}

void TestProtocol::grantedLanes()
{
    QFETCH(QByteArray, lanes);
    QFETCH(QByteArray, ocrLanes);
    QFETCH(int, expected);
    const auto set = [](const char* name, const QByteArray& value) {
        if (value.isEmpty())
            qunsetenv(name);
        else
            qputenv(name, value);
    };
    set("QPB_LANES", lanes);
    set("QPB_OCR_LANES", ocrLanes);
    const int granted = batch::grantedLanes();
    set("QPB_LANES", {});
    set("QPB_OCR_LANES", {});
    QCOMPARE(granted, expected == 0 ? batch::laneRoom() : expected);
}

void TestProtocol::sizesInChinese_data()
{
    QTest::addColumn<qint64>("bytes");
    QTest::addColumn<QString>("shown");
    QTest::newRow("bytes") << qint64(1023) << u"1023 字节"_s;
    QTest::newRow("one KB") << qint64(1024) << u"1 KB"_s;
    QTest::newRow("KB rounded") << qint64(796 * 1024 + 600) << u"797 KB"_s;
    QTest::newRow("MB") << qint64(12.3 * 1024 * 1024) << u"12.3 MB"_s;
    QTest::newRow("GB") << qint64(1536) * 1024 * 1024 << u"1.5 GB"_s;
}

void TestProtocol::sizesInChinese()
{
    QFETCH(qint64, bytes);
    QFETCH(QString, shown);
    QCOMPARE(batch::formatSize(bytes), shown);
}

void TestProtocol::sizesTyped_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<qint64>("bytes"); // -1: refused
    QTest::newRow("bare bytes") << u"1500"_s << qint64(1500);
    QTest::newRow("B") << u"1500 B"_s << qint64(1500);
    QTest::newRow("KB is 1024") << u"2KB"_s << qint64(2048);
    QTest::newRow("MB, fraction, lower case") << u" 1.5 mb "_s << qint64(1572864);
    QTest::newRow("GB") << u"2GB"_s << qint64(2) * 1024 * 1024 * 1024;
    QTest::newRow("M without B") << u"2M"_s << qint64(2) * 1024 * 1024;
    QTest::newRow("k without B, lower case") << u"500k"_s << qint64(500) * 1024;
    QTest::newRow("G without B") << u"1G"_s << (qint64(1) << 30);
    QTest::newRow("zero") << u"0"_s << qint64(0);
    QTest::newRow("one TB") << u"1024GB"_s << (qint64(1) << 40);
    QTest::newRow("above one TB") << u"1025GB"_s << qint64(-1);
    QTest::newRow("negative") << u"-1MB"_s << qint64(-1);
    QTest::newRow("unknown unit") << u"2 MiB"_s << qint64(-1);
    QTest::newRow("empty") << QString() << qint64(-1);
    QTest::newRow("comma") << u"1,5MB"_s << qint64(-1);
}

void TestProtocol::sizesTyped()
{
    QFETCH(QString, text);
    QFETCH(qint64, bytes);
    QCOMPARE(batch::parseByteSize(text).value_or(-1), bytes);
}

void TestProtocol::outputNames_data()
{
    QTest::addColumn<QString>("pattern");
    QTest::addColumn<QString>("name");     // the source's
    QTest::addColumn<QString>("expected"); // the name, or the problem's start
    QTest::newRow("default") << QString() << u"合同"_s << u"合同-旋转"_s;
    QTest::newRow("all three") << u"{n}_{name}({op})"_s << u"合同"_s << u"7_合同(旋转)"_s;
    QTest::newRow("braces in the source's name stay")
        << u"{name}-{op}"_s << u"报告{op}{n}"_s << u"报告{op}{n}-旋转"_s;
    QTest::newRow("trailing dots and spaces go") << u"{name}. "_s << u"合同"_s << u"合同"_s;
    QTest::newRow("a separator") << u"a/{name}"_s << u"x"_s << u"文件名不能包含"_s;
    QTest::newRow("a backslash") << u"a\\{name}"_s << u"x"_s << u"文件名不能包含"_s;
    QTest::newRow("an unknown placeholder") << u"{date}"_s << u"x"_s << u"不认识的占位符 {date}"_s;
    QTest::newRow("only spaces") << u"  "_s << u"x"_s << u"请填写文件名"_s;
    QTest::newRow("a device name") << u"Con"_s << u"x"_s << u"“Con”是系统保留的名称"_s;
    QTest::newRow("a device name with more after a dot")
        << u"nul.备份"_s << u"x"_s << u"“nul.备份”是系统保留的名称"_s;
}

void TestProtocol::outputNames()
{
    QFETCH(QString, pattern);
    QFETCH(QString, name);
    QFETCH(QString, expected);
    const QString problem = batch::outputNameProblem(pattern);
    if (problem.isEmpty())
        QCOMPARE(batch::expandOutputName(pattern, name, u"旋转"_s, 7), expected);
    else
        QVERIFY2(problem.startsWith(expected), qPrintable(problem));
}

QTEST_GUILESS_MAIN(TestProtocol)
#include "tst_protocol.moc"

// Writes the sample documents the Windows tests run every operation on, with
// Chinese names: two text documents (one with bookmarks and links), a Chinese
// scan, and an AES-256 document whose owner password is "owner".
// usage: qpb-samples FOLDER
#include "testsupport.h"

#include <QDir>
#include <QGuiApplication>

#include <cstdio>

using namespace Qt::StringLiterals;

int main(int argc, char** argv)
{
    QGuiApplication application(argc, argv);
    const QStringList arguments = application.arguments();
    if (arguments.size() != 2 || !QDir().mkpath(arguments.at(1))) {
        std::fputs("usage: qpb-samples FOLDER\n", stderr);
        return 2;
    }
    const QDir folder(arguments.at(1));
    testsupport::writePdf(folder.filePath(u"合同 一.pdf"_s),
                          {.pages = 4, .marker = u"contract"_s, .navigation = true});
    testsupport::writePdf(folder.filePath(u"附件 二.pdf"_s), {.pages = 3, .marker = u"annex"_s});
    testsupport::DrawnPage scan;
    scan.lines = {u"关于二零二六年度预算的通知"_s, u"各部门请于本月底前提交预算表"_s};
    scan.family = u"Noto Sans CJK SC"_s;
    scan.pointSize = 20;
    testsupport::writeDrawnPdf(folder.filePath(u"扫描 通知.pdf"_s), {scan}, 200);
    testsupport::writePdf(folder.filePath(u"加密 报告.pdf"_s),
                          {.pages = 2,
                           .marker = u"secret"_s,
                           .encryption = testsupport::Encryption::R6Aes256,
                           .userPassword = "",
                           .ownerPassword = "owner"});
    return 0;
}

#include "protocol/ocroptions.h"

#include <QDir>
#include <QFileInfo>

using namespace Qt::StringLiterals;

namespace batch {

namespace {

bool usableFile(const QString& path)
{
    const QFileInfo info(path);
    return info.isFile() && info.isReadable() && info.size() > 0;
}

} // namespace

QString validateOcrOptions(const OcrRequest& options)
{
    const QString& language = options.language;
    if (language != u"chi_sim+eng"_s && language != u"chi_tra+eng"_s && language != u"eng"_s)
        return u"识别语言无效。"_s;
    if (options.output != u"pdf"_s && options.output != u"docx"_s && options.output != u"rebuilt"_s)
        return u"识别输出格式无效。"_s;
    const int dpi = options.dpi;
    if (dpi != 150 && dpi != 200 && dpi != 300)
        return u"识别清晰度需为 150、200 或 300 DPI。"_s;
    const QString& models = options.models;
    if (!QDir::isAbsolutePath(models) || !QFileInfo(models).isDir())
        return u"请选择包含语言模型的 tessdata 文件夹。"_s;
    const QDir folder(models);
    for (const QString& code : language.split(u'+')) {
        if (!usableFile(folder.filePath(code + u".traineddata"_s)))
            return u"缺少可读取的语言模型："_s + code +
                   u".traineddata。请安装对应模型或选择已有模型文件夹。"_s;
    }
    if (!usableFile(folder.filePath(u"pdf.ttf"_s)))
        return u"模型文件夹缺少 pdf.ttf，无法生成可搜索 PDF。"_s;
    return QString();
}

} // namespace batch

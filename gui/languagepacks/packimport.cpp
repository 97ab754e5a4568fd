// Importing a local pack, and the verification and installation shared with
// downloads: Tesseract must load the file before it replaces anything.
#include "gui/languagepacks/languagedialog.h"

#include <QDir>
#include <QFile>
#include <QLabel>
#include <QSaveFile>
#include <QTemporaryDir>

#include <limits>

#include <tesseract/baseapi.h>

using namespace Qt::StringLiterals;

namespace batch {

namespace {

constexpr qint64 chunkBytes = 1048576;

// Copies `from` to `to` in 1 MiB chunks; false on an early empty chunk, a
// short write or more than `limit` bytes.
bool copyChunks(QIODevice& from, QIODevice& to, qint64 limit)
{
    qint64 total = 0;
    while (!from.atEnd()) {
        const QByteArray chunk = from.read(chunkBytes);
        total += chunk.size();
        if (chunk.isEmpty() || total > limit || to.write(chunk) != chunk.size())
            return false;
    }
    return true;
}

} // namespace

bool verifyAndInstallPack(const QString& sourcePath, const QString& code,
                          const QString& targetFolder, QString& error)
{
    error.clear();
    if (code != u"eng"_s && code != u"chi_sim"_s && code != u"chi_tra"_s) {
        error = u"不支持的语言包名称。"_s;
        return false;
    }
    QFile source(sourcePath);
    if (!source.open(QIODevice::ReadOnly) || source.size() == 0 || source.size() > maxPackBytes) {
        error = u"语言包不可读、为空或超过 64 MB。"_s;
        return false;
    }
    const QTemporaryDir scratch;
    if (!scratch.isValid()) {
        error = u"无法创建模型校验目录。"_s;
        return false;
    }
    const QString fileName = code + u".traineddata"_s;
    const QString copyPath = scratch.filePath(fileName);
    {
        QFile copy(copyPath);
        if (!copy.open(QIODevice::WriteOnly)) {
            error = u"无法准备语言包校验。"_s;
            return false;
        }
        if (!copyChunks(source, copy, maxPackBytes)) {
            error = u"语言包读取或写入失败。"_s;
            return false;
        }
    }
    source.close();

    {
        tesseract::TessBaseAPI api;
        const QByteArray dataPath = QFile::encodeName(scratch.path());
        if (api.Init(dataPath.constData(), code.toUtf8().constData(), tesseract::OEM_DEFAULT,
                     nullptr, 0, nullptr, nullptr, false) != 0) {
            error =
                u"Tesseract 无法加载此语言包。请下载真正的 .traineddata 文件，不能使用网页或压缩包。原有模型已保留。"_s;
            return false;
        }
        api.End();
    }

    if (!QDir().mkpath(targetFolder)) {
        error = u"无法创建语言包目录。"_s;
        return false;
    }
    QFile verified(copyPath);
    QSaveFile target(targetFolder + u'/' + fileName);
    if (!verified.open(QIODevice::ReadOnly) || !target.open(QIODevice::WriteOnly)) {
        error = u"无法安装语言包，原有模型已保留。"_s;
        return false;
    }
    if (!copyChunks(verified, target, std::numeric_limits<qint64>::max())) {
        target.cancelWriting();
        error = u"语言包写入失败，原有模型已保留。"_s;
        return false;
    }
    if (!target.commit()) {
        error = u"语言包保存失败，原有模型已保留。"_s;
        return false;
    }
    return true;
}

void LanguageDialog::importPack(int index)
{
    if (index < 0 || index >= m_packs.size())
        return;
    const LanguagePack& pack = m_packs.at(index);
    const QString path = m_chooseFile(this, u"导入 "_s + pack.code + u".traineddata"_s,
                                      u"Tesseract 语言包 (*.traineddata)"_s);
    if (path.isEmpty())
        return;
    m_statusLabel->setText(u"正在校验语言包…"_s);
    QString error;
    QString message;
    if (verifyAndInstallPack(path, pack.code, defaultModelsFolder(), error)) {
        message = installBundledFont()
                      ? pack.name + u"已安装，可离线使用。"_s
                      : u"语言包已安装，但内置 PDF 字体未能保存。请检查安装目录权限。"_s;
    } else {
        message = error;
    }
    m_statusLabel->setText(message);
    refreshPackState();
}

} // namespace batch

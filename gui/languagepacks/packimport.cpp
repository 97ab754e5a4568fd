// Importing a local pack, and the verification and installation shared with
// downloads: Tesseract must load the file before it replaces anything.
#include "gui/languagepacks/languagedialog.h"

#include "ocr/pagework.h"

#include <QDir>
#include <QFile>
#include <QLabel>
#include <QSaveFile>
#include <QSet>
#include <QTemporaryDir>

#include <algorithm>
#include <cstring>
#include <limits>
#include <vector>

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

// The characters a model reads, one per line of its unicharset (after the
// count line), from the traineddata's table of components: the LSTM one,
// else the legacy one. Empty when the file has neither.
QStringList modelCharacters(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    const QByteArray data = file.readAll();
    constexpr int legacyUnicharset = 1;
    constexpr int lstmUnicharset = 21;
    qint32 entries = 0;
    if (data.size() >= 4)
        std::memcpy(&entries, data.constData(), 4);
    if (entries <= 0 || entries > 64 || data.size() < 4 + 8 * qsizetype(entries))
        return {};
    std::vector<qint64> offsets(size_t(entries), -1);
    std::memcpy(offsets.data(), data.constData() + 4, size_t(entries) * 8);
    for (const int component : {lstmUnicharset, legacyUnicharset}) {
        if (component >= entries || offsets[size_t(component)] < 4 ||
            offsets[size_t(component)] >= data.size())
            continue;
        const qint64 start = offsets[size_t(component)];
        qint64 end = data.size();
        for (const qint64 offset : offsets) {
            if (offset > start && offset < end)
                end = offset;
        }
        QStringList lines = QString::fromUtf8(data.mid(start, end - start)).split(u'\n');
        QStringList characters;
        for (qsizetype i = 1; i < lines.size(); ++i)
            characters << lines.at(i).section(u' ', 0, 0);
        return characters;
    }
    return {};
}

// Why the model at `path` does not read the language `code` names, or "".
// A Chinese model holds thousands of ideographs, an English one next to none;
// simplified and traditional ones are told apart by common characters that
// only one of them writes.
QString scriptMismatch(const QString& path, const QString& code)
{
    const QStringList characters = modelCharacters(path);
    if (characters.isEmpty())
        return QString(); // Tesseract's own check decides
    qsizetype ideographs = 0;
    for (const QString& character : characters) {
        const uint first = character.isEmpty() ? 0 : character.toUcs4().value(0);
        ideographs +=
            (first >= 0x4E00 && first <= 0x9FFF) || (first >= 0x20000 && first <= 0x2FFFF);
    }
    const QSet<QString> set(characters.begin(), characters.end());
    const auto count = [&set](const QString& sample) {
        return std::count_if(sample.begin(), sample.end(),
                             [&set](QChar c) { return set.contains(QString(c)); });
    };
    const auto simplified = count(u"们这个来时说国会对过"_s);
    const auto traditional = count(u"們這個來時說國會對過"_s);
    const QString kept = u"原有模型已保留。"_s;
    if (code == u"eng"_s && ideographs > 100)
        return u"此文件是中文语言包，不是英文语言包。"_s + kept;
    if (code == u"eng"_s)
        return QString();
    const QString wanted = code == u"chi_sim"_s ? u"简体中文"_s : u"繁体中文"_s;
    if (ideographs < 2000)
        return u"此文件不是%1语言包（只含 %2 个汉字）。"_s.arg(wanted).arg(ideographs) + kept;
    if (code == u"chi_sim"_s && traditional > simplified)
        return u"此文件是繁体中文语言包，不是简体中文语言包。"_s + kept;
    if (code == u"chi_tra"_s && simplified > traditional)
        return u"此文件是简体中文语言包，不是繁体中文语言包。"_s + kept;
    return QString();
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
        if (!initEngine(api, scratch.path(), code)) {
            error =
                u"Tesseract 无法加载此语言包。请下载真正的 .traineddata 文件，不能使用网页或压缩包。原有模型已保留。"_s;
            return false;
        }
        api.End();
    }
    error = scriptMismatch(copyPath, code);
    if (!error.isEmpty())
        return false;

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
                      ? pack.name + u"已安装，可离线使用。"_s + stillNeeded()
                      : u"语言包已安装，但内置 PDF 字体未能保存。请检查安装目录权限。"_s;
    } else {
        message = error;
    }
    m_statusLabel->setText(message);
    refreshPackState();
}

} // namespace batch

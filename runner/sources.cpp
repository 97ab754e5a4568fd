#include "runner/sources.h"

#include "engine/platformfs.h"
#include "protocol/catalogue.h"
#include "protocol/request.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSet>
#include <QStandardPaths>

#include <algorithm>

using namespace Qt::StringLiterals;

namespace batch {

bool hasSuffix(const QFileInfo& info, SourceKind kind)
{
    static const QStringList pictures{u"jpg"_s, u"jpeg"_s, u"png"_s, u"tif"_s, u"tiff"_s, u"bmp"_s};
    const QString suffix = info.suffix().toLower();
    return kind == SourceKind::Pdf ? suffix == u"pdf"_s : pictures.contains(suffix);
}

namespace {

// Files of other kinds named .pdf are refused when added, not when a whole
// merge fails on them; readers accept the header anywhere in the first 1024 bytes.
bool startsLike(const QString& path, SourceKind kind)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    const QByteArray head = file.read(1024);
    if (kind == SourceKind::Pdf)
        return head.contains("%PDF-");
    return head.startsWith("\xff\xd8") || head.startsWith("\x89PNG") ||
           head.startsWith(QByteArray("II*\0", 4)) || head.startsWith(QByteArray("MM\0*", 4)) ||
           head.startsWith("BM");
}

// Why `info` cannot join a batch that lists `listed` files already, or "".
QString refusalReason(const QFileInfo& info, qsizetype listed, qsizetype limit, SourceKind kind)
{
    const QString wrongKind =
        kind == SourceKind::Pdf ? u"不是 PDF 文件"_s : u"不是图片文件（JPEG、PNG、TIFF、BMP）"_s;
    if (!info.isFile() || !info.isReadable())
        return u"文件不存在或无法读取"_s;
    if (!hasSuffix(info, kind))
        return wrongKind;
    if (info.size() < 1)
        return u"文件为空"_s;
    if (info.size() > maxSourceBytes)
        return u"超过 512 MB"_s;
    if (!startsLike(info.absoluteFilePath(), kind))
        return wrongKind;
    if (listed >= limit)
        return u"超过单批 200 份上限"_s;
    return QString();
}

// Digit runs compared as numbers, the rest without regard to letter case, as
// file managers sort. Our own: QCollator's numeric mode depends on how Qt was
// built and on the locale, and the C locale ignores it.
int naturalCompare(const QString& a, const QString& b)
{
    qsizetype i = 0;
    qsizetype j = 0;
    while (i < a.size() && j < b.size()) {
        if (a.at(i).isDigit() && b.at(j).isDigit()) {
            const qsizetype startA = i;
            const qsizetype startB = j;
            while (i < a.size() && a.at(i).isDigit())
                ++i;
            while (j < b.size() && b.at(j).isDigit())
                ++j;
            // Leading zeros do not count; then the longer run is the larger number.
            QStringView runA = QStringView(a).mid(startA, i - startA);
            QStringView runB = QStringView(b).mid(startB, j - startB);
            while (runA.size() > 1 && runA.front() == u'0')
                runA = runA.mid(1);
            while (runB.size() > 1 && runB.front() == u'0')
                runB = runB.mid(1);
            if (runA.size() != runB.size())
                return runA.size() < runB.size() ? -1 : 1;
            const int digits = runA.compare(runB);
            if (digits != 0)
                return digits;
            continue;
        }
        const int letters = QString::compare(a.at(i), b.at(j), Qt::CaseInsensitive);
        if (letters != 0)
            return letters;
        ++i;
        ++j;
    }
    return (a.size() - i > 0) - (b.size() - j > 0);
}

// The paths given, with each folder replaced by the PDFs directly inside it in
// the order a file manager shows (s2 before s10). A folder that cannot be
// listed is refused; files inside that cannot be read are kept, to be refused
// by name.
QStringList expandFolders(const QStringList& paths, QList<Refusal>& refused, SourceKind kind)
{
    QStringList candidates;
    for (const QString& path : paths) {
        const QFileInfo info(path);
        if (!info.isDir()) {
            candidates.append(path);
            continue;
        }
        if (!info.isReadable() || !info.isExecutable()) {
            refused.append({path, u"文件夹无法读取"_s});
            continue;
        }
        QStringList names;
        for (const QFileInfo& entry : QDir(path).entryInfoList(QDir::Files, QDir::NoSort)) {
            if (hasSuffix(entry, kind))
                names.append(entry.fileName());
        }
        std::sort(names.begin(), names.end(), [](const QString& a, const QString& b) {
            const int order = naturalCompare(a, b);
            return order != 0 ? order < 0 : a < b;
        });
        for (const QString& name : std::as_const(names))
            candidates.append(QDir(path).absoluteFilePath(name));
    }
    return candidates;
}

// One file reached through "." parts or links is one entry; where the file
// system ignores letter case, so does the key. Folding case on Linux would
// silently drop a.pdf when A.pdf, a different file, is already listed.
QString identityKey(const QString& canonicalPath)
{
#if defined(Q_OS_WIN) || defined(Q_OS_MACOS)
    return canonicalPath.toCaseFolded();
#else
    return canonicalPath;
#endif
}

} // namespace

SourceKind sourceKind(const Operation& operation)
{
    return operation.kind == OperationKind::ImagesToPdf ? SourceKind::Picture : SourceKind::Pdf;
}

QList<Refusal> takeFiles(const QStringList& paths, QStringList& listed, qsizetype limit,
                         SourceKind kind)
{
    QSet<QString> keys;
    for (const QString& path : std::as_const(listed)) {
        const QString canonical = QFileInfo(path).canonicalFilePath();
        keys.insert(identityKey(canonical.isEmpty() ? path : canonical));
    }
    QList<Refusal> refused;
    for (const QString& candidate : expandFolders(paths, refused, kind)) {
        const QFileInfo info(candidate);
        const QString canonical = info.canonicalFilePath();
        // A path that does not exist has no canonical form; it is refused below.
        const QString key = identityKey(canonical.isEmpty() ? info.absoluteFilePath() : canonical);
        const QString reason = !canonical.isEmpty() && keys.contains(key)
                                   ? u"已在列表中"_s
                                   : refusalReason(info, listed.size(), limit, kind);
        if (!reason.isEmpty()) {
            refused.append({candidate, reason});
            continue;
        }
        keys.insert(key);
        // Named as the user named it: a link's result takes the link's name.
        listed.append(info.absoluteFilePath());
    }
    return refused;
}

QString defaultModelsFolder()
{
    return QDir(QStandardPaths::writableLocation(QStandardPaths::AppLocalDataLocation))
        .filePath(u"tessdata"_s);
}

QString initialModelsFolder()
{
    const QString own = defaultModelsFolder();
    if (QFileInfo(own).isDir())
        return own;
    // Debian installs Tesseract's own data folder; it plays the part of the
    // "tessdata" folder that a Windows installation keeps beside the executable.
    const QString system = u"/usr/share/tesseract-ocr/5/tessdata"_s;
    if (QFileInfo(system).isDir())
        return system;
    return QDir(QCoreApplication::applicationDirPath()).filePath(u"tessdata"_s);
}

namespace {

// Where writing `path` would land: links followed, and for a file that does
// not exist yet, its canonical folder with its name.
QString landingPath(const QString& path)
{
    QFileInfo info(path);
    for (int hops = 0; info.isSymLink() && hops < 40; ++hops)
        info = QFileInfo(info.symLinkTarget());
    if (info.exists())
        return info.canonicalFilePath();
    const QString folder = QFileInfo(info.absolutePath()).canonicalFilePath();
    return folder.isEmpty() ? info.absoluteFilePath() : folder + u'/' + info.fileName();
}

} // namespace

bool sameFile(const QString& chosen, const QString& listed)
{
    if (listed.isEmpty())
        return false;
    if (QFileInfo(chosen).absoluteFilePath().compare(listed, Qt::CaseInsensitive) == 0 ||
        landingPath(chosen).compare(landingPath(listed), Qt::CaseInsensitive) == 0)
        return true;
    return sameEntry(chosen, listed);
}

} // namespace batch

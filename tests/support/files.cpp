#include "testsupport.h"

#include <QProcess>

#include <QCryptographicHash>
#include <QDir>
#include <QFile>

#include <algorithm>
#include <vector>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <tiffio.h>

namespace testsupport {

QByteArray sha256File(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QByteArray();
    QCryptographicHash hash(QCryptographicHash::Sha256);
    hash.addData(&file);
    return hash.result();
}

void SourceGuard::add(const QString& path)
{
    m_hashes.insert(path, sha256File(path));
}

bool SourceGuard::unchanged() const
{
    for (auto it = m_hashes.cbegin(); it != m_hashes.cend(); ++it) {
        if (it.value().isEmpty() || sha256File(it.key()) != it.value())
            return false;
    }
    return true;
}

bool qpdfCheckClean(const QString& path, const QString& password)
{
    QProcess qpdf;
    QStringList arguments{QStringLiteral("--check"), path};
    if (!password.isEmpty())
        arguments << QStringLiteral("--password=") + password;
    qpdf.start(QStringLiteral("qpdf"), arguments);
    return qpdf.waitForFinished(60000) && qpdf.exitStatus() == QProcess::NormalExit &&
           qpdf.exitCode() == 0;
}

bool fillModelsFolder(const QString& folder)
{
    const QDir system(QStringLiteral("/usr/share/tesseract-ocr/5/tessdata"));
    for (const char* name : {"eng.traineddata", "chi_sim.traineddata", "chi_tra.traineddata",
                             "osd.traineddata", "pdf.ttf"}) {
        const QString file = QString::fromLatin1(name);
        if (!QFile::copy(system.filePath(file), QDir(folder).filePath(file)))
            return false;
    }
    return true;
}

double characterErrorRate(const QString& expected, const QString& actual)
{
    const auto strip = [](const QString& text) {
        QString result;
        for (const QChar c : text) {
            if (!c.isSpace())
                result.append(c);
        }
        return result;
    };
    const QString a = strip(expected);
    const QString b = strip(actual);
    if (a.isEmpty())
        return b.isEmpty() ? 0.0 : 1.0;
    std::vector<qsizetype> previous(size_t(b.size()) + 1);
    std::vector<qsizetype> current(size_t(b.size()) + 1);
    for (qsizetype j = 0; j <= b.size(); ++j)
        previous[size_t(j)] = j;
    for (qsizetype i = 1; i <= a.size(); ++i) {
        current[0] = i;
        for (qsizetype j = 1; j <= b.size(); ++j) {
            const qsizetype substitution = previous[size_t(j - 1)] + (a[i - 1] == b[j - 1] ? 0 : 1);
            current[size_t(j)] =
                std::min({previous[size_t(j)] + 1, current[size_t(j - 1)] + 1, substitution});
        }
        std::swap(previous, current);
    }
    return double(previous[size_t(b.size())]) / double(a.size());
}

QStringList folderEntries(const QString& folder)
{
    return QDir(folder).entryList(
        QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::Name);
}

// True once a worker holds the lock of a staging folder in `folder`: only
// then is the folder its own.
bool stagingLockHeld(const QString& folder)
{
    for (const QString& staging : folderEntries(folder).filter(QStringLiteral(".quorvin-batch-"))) {
        const QByteArray lock =
            QFile::encodeName(folder + u'/' + staging + QStringLiteral("/.lock"));
        const int descriptor = ::open(lock.constData(), O_RDONLY | O_CLOEXEC);
        if (descriptor < 0)
            continue;
        const bool held = ::flock(descriptor, LOCK_EX | LOCK_NB) != 0;
        ::close(descriptor);
        if (held)
            return true;
    }
    return false;
}

QString writeRecordingWrapper(const QString& folder, const QString& record)
{
    const QString wrapper = QDir(folder).filePath(QStringLiteral("recording-wrapper.sh"));
    writeBytes(wrapper, "#!/bin/sh\n{ echo \"$0 $*\"; env; cat /proc/$$/cmdline; } >> '" +
                            QFile::encodeName(record) + "'\nexec '" +
                            QFile::encodeName(workerExecutable()) + "' \"$@\"\n");
    QFile(wrapper).setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    return wrapper;
}

QStringList tiffPages(const QString& path)
{
    QStringList pages;
    TIFF* tiff = TIFFOpen(QFile::encodeName(path).constData(), "r");
    if (!tiff)
        return pages;
    do {
        uint16_t compression = 0;
        uint16_t bits = 0;
        uint16_t samples = 0;
        uint32_t width = 0;
        uint32_t height = 0;
        float dpi = 0;
        TIFFGetField(tiff, TIFFTAG_COMPRESSION, &compression);
        TIFFGetFieldDefaulted(tiff, TIFFTAG_BITSPERSAMPLE, &bits);
        TIFFGetFieldDefaulted(tiff, TIFFTAG_SAMPLESPERPIXEL, &samples);
        TIFFGetField(tiff, TIFFTAG_IMAGEWIDTH, &width);
        TIFFGetField(tiff, TIFFTAG_IMAGELENGTH, &height);
        TIFFGetField(tiff, TIFFTAG_XRESOLUTION, &dpi);
        const QString kind = compression == COMPRESSION_CCITTFAX4 ? QStringLiteral("g4")
                             : compression == COMPRESSION_ADOBE_DEFLATE
                                 ? QStringLiteral("deflate")
                                 : QString::number(compression);
        pages << QStringLiteral("%1 %2x%3 %4x%5 %6")
                     .arg(kind)
                     .arg(bits)
                     .arg(samples)
                     .arg(width)
                     .arg(height)
                     .arg(qRound(dpi));
    } while (TIFFReadDirectory(tiff));
    TIFFClose(tiff);
    return pages;
}

} // namespace testsupport

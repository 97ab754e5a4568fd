// Downloading a pack: streamed to a temporary file within the size limit,
// checked against the catalogue's SHA-256, then verified and installed.
#include "gui/languagepacks/languagedialog.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QProgressBar>
#include <QTemporaryFile>

using namespace Qt::StringLiterals;

namespace batch {

namespace {

constexpr qint64 readBufferBytes = 1048576;
constexpr int transferTimeoutMs = 30000;

QString fileSha256(const QString& path)
{
    QFile file(path);
    QCryptographicHash hash(QCryptographicHash::Sha256);
    if (!file.open(QIODevice::ReadOnly) || !hash.addData(&file))
        return QString();
    return QString::fromLatin1(hash.result().toHex());
}

} // namespace

void LanguageDialog::startDownload(int index)
{
    if (m_reply || index < 0 || index >= m_packs.size())
        return;
    auto file = std::make_unique<QTemporaryFile>();
    if (!file->open()) {
        m_statusLabel->setText(u"无法创建下载临时文件。"_s);
        return;
    }
    m_downloadFile = std::move(file);
    m_activeIndex = index;
    m_cancelRequested = false;
    m_downloadError.clear();

    const LanguagePack& pack = m_packs.at(index);
    QNetworkRequest request(m_downloadBase.resolved(QUrl(pack.code + u".traineddata"_s)));
    request.setTransferTimeout(transferTimeoutMs);
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                         QNetworkRequest::ManualRedirectPolicy);
    m_reply = m_network->get(request);
    m_reply->setReadBufferSize(readBufferBytes);

    m_progressBar->setRange(0, 100);
    m_progressBar->setValue(0);
    m_statusLabel->setText(u"正在下载"_s + pack.name + u"…"_s);
    connect(m_reply, &QNetworkReply::readyRead, this, [this] { onDownloadReadyRead(); });
    connect(m_reply, &QNetworkReply::downloadProgress, this,
            [this](qint64 received, qint64 total) { onDownloadProgress(received, total); });
    connect(m_reply, &QNetworkReply::finished, this, [this] { onDownloadFinished(); });
    refreshPackState();
}

void LanguageDialog::onDownloadReadyRead()
{
    if (!m_reply || !m_downloadFile)
        return;
    const QByteArray bytes = m_reply->readAll();
    if (m_downloadFile->size() + bytes.size() > maxPackBytes ||
        m_downloadFile->write(bytes) != bytes.size()) {
        m_downloadError = u"下载超过 64 MB 或临时文件写入失败。"_s;
        m_reply->abort();
    }
}

void LanguageDialog::onDownloadProgress(qint64 received, qint64 total)
{
    if (total <= 0) {
        m_progressBar->setRange(0, 0);
        return;
    }
    m_progressBar->setRange(0, 100);
    m_progressBar->setValue(static_cast<int>(qMin<qint64>(received * 100 / total, 100)));
}

void LanguageDialog::onDownloadFinished()
{
    QNetworkReply* reply = m_reply;
    m_reply = nullptr;
    if (!reply)
        return;

    const QByteArray rest = reply->isOpen() ? reply->readAll() : QByteArray();
    if (!rest.isEmpty()) {
        if (m_downloadFile->size() + rest.size() > maxPackBytes ||
            m_downloadFile->write(rest) != rest.size())
            m_downloadError = u"下载文件写入失败。"_s;
    }
    if (!m_downloadFile->flush())
        m_downloadError = u"下载文件保存失败。"_s;

    const LanguagePack& pack = m_packs.at(m_activeIndex);
    bool received = !m_cancelRequested && m_downloadError.isEmpty() &&
                    reply->error() == QNetworkReply::NoError &&
                    reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt() == 200;
    if (received && fileSha256(m_downloadFile->fileName()) != pack.sha256) {
        m_downloadError = u"语言包 SHA-256 校验失败，原有模型已保留。"_s;
        received = false;
    }

    QString message;
    if (received) {
        m_statusLabel->setText(u"下载完成，正在校验模型…"_s);
        QString error;
        if (verifyAndInstallPack(m_downloadFile->fileName(), pack.code, defaultModelsFolder(),
                                 error)) {
            message = installBundledFont()
                          ? pack.name + u"下载并安装完成，可离线识别。"_s + stillNeeded()
                          : u"模型已安装，内置 PDF 字体保存失败，请检查权限。"_s;
        } else {
            message = error;
        }
    } else if (m_cancelRequested) {
        message = u"下载已取消，原有语言包已保留。"_s;
    } else if (m_downloadError.isEmpty()) {
        message = u"下载失败，可重试或从官方页面手动下载后导入："_s + reply->errorString();
    } else {
        message = m_downloadError;
    }

    m_downloadFile.reset();
    reply->deleteLater();
    m_statusLabel->setText(message);
    refreshPackState();
}

void LanguageDialog::cancelDownload()
{
    m_cancelRequested = true;
    if (m_reply)
        m_reply->abort();
}

} // namespace batch

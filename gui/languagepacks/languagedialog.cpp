#include "gui/languagepacks/languagedialog.h"

#include <QDesktopServices>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QLabel>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QProgressBar>
#include <QPushButton>
#include <QSaveFile>
#include <QStandardPaths>
#include <QTemporaryFile>
#include <QVBoxLayout>

using namespace Qt::StringLiterals;

namespace batch {

namespace {

const QString tessdataFastPage = u"https://github.com/tesseract-ocr/tessdata_fast/tree/4.1.0"_s;

bool isNonEmptyFile(const QString& path)
{
    const QFileInfo info(path);
    return info.isFile() && info.size() > 0;
}

} // namespace

QString chooseLanguagePacks(QWidget* parent, const QString& folderInUse)
{
    LanguageDialog dialog(parent);
    dialog.setFolderInUse(folderInUse);
    return dialog.exec() == QDialog::Accepted ? defaultModelsFolder() : QString();
}

bool takeOverModels(const QString& from, const QString& to, QString& error)
{
    const QString source = QFileInfo(from).canonicalFilePath();
    if (source.isEmpty() || source == QFileInfo(to).canonicalFilePath())
        return true;
    const QFileInfoList models =
        QDir(source).entryInfoList({u"*.traineddata"_s}, QDir::Files | QDir::Readable);
    for (const QFileInfo& model : models) {
        const QString target = QDir(to).filePath(model.fileName());
        if (isNonEmptyFile(target) || model.size() > maxPackBytes)
            continue;
        QFile in(model.absoluteFilePath());
        QSaveFile out(target);
        bool copied = in.open(QIODevice::ReadOnly) && out.open(QIODevice::WriteOnly);
        while (copied && !in.atEnd()) {
            const QByteArray chunk = in.read(1 << 20);
            copied = !chunk.isEmpty() && out.write(chunk) == chunk.size();
        }
        if (!copied || !out.commit()) {
            error = u"无法复制当前文件夹中的 %1，请检查安装目录权限和磁盘空间。"_s.arg(
                model.fileName());
            return false;
        }
    }
    return true;
}

bool installBundledFont()
{
    const QString folder = defaultModelsFolder();
    const QString target = QDir(folder).filePath(u"pdf.ttf"_s);
    if (isNonEmptyFile(target))
        return true;
    QFile resource(u":/batch/pdf.ttf"_s);
    if (!QDir().mkpath(folder) || !resource.open(QIODevice::ReadOnly))
        return false;
    const QByteArray font = resource.readAll();
    if (font.isEmpty())
        return false;
    QSaveFile file(target);
    return file.open(QIODevice::WriteOnly) && file.write(font) == font.size() && file.commit();
}

QUrl LanguageDialog::defaultDownloadBase()
{
    return QUrl(QStringLiteral(QPB_MODEL_DOWNLOAD_BASE));
}

LanguageDialog::LanguageDialog(QWidget* parent, const QUrl& downloadBase)
    : QDialog(parent), m_network(new QNetworkAccessManager(this)), m_downloadBase(downloadBase),
      m_chooseFile([](QWidget* owner, const QString& caption, const QString& filter) {
          return QFileDialog::getOpenFileName(owner, caption, QString(), filter);
      }),
      m_openUrl([](const QUrl& url) { QDesktopServices::openUrl(url); })
{
    m_packs = {
        {u"chi_sim"_s, u"简体中文"_s,
         u"a5fcb6f0db1e1d6d8522f39db4e848f05984669172e584e8d76b6b3141e1f730"_s},
        {u"eng"_s, u"英文"_s,
         u"7d4322bd2a7749724879683fc3912cb542f19906c83bcc1a52132556427170b2"_s},
        {u"chi_tra"_s, u"繁体中文"_s,
         u"529c5b5797d64b126065cd55f2bb4c7fd7b15790798091b1ff259941a829330b"_s},
    };

    setWindowTitle(u"OCR 语言包"_s);
    resize(690, 430);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(24, 20, 24, 20);
    layout->setSpacing(14);

    auto* heading = new QLabel(u"OCR 语言包"_s);
    heading->setStyleSheet(u"font-size:22px;font-weight:600;"_s);
    layout->addWidget(heading);
    auto* description = new QLabel(
        u"按需下载或导入语言包，安装后即可离线识别。下载自本产品的镜像（%1），"
        u"内容为 Tesseract 官方 tessdata_fast 4.1.0 模型，安装前逐个校验；不会上传文档。"_s.arg(
            m_downloadBase.host()));
    description->setWordWrap(true);
    layout->addWidget(description);
    auto* location = new QLabel(u"安装位置："_s + defaultModelsFolder());
    location->setTextFormat(Qt::PlainText);
    location->setWordWrap(true);
    location->setTextInteractionFlags(Qt::TextSelectableByMouse);
    layout->addWidget(location);
    auto* takeOver = new QLabel(
        u"改用这些语言包时，当前使用的文件夹里已有、此处缺少的语言包会一并复制过来，已能识别的语言不会失效。"_s);
    takeOver->setWordWrap(true);
    takeOver->setObjectName(u"muted"_s);
    layout->addWidget(takeOver);

    for (qsizetype i = 0; i < m_packs.size(); ++i) {
        LanguagePack& pack = m_packs[i];
        auto* row = new QHBoxLayout;
        row->addWidget(new QLabel(pack.name + u"  ("_s + pack.code + u')'), 1);
        pack.statusLabel = new QLabel;
        row->addWidget(pack.statusLabel);
        pack.downloadButton = new QPushButton(u"下载"_s);
        pack.downloadButton->setObjectName(u"ocrDownload_"_s + pack.code);
        row->addWidget(pack.downloadButton);
        pack.importButton = new QPushButton(u"导入本地包"_s);
        row->addWidget(pack.importButton);
        layout->addLayout(row);
        const int index = static_cast<int>(i);
        connect(pack.downloadButton, &QPushButton::clicked, this,
                [this, index] { startDownload(index); });
        connect(pack.importButton, &QPushButton::clicked, this,
                [this, index] { importPack(index); });
    }

    m_progressBar = new QProgressBar;
    m_progressBar->setRange(0, 100);
    m_progressBar->setVisible(false);
    layout->addWidget(m_progressBar);
    m_statusLabel = new QLabel;
    m_statusLabel->setObjectName(u"ocrModelStatus"_s);
    m_statusLabel->setTextFormat(Qt::PlainText);
    m_statusLabel->setWordWrap(true);
    layout->addWidget(m_statusLabel);

    auto* bottom = new QHBoxLayout;
    auto* manual = new QPushButton(u"官方手动下载"_s);
    m_cancelButton = new QPushButton(u"取消下载"_s);
    m_cancelButton->setObjectName(u"ocrCancelDownload"_s);
    m_cancelButton->setVisible(false);
    m_useButton = new QPushButton(u"使用这些语言包"_s);
    m_useButton->setObjectName(u"ocrUseModels"_s);
    auto* close = new QPushButton(u"关闭"_s);
    bottom->addWidget(manual);
    bottom->addWidget(m_cancelButton);
    bottom->addStretch();
    bottom->addWidget(m_useButton);
    bottom->addWidget(close);
    layout->addLayout(bottom);

    connect(manual, &QPushButton::clicked, this, [this] { m_openUrl(QUrl(tessdataFastPage)); });
    connect(m_cancelButton, &QPushButton::clicked, this, [this] { cancelDownload(); });
    connect(m_useButton, &QPushButton::clicked, this, [this] { useThesePacks(); });
    connect(close, &QPushButton::clicked, this, &LanguageDialog::reject);

    if (!installBundledFont())
        m_statusLabel->setText(u"内置 PDF 字体保存失败，请检查语言包目录权限。"_s);
    refreshPackState();
}

LanguageDialog::~LanguageDialog() = default;

void LanguageDialog::setFolderInUse(const QString& folder)
{
    m_folderInUse = folder;
    refreshPackState();
}

void LanguageDialog::useThesePacks()
{
    QString error;
    if (!takeOverModels(m_folderInUse, defaultModelsFolder(), error)) {
        m_statusLabel->setText(error);
        return;
    }
    accept();
}

bool LanguageDialog::packsWaitToBeUsed() const
{
    const QString inUse = QFileInfo(m_folderInUse).canonicalFilePath();
    return !inUse.isEmpty() && inUse != QFileInfo(defaultModelsFolder()).canonicalFilePath();
}

QString LanguageDialog::stillNeeded() const
{
    return packsWaitToBeUsed() ? u"点击“使用这些语言包”后，文字识别才会使用它。"_s : QString();
}

void LanguageDialog::refreshPackState()
{
    const QDir folder(defaultModelsFolder());
    const QString inUse = QFileInfo(m_folderInUse).canonicalFilePath();
    const bool elsewhere = packsWaitToBeUsed();
    const bool downloading = m_reply != nullptr;
    bool anyInstalled = false;
    for (LanguagePack& pack : m_packs) {
        const QString name = pack.code + u".traineddata"_s;
        const bool installed = isNonEmptyFile(folder.filePath(name));
        // Debian's models, or another folder the window uses, serve as well.
        const bool provided = elsewhere && isNonEmptyFile(QDir(inUse).filePath(name));
        anyInstalled = anyInstalled || installed || provided;
        pack.statusLabel->setText(installed && elsewhere ? u"已安装，未使用"_s
                                  : installed            ? u"已安装"_s
                                  : provided             ? u"当前文件夹已提供"_s
                                                         : u"未安装"_s);
        pack.statusLabel->setToolTip(provided && !installed ? inUse : QString());
        pack.downloadButton->setText(installed ? u"重新下载"_s : u"下载"_s);
        pack.downloadButton->setEnabled(!downloading);
        pack.importButton->setEnabled(!downloading);
    }
    m_useButton->setEnabled(anyInstalled && QFileInfo(folder.filePath(u"pdf.ttf"_s)).isFile() &&
                            !downloading);
    m_cancelButton->setVisible(downloading);
    m_progressBar->setVisible(downloading);
}

void LanguageDialog::reject()
{
    if (!m_reply) {
        QDialog::reject();
        return;
    }
    m_cancelRequested = true;
    m_statusLabel->setText(u"正在取消下载，结束后可关闭。"_s);
    // Queued, so that the message is on screen until the download has really ended.
    QMetaObject::invokeMethod(m_reply, &QNetworkReply::abort, Qt::QueuedConnection);
}

} // namespace batch

// Test support: generated PDFs, source fingerprints and a worker runner.
#pragma once

#include <QByteArray>
#include <QImage>
#include <QJsonObject>
#include <QList>
#include <QMap>
#include <QPointF>
#include <QRectF>
#include <QString>
#include <QStringList>

#include <string>

namespace testsupport {

enum class Encryption
{
    None,
    R2Rc4,
    R3Rc4,
    R4Aes128,
    R6Aes256
};

struct PdfRecipe
{
    int pages = 1;
    QString marker = QStringLiteral("doc"); // page i shows "<marker>-p<i+1>"
    QList<int> rotations{};                 // per page /Rotate, missing entries none
    int inheritedRotate = -1;               // /Rotate on the page tree root when >= 0
    double width = 612;
    double height = 792;
    double userUnit = 0; // /UserUnit of every page when not 0
    // A crop box this far inside the media box (twice as far at the foot)
    double cropInset = 0;
    bool emptyAcroForm = false;
    int sigFlags = -1;
    bool signedField = false;     // a /Sig field holding a value
    bool unsignedField = false;   // a /Sig field without a value
    bool docMdp = false;          // /Perms /DocMDP in the catalogue
    bool duplicateImages = false; // two identical image streams and an unreachable object
    bool objectStreams = false;   // objects packed into object streams with an xref stream
    Encryption encryption = Encryption::None;
    std::string userPassword{};
    std::string ownerPassword{};
    // The /Encrypt dictionary without /Length, which is valid: the key
    // length then follows from /V.
    bool omitKeyLength = false;
    bool allowModify = true;
    bool allowExtract = true;
    bool allowAssemble = true;
    // Bookmarks "<marker> 1" → p1 with "<marker> 1.1" → p2 (named "sec11" in
    // the name tree), "<marker> 2" → p3 (named "ch2" in /Dests, closed, red)
    // with "<marker> 2.1" → p4 (a GoTo action); on p2 links to p4 (a page
    // reference), to "ch2" and to p1 (a page number), each with /P; page
    // labels "A-i", "A-ii", then 1, 2 …; /PageMode /UseOutlines. Then
    // bookmarks of other kinds: "<marker> web" (a URI), "<marker> next" (the
    // viewer's NextPage), "<marker> remote" (GoToR) and the open heading
    // "<marker> part" without a destination over "<marker> part.1" → p3.
    // Needs 4 pages or more.
    bool navigation = false;
    // Bookmarks in outline order, "<level>|<title>|<page>": level 1 at the
    // top, the page 1-based, 0 for a web address instead.
    QStringList outline{};
    QString textField{}; // a text field of this name, valued <marker>, on page 1
    // The text field "name" (valued <marker>) and the radio group "choice"
    // (/b on), each with a widget on pages 1 and 2, in /CO in that order; the
    // button "go" on page 1, whose GoTo action names "formtarget" (page 2).
    bool fieldsAcrossPages = false;
    bool xfa = false;         // the form carries an XFA description
    bool hiddenLayer = false; // a black square on page 1 in a layer that is off
    // A watermark layer on page 1 that prints but is not shown: usage rules
    // (/AS), /Intent and an alternative configuration, and no panel order.
    bool printOnlyLayer = false;
    std::string language{}; // the catalogue's /Lang, with /ViewerPreferences and /Metadata
};

QByteArray makePdf(const PdfRecipe& recipe);

// What a Flate bomb inflates to.
enum class BombKind
{
    Zeros,    // a grey image of zeros
    Gradient, // a grey image whose rows each run through every level: a photograph
    Content,  // the page's content stream, the same few operators repeated
};
// A one-page PDF whose page draws `mebibytes` MiB of `kind`, stored as Flate
// data about a thousand times smaller; with `formDepth`, the image drawn
// through that many nested forms, each drawing the next ten times.
void writeFlateBomb(const QString& path, int mebibytes, int formDepth = 0,
                    BombKind kind = BombKind::Zeros);

// A page drawn with QPainter: as a picture of text (a scan, no text layer) or
// as real text.
struct DrawnPage
{
    QStringList lines;
    bool scanned = true;
    QString family = QStringLiteral("DejaVu Serif");
    int pointSize = 14;
    double skewDegrees = 0; // scans only
    int columns = 1;        // the lines fill this many columns, left to right
    bool seal = false;      // a red seal over the first lines (scans only; then in colour)
    // What a scanner adds to a sheet (scans only), SheetMark bits.
    int sheetMarks = 0;
};
enum SheetMark
{
    GreyNoise = 1,    // dim paper with grain and dust
    BleedThrough = 2, // the other side's text, mirrored and faint
    PageNumber = 4,   // "- 12 -" at the foot
    PunchHoles = 8,   // two punched holes' shadows at the left edge
    Photograph = 16,  // a photograph, 4 by 2.5 inches, from 480 points down
};
// A4 pages; scans are 8-bit grey images at `dpi`.
void writeDrawnPdf(const QString& path, const QList<DrawnPage>& pages, int dpi = 300);
// The picture of a scanned page, as placed into the PDF.
QImage drawScan(const DrawnPage& page, int dpi);

// How writeScanPdf stores a scan.
enum class ScanEncoding
{
    Jpeg,           // grey JPEG (DCTDecode)
    Flate,          // grey samples, lossless
    Bilevel,        // a 1-bit stencil mask painted black, as JBIG2 and CCITT scans are
    SoftMask,       // black samples shown through a soft mask that holds the page
    InvertedDecode, // inverted grey samples with /Decode [1 0]
    PlainFlate,     // the picture's own samples, RGB or grey, lossless and without predictors
    CmykJpeg,       // an Adobe CMYK JPEG of the picture
    // RGB stored without the colour transform and with component ids that
    // decoders take for YCbCr: only /ColorTransform 0, in a one-element
    // parameter array beside a one-element filter array, says how to read it
    UntransformedJpeg,
};
// A mask that writeScanPdf gives a JPEG or plain Flate scan, made from the
// picture's alpha channel.
enum class ScanMask
{
    None,
    Soft,    // the alpha as an 8-bit /SMask
    Stencil, // alpha below one half masked out by a 1-bit /Mask
};
struct ScanPlacement
{
    int rotate = 0;       // the page's /Rotate; the picture still shows upright
    QPointF cropOffset{}; // lower left corner of the crop box inside a larger media box
    ScanEncoding encoding = ScanEncoding::Jpeg;
    bool link = false;            // a link annotation over the top of the page
    double userUnit = 0;          // /UserUnit when not 0
    bool unusedResources = false; // a font and an image in the resources that nothing draws
    ScanMask mask = ScanMask::None;
};
// A one-page PDF whose crop box `picture`, an upright scan of `dpi`, fills as a
// viewer shows it. The picture's matrix does the turning, not its pixels.
void writeScanPdf(const QString& path, const QImage& picture, int dpi,
                  const ScanPlacement& placement = {});

// An image of smooth gradients in any layout a PDF allows, stored as plain
// Flate with its /DL, filling a one-page PDF.
struct SampledImage
{
    int components = 3; // 1 grey, 3 RGB, 4 CMYK, else DeviceN over CMYK
    int bits = 8;
    int width = 197; // not a multiple of 8: rows end inside a byte
    int height = 121;
    int colours = 0;   // when > 0, blocks of this many flat colours instead
    bool grey = false; // R = G = B in an RGB image
};
void writeSampledImagePdf(const QString& path, const SampledImage& image);

// Where a picture is drawn large besides its small placement in the page's
// content.
enum class LargePlacement
{
    Annotation, // a stamp annotation's appearance
    Pattern,    // a tiling pattern filling the page
    Type3Glyph, // a glyph of a Type 3 font
    SoftMask,   // the group of a soft mask
    DeepForms,  // forms nested deeper than anyone draws
};
// A one-page PDF drawing `picture` (colour, lossless) one inch wide in its
// content and eight inches wide through `large`.
void writePlacedImagePdf(const QString& path, const QImage& picture, LargePlacement large);

// Two layers with equal dictionaries, one on and one off, each holding a
// square; and two pages sharing one link annotation dictionary's twin.
void writeTwinLayersPdf(const QString& path);

// A page whose resources are also the form's /DR: /F1 drawn by the page,
// /F2 by an appearance stream without /Subtype that names the page's
// resources, /Cour and /ZaDb named only by fields' /DA.
void writeFormSharingPageResources(const QString& path);

// How a stamp is laid on a page, as stamping tools write it.
enum class StampStyle
{
    Text,    // a line of text in the page's content
    OnBox,   // the text on a white rectangle
    Overlay, // the text on its box in a form XObject drawn over the page
    Wrapped, // the page's content moved whole into a form, the overlay over it
    // a grey 60-pt watermark across the page, turned 45 degrees (the text
    // given comes after it, at the foot, as Text does)
    Watermark,
};
// Adds `text` in 7-pt Helvetica at the foot of every page of the PDF at
// `path`, as scanners and Bates numbering stamp scans.
void addTextStamp(const QString& path, const QString& text, StampStyle style = StampStyle::Text);
// Adds XMP metadata claiming PDF/A-<part><level> (the claim only).
void addPdfaClaim(const QString& path, int part, char level);

// Every page as Poppler renders it for a viewer (crop box, antialiased).
QList<QImage> renderPages(const QString& path, double dpi = 144, const QString& password = {});

// Structural similarity of two pictures of one size, as grey, over every 7×7
// window (1 for identical pictures); -1 when the sizes differ.
double ssim(const QImage& first, const QImage& second);
// Per page, the SSIM of two documents rendered in grey at `dpi`.
QList<double> pageSsim(const QString& first, const QString& second, double dpi = 100,
                       const QString& password = {});

// Text of one page as Poppler extracts it (0-based page index).
QString popplerText(const QString& path, int page);
int popplerPageCount(const QString& path);
// Where Poppler finds `word` on the page as a viewer shows it: points from the
// top left; an empty rectangle when it is not there.
QRectF popplerWordBox(const QString& path, int page, const QString& word);
void writePdf(const QString& path, const PdfRecipe& recipe);
// `source` written again with the encryption and restrictions of `protection`
// (its other members are ignored).
void writeProtectedCopy(const QString& source, const QString& target, const PdfRecipe& protection);
void writeBytes(const QString& path, const QByteArray& bytes);
// A valid one-page PDF of exactly `size` bytes, mostly a hole of zeros between
// the header and the objects, so large sizes cost no disk space.
void writeSparsePdf(const QString& path, qint64 size);

// What a generated or produced PDF holds, read back with QPDF.
struct PdfFacts
{
    bool opened = false;
    QString error;
    bool encrypted = false;
    bool ownerMatched = false;
    int encryptionRevision = 0;
    int permissions = 0;
    QStringList markers;    // first text string of each page's content
    QList<int> rotations{}; // effective /Rotate per page, in degrees
    QByteArray firstId;     // first element of the trailer's /ID
    bool hasEncryptDict = false;
};
PdfFacts inspectPdf(const QString& path, const std::string& password = std::string());

QStringList expectedMarkers(const QString& marker, const QList<int>& pagesOneBased);

// A document's navigation, read with QPDF; pages are 0-based indices into the
// document, -1 for a destination that is not one of its pages.
struct NavigationFacts
{
    // "<depth>|<title>|<page>|open" or "…|closed"; in place of the page an
    // action's type ("/URI") or "-" for none
    QStringList bookmarks;
    QStringList links;  // "<page>><target page>", "…?" when its /P is not that page
    QStringList names;  // "<name>><page>"
    QStringList labels; // per page: "<style><prefix><start>", e.g. "/rA-1", "/D1"
    bool showsOutlines = false;
};
NavigationFacts inspectNavigation(const QString& path);

// A document's form: each terminal field as "<full name>=<value>@<pages>", the
// pages (0-based, -1 for none) of its widgets that sit in that page's
// /Annots; "co:<full name>" for the calculation order; "<button>><page>" for
// a push button's GoTo.
QStringList inspectForm(const QString& path);

// Fingerprints of source files, to prove that an operation left them alone.
class SourceGuard
{
public:
    void add(const QString& path);
    bool unchanged() const;

private:
    QMap<QString, QByteArray> m_hashes;
};
QByteArray sha256File(const QString& path);

struct WorkerRun
{
    int exitCode = -1;
    bool crashed = false;
    QByteArray standardOutput;
    QByteArray standardError;
    QJsonObject result;
};
QString workerExecutable();
// A worker request; members of `extra` are added or replace the defaults.
QJsonObject makeRequest(const QString& operation, const QStringList& inputs, const QString& output,
                        const QJsonObject& extra = {});
WorkerRun runWorkerRaw(const QByteArray& input, int timeoutMs = 120000);
WorkerRun runWorker(const QJsonObject& request, int timeoutMs = 120000);

// Copies Debian's real Tesseract models and pdf.ttf into `folder`; false when
// one of them is missing on this machine.
bool fillModelsFolder(const QString& folder);

// Character error rate of `actual` against `expected`, white space ignored.
double characterErrorRate(const QString& expected, const QString& actual);

// `qpdf --check` finds nothing wrong with the file.
bool qpdfCheckClean(const QString& path, const QString& password = QString());

// A script in `folder` that appends its command line and environment to
// `record`, then runs the worker executable with its arguments; its path.
QString writeRecordingWrapper(const QString& folder, const QString& record);

// True once a worker holds the lock of a staging folder in `folder`: only
// then is the folder its own.
bool stagingLockHeld(const QString& folder);

// Entries of a folder, hidden ones included.
QStringList folderEntries(const QString& folder);
// Each page of a TIFF as "<compression> <bits>x<samples> <width>x<height> <dpi>",
// the compression "g4", "deflate" or its number.
QStringList tiffPages(const QString& path);

// A JPEG of `image` as a camera writes it, with an Exif orientation tag (1 to
// 8) unless `orientation` is 0.
QByteArray jpegFile(const QImage& image, int orientation = 0, int quality = 90);
// A multi-page bilevel TIFF in CCITT G4, in strips, white-is-zero.
void writeG4Tiff(const QString& path, const QList<QImage>& pages, int dpi);

} // namespace testsupport

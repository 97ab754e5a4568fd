#include "engine/pagegeometry.h"

#include "engine/matrix.h"

#include <qpdf/QPDFObjectHandle.hh>
#include <qpdf/QPDFPageObjectHelper.hh>

#include <algorithm>
#include <array>
#include <cmath>
#include <exception>
#include <vector>

namespace batch {

namespace {

// A picture covering at least this share of the visible box is the page's scan.
constexpr double coveringShare = 0.9;
// Fills and strokes that together cover less than this share of the box (a
// stamp's white box, a signature line, a border) leave the scan a scan.
constexpr double smallDrawingShare = 0.1;
// Forms nested deeper than this are not followed: the page is rendered.
constexpr int maxFormDepth = 8;

QRectF rectangle(QPDFObjectHandle box)
{
    if (!box.isArray() || box.getArrayNItems() != 4)
        return {};
    std::array<double, 4> values{};
    for (int i = 0; i < 4; ++i) {
        QPDFObjectHandle item = box.getArrayItem(i);
        if (!item.isNumber())
            return {};
        values[static_cast<size_t>(i)] = item.getNumericValue();
    }
    return QRectF(QPointF(values[0], values[1]), QPointF(values[2], values[3])).normalized();
}

// Follows the content of one page, into the forms it draws, and notes the
// pictures it draws and how much else a scan does not have: fills and strokes
// (by the area they span), shadings and inline images. Text is allowed:
// scanners, Bates numbering and fax machines stamp a line of it over the
// picture, often on a small white box or in a form laid over the page, and it
// stays searchable as it is, while the picture is read from its own pixels.
// Clipping paths are no drawing, but a picture they cut, or one drawn through
// a soft mask or blended, shows otherwise than its pixels: only the renderer
// reads it as it shows.
class PictureFinder : public QPDFObjectHandle::ParserCallbacks
{
public:
    explicit PictureFinder(QPDFObjectHandle resources, int depth = 0)
        : m_resources(resources),
          m_xobjects(resources.isDictionary() ? resources.getKey("/XObject")
                                              : QPDFObjectHandle::newNull()),
          m_states(resources.isDictionary() ? resources.getKey("/ExtGState")
                                            : QPDFObjectHandle::newNull()),
          m_depth(depth)
    {}

    void handleObject(QPDFObjectHandle object) override
    {
        if (!object.isOperator()) {
            m_operands.push_back(object);
            return;
        }
        const std::string op = object.getOperatorValue();
        if (op == "q") {
            m_stack.push_back(m_state);
        } else if (op == "Q") {
            if (!m_stack.empty()) {
                m_state = m_stack.back();
                m_stack.pop_back();
            }
        } else if (op == "cm" && m_operands.size() == 6) {
            const std::array<double, 6> m = numbers<6>();
            m_state.ctm = Matrix{m[0], m[1], m[2], m[3], m[4], m[5]}.followedBy(m_state.ctm);
        } else if (op == "Do" && m_operands.size() == 1 && m_operands[0].isName()) {
            drawn(m_operands[0].getName());
        } else if (op == "gs" && m_operands.size() == 1 && m_operands[0].isName()) {
            m_state.blended = m_state.blended || isBlending(m_operands[0].getName());
        } else if (isPainting(op)) {
            m_otherArea += m_pathBounds.width() * m_pathBounds.height();
            m_pathBounds = QRectF();
            m_path = QRectF();
            m_pathStarted = false;
        } else if (isDrawing(op)) {
            m_otherContent = true;
        } else {
            followPath(op);
        }
        m_operands.clear();
    }
    void handleEOF() override {}

    std::optional<CoveringPicture> covering(const QRectF& box) const
    {
        if (!onlyPictures(box) || m_pictures.size() != 1)
            return std::nullopt;
        const Picture& picture = m_pictures.front();
        const std::optional<double> dpi = coveringDpi(picture, box, picture.width, picture.height);
        if (!dpi)
            return std::nullopt;
        // A clip that leaves every visible pixel of the picture changes nothing.
        const QRectF shown = (picture.bounds & box).adjusted(1, 1, -1, -1);
        const bool cut =
            picture.clip && (picture.clip->isEmpty() || !picture.clip->contains(shown));
        const Matrix& m = picture.ctm;
        return CoveringPicture{
            picture.image, {m.a, m.b, m.c, m.d, m.e, m.f}, *dpi, cut || picture.blended};
    }

    // A page drawn by several pictures and nothing else, some of them
    // covering it, as scans written in layers are: the finest resolution of
    // the covering ones, a mask's own pixels counted.
    std::optional<double> layeredResolution(const QRectF& box) const
    {
        if (!onlyPictures(box) || m_pictures.size() < 2)
            return std::nullopt;
        std::optional<double> finest;
        for (const Picture& picture : m_pictures) {
            double width = picture.width;
            double height = picture.height;
            for (const char* key : {"/Mask", "/SMask"}) {
                QPDFObjectHandle image = picture.image;
                QPDFObjectHandle mask = image.getDict().getKey(key);
                if (!mask.isStream() || !mask.getDict().getKey("/Width").isInteger() ||
                    !mask.getDict().getKey("/Height").isInteger())
                    continue;
                width = std::max(width, double(mask.getDict().getKey("/Width").getIntValue()));
                height = std::max(height, double(mask.getDict().getKey("/Height").getIntValue()));
            }
            if (const std::optional<double> dpi = coveringDpi(picture, box, width, height))
                finest = std::max(finest.value_or(0.0), *dpi);
        }
        return finest;
    }

private:
    struct Picture;

    // Nothing drawn but pictures, text and drawings too small to matter.
    bool onlyPictures(const QRectF& box) const
    {
        return !m_otherContent && !box.isEmpty() &&
               m_otherArea < smallDrawingShare * box.width() * box.height();
    }

    // The resolution on the page of `picture`, counted as `width` × `height`
    // pixels, when it covers the box.
    static std::optional<double> coveringDpi(const Picture& picture, const QRectF& box,
                                             double width, double height)
    {
        const QRectF covered = picture.bounds & box;
        const double across = std::hypot(picture.ctm.a, picture.ctm.b);
        const double down = std::hypot(picture.ctm.c, picture.ctm.d);
        if (covered.width() * covered.height() < coveringShare * box.width() * box.height() ||
            across <= 0 || down <= 0)
            return std::nullopt;
        return std::min(width * 72.0 / across, height * 72.0 / down);
    }

    struct GraphicsState
    {
        Matrix ctm;
        // The clip in default user space, when one was set; empty when it is
        // no upright rectangle.
        std::optional<QRectF> clip;
        bool blended = false; // a soft mask, transparency or a blend mode applies
    };
    struct Picture
    {
        QPDFObjectHandle image;
        Matrix ctm;
        QRectF bounds;
        double width = 0;
        double height = 0;
        std::optional<QRectF> clip;
        bool blended = false;
    };

    template <size_t N> std::array<double, N> numbers()
    {
        std::array<double, N> values{};
        for (size_t i = 0; i < N && i < m_operands.size(); ++i)
            values[i] = m_operands[i].isNumber() ? m_operands[i].getNumericValue() : 0;
        return values;
    }

    // The path under construction: the area it spans in default user space,
    // and, as far as a clip needs it, one upright rectangle or not.
    void followPath(const std::string& op)
    {
        const Matrix& m = m_state.ctm;
        const auto at = [&m](double x, double y) {
            return QPointF(m.a * x + m.c * y + m.e, m.b * x + m.d * y + m.f);
        };
        const auto span = [&](const QPointF& point) {
            m_pathBounds = m_pathBounds.isNull() ? QRectF(point, QSizeF(0, 0))
                                                 : m_pathBounds.united(QRectF(point, QSizeF(0, 0)));
        };
        if (op == "re" && m_operands.size() == 4) {
            const std::array<double, 4> r = numbers<4>();
            span(at(r[0], r[1]));
            span(at(r[0] + r[2], r[1] + r[3]));
            span(at(r[0] + r[2], r[1]));
            span(at(r[0], r[1] + r[3]));
            const bool upright = (m.b == 0 && m.c == 0) || (m.a == 0 && m.d == 0);
            m_path = m_pathStarted || !upright
                         ? QRectF()
                         : spannedRect({at(r[0], r[1]), at(r[0] + r[2], r[1] + r[3])});
            m_pathStarted = true;
        } else if (op == "m" || op == "l" || op == "c" || op == "v" || op == "y" || op == "h") {
            for (size_t i = 0; i + 1 < m_operands.size(); i += 2) {
                if (m_operands[i].isNumber() && m_operands[i + 1].isNumber())
                    span(at(m_operands[i].getNumericValue(), m_operands[i + 1].getNumericValue()));
            }
            m_path = QRectF();
            m_pathStarted = true;
        } else if (op == "W" || op == "W*") {
            m_state.clip = m_state.clip ? (*m_state.clip & m_path) : m_path;
            if (m_state.clip->isEmpty())
                m_state.clip = QRectF();
        } else if (op == "n") {
            m_path = QRectF();
            m_pathBounds = QRectF();
            m_pathStarted = false;
        }
    }

    bool isBlending(const std::string& name)
    {
        QPDFObjectHandle state =
            m_states.isDictionary() ? m_states.getKey(name) : QPDFObjectHandle::newNull();
        if (!state.isDictionary())
            return false;
        QPDFObjectHandle mask = state.getKey("/SMask");
        QPDFObjectHandle alpha = state.getKey("/ca");
        QPDFObjectHandle blend = state.getKey("/BM");
        return (!mask.isNull() && !mask.isNameAndEquals("/None")) ||
               (alpha.isNumber() && alpha.getNumericValue() < 1) ||
               (!blend.isNull() && !blend.isNameAndEquals("/Normal") &&
                !blend.isNameAndEquals("/Compatible"));
    }

    static bool isPainting(const std::string& op)
    {
        static const std::array<const char*, 9> painting{"S", "s",  "f", "F", "f*",
                                                         "B", "B*", "b", "b*"};
        return std::any_of(painting.begin(), painting.end(),
                           [&op](const char* name) { return op == name; });
    }

    static bool isDrawing(const std::string& op) { return op == "sh" || op == "BI" || op == "EI"; }

    void drawn(const std::string& name)
    {
        QPDFObjectHandle xobject =
            m_xobjects.isDictionary() ? m_xobjects.getKey(name) : QPDFObjectHandle::newNull();
        if (!xobject.isStream()) {
            m_otherContent = true;
            return;
        }
        QPDFObjectHandle dict = xobject.getDict();
        if (dict.getKey("/Subtype").isNameAndEquals("/Form")) {
            drawnForm(xobject);
            return;
        }
        QPDFObjectHandle width = dict.getKey("/Width");
        QPDFObjectHandle height = dict.getKey("/Height");
        if (!dict.getKey("/Subtype").isNameAndEquals("/Image") || !width.isInteger() ||
            !height.isInteger() || width.getIntValue() < 1 || height.getIntValue() < 1) {
            m_otherContent = true;
            return;
        }
        const Matrix& m = m_state.ctm;
        const std::array<QPointF, 4> corners{QPointF(m.e, m.f), QPointF(m.a + m.e, m.b + m.f),
                                             QPointF(m.c + m.e, m.d + m.f),
                                             QPointF(m.a + m.c + m.e, m.b + m.d + m.f)};
        const QRectF bounds = spannedRect({corners[0], corners[1], corners[2], corners[3]});
        m_pictures.push_back({xobject, m_state.ctm, bounds, double(width.getIntValue()),
                              double(height.getIntValue()), m_state.clip, m_state.blended});
    }

    // A form's content as if it were the page's, under the form's matrix and
    // clipped to its box; its pictures and drawings are the page's.
    void drawnForm(QPDFObjectHandle form)
    {
        QPDFObjectHandle dict = form.getDict();
        if (m_depth >= maxFormDepth) {
            m_otherContent = true;
            return;
        }
        QPDFObjectHandle resources = dict.getKey("/Resources");
        PictureFinder inner(resources.isDictionary() ? resources : m_resources, m_depth + 1);
        inner.m_state = m_state;
        QPDFObjectHandle matrix = dict.getKey("/Matrix");
        if (matrix.isArray() && matrix.getArrayNItems() == 6) {
            std::array<double, 6> m{};
            for (int i = 0; i < 6; ++i) {
                QPDFObjectHandle item = matrix.getArrayItem(i);
                m[size_t(i)] = item.isNumber() ? item.getNumericValue() : 0;
            }
            inner.m_state.ctm = Matrix{m[0], m[1], m[2], m[3], m[4], m[5]}.followedBy(m_state.ctm);
        }
        // The form's box clips what it draws: a clip like any other.
        const QRectF bbox = rectangle(dict.getKey("/BBox"));
        const Matrix& c = inner.m_state.ctm;
        if (!bbox.isEmpty() && ((c.b == 0 && c.c == 0) || (c.a == 0 && c.d == 0))) {
            const auto at = [&c](double x, double y) {
                return QPointF(c.a * x + c.c * y + c.e, c.b * x + c.d * y + c.f);
            };
            const QRectF shown =
                spannedRect({at(bbox.left(), bbox.top()), at(bbox.right(), bbox.bottom())});
            inner.m_state.clip = inner.m_state.clip ? (*inner.m_state.clip & shown) : shown;
        } else {
            inner.m_state.clip = QRectF();
        }
        try {
            QPDFObjectHandle::parseContentStream(form, &inner);
        } catch (const std::exception&) {
            m_otherContent = true;
            return;
        }
        m_pictures.insert(m_pictures.end(), inner.m_pictures.begin(), inner.m_pictures.end());
        m_otherContent = m_otherContent || inner.m_otherContent;
        m_otherArea += inner.m_otherArea;
    }

    QPDFObjectHandle m_resources;
    QPDFObjectHandle m_xobjects;
    QPDFObjectHandle m_states;
    std::vector<QPDFObjectHandle> m_operands;
    GraphicsState m_state;
    std::vector<GraphicsState> m_stack;
    QRectF m_path;
    bool m_pathStarted = false;
    std::vector<Picture> m_pictures;
    bool m_otherContent = false;
    double m_otherArea = 0; // spanned by fills and strokes, in square points
    QRectF m_pathBounds;
    int m_depth = 0;
};

// Whether a viewer draws an annotation over the page: one with an appearance
// that is not hidden. (Links without one draw nothing.)
bool drawsAnnotations(QPDFObjectHandle page)
{
    QPDFObjectHandle annotations = page.getKey("/Annots");
    if (!annotations.isArray())
        return false;
    for (QPDFObjectHandle& annotation : annotations.aitems()) {
        if (!annotation.isDictionary() || !annotation.getKey("/AP").isDictionary())
            continue;
        QPDFObjectHandle flags = annotation.getKey("/F");
        constexpr long long hidden = 2;
        constexpr long long noView = 32;
        if (!flags.isInteger() || (flags.getIntValue() & (hidden | noView)) == 0)
            return true;
    }
    return false;
}

} // namespace

PageGeometry pageGeometry(QPDFObjectHandle page)
{
    PageGeometry geometry;
    QPDFPageObjectHelper helper(page);
    const QRectF media = rectangle(helper.getMediaBox());
    QRectF crop = rectangle(helper.getCropBox());
    crop = crop.isEmpty() ? media : (crop & media);
    geometry.cropBox = crop.isEmpty() ? media : crop;

    QPDFObjectHandle rotate = helper.getAttribute("/Rotate", false);
    int degrees = rotate.isInteger() ? int(rotate.getIntValue() % 360) : 0;
    degrees = (degrees + 360) % 360;
    geometry.rotate = degrees % 90 == 0 ? degrees : 0;

    return geometry;
}

QRectF spannedRect(std::initializer_list<QPointF> points)
{
    const QPointF first = *points.begin();
    double left = first.x(), right = left, low = first.y(), high = low;
    for (const QPointF& point : points) {
        left = std::min(left, point.x());
        right = std::max(right, point.x());
        low = std::min(low, point.y());
        high = std::max(high, point.y());
    }
    return QRectF(left, low, right - left, high - low);
}

std::optional<CoveringPicture> coveringPicture(QPDFObjectHandle page, const QRectF& cropBox)
{
    try {
        QPDFPageObjectHelper helper(page);
        PictureFinder finder(helper.getAttribute("/Resources", false));
        helper.parseContents(&finder);
        std::optional<CoveringPicture> picture = finder.covering(cropBox);
        if (picture && !picture->rendered)
            picture->rendered = drawsAnnotations(page);
        return picture;
    } catch (const std::exception&) {
        return std::nullopt; // content we cannot follow is rendered instead
    }
}

std::optional<double> layeredScanResolution(QPDFObjectHandle page, const QRectF& cropBox)
{
    try {
        QPDFPageObjectHelper helper(page);
        PictureFinder finder(helper.getAttribute("/Resources", false));
        helper.parseContents(&finder);
        return finder.layeredResolution(cropBox);
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

QList<double> viewerToUserMatrix(const QRectF& cropBox, int rotate, const QSizeF& viewerSize)
{
    const double w = cropBox.width();
    const double h = cropBox.height();
    const double x = cropBox.left();
    const double y = cropBox.top(); // the lower left corner: y grows upwards here
    const bool sideways = rotate == 90 || rotate == 270;
    const double kx = (sideways ? h : w) / viewerSize.width();
    const double ky = (sideways ? w : h) / viewerSize.height();
    switch (rotate) {
    case 90:
        return {0, kx, -ky, 0, x + w, y};
    case 180:
        return {-kx, 0, 0, -ky, x + w, y + h};
    case 270:
        return {0, -kx, ky, 0, x, y + h};
    default:
        return {kx, 0, 0, ky, x, y};
    }
}

} // namespace batch

// Where each image is drawn: the current transformation matrix is followed
// through q, Q and cm in every page's content and into the forms it draws.
// Only images drawn this way are counted; one drawn only by a pattern, a
// glyph or an annotation has no size here and is left as it is.
#include "engine/imageplacement.h"

#include "engine/matrix.h"

#include <qpdf/QPDF.hh>
#include <qpdf/QPDFPageDocumentHelper.hh>
#include <qpdf/QPDFPageObjectHelper.hh>

#include <algorithm>
#include <cmath>
#include <optional>
#include <set>
#include <vector>

namespace batch {

namespace {

constexpr int maxFormDepth = 16;
// Forms drawn across the document, counted each time: a form that draws
// another ten times, sixteen deep, would otherwise take forever.
constexpr long maxFormVisits = 50000;

// What the walk shares across forms and pages.
struct Walk
{
    std::set<QPDFObjGen> open; // the forms being walked, against loops
    long formsLeft = maxFormVisits;
    bool exhausted = false; // some placements were never seen
};

std::optional<Matrix> matrixOf(const std::vector<QPDFObjectHandle>& numbers)
{
    if (numbers.size() < 6)
        return std::nullopt;
    double values[6];
    for (size_t i = 0; i < 6; ++i) {
        QPDFObjectHandle number = numbers[numbers.size() - 6 + i];
        if (!number.isNumber())
            return std::nullopt;
        values[i] = number.getNumericValue();
        if (!std::isfinite(values[i]))
            return std::nullopt;
    }
    return Matrix{values[0], values[1], values[2], values[3], values[4], values[5]};
}

class PlacementWalker : public QPDFObjectHandle::ParserCallbacks
{
public:
    PlacementWalker(ImagePlacements& placements, QPDFObjectHandle resources, Matrix start,
                    double inchesPerUnit, Walk& walk, int depth)
        : m_placements(placements), m_resources(resources), m_inchesPerUnit(inchesPerUnit),
          m_walk(walk), m_depth(depth)
    {
        m_stack.push_back(start);
    }

    void handleObject(QPDFObjectHandle object) override
    {
        if (!object.isOperator()) {
            m_operands.push_back(object);
            return;
        }
        const std::string op = object.getOperatorValue();
        if (op == "q") {
            m_stack.push_back(m_stack.back());
        } else if (op == "Q") {
            if (m_stack.size() > 1)
                m_stack.pop_back();
        } else if (op == "cm") {
            if (std::optional<Matrix> matrix = matrixOf(m_operands))
                m_stack.back() = matrix->followedBy(m_stack.back());
        } else if (op == "Do" && !m_operands.empty() && m_operands.back().isName()) {
            draw(m_operands.back().getName());
        }
        m_operands.clear();
    }

    void handleEOF() override {}

private:
    void draw(const std::string& name)
    {
        if (!m_resources.isDictionary())
            return;
        QPDFObjectHandle objects = m_resources.getKey("/XObject");
        QPDFObjectHandle object = objects.isDictionary() ? objects.getKey(name) : objects;
        if (!object.isStream())
            return;
        QPDFObjectHandle dictionary = object.getDict();
        const Matrix& ctm = m_stack.back();
        if (dictionary.getKey("/Subtype").isNameAndEquals("/Image")) {
            // The unit square's sides as drawn, in inches.
            ImagePlacement& largest = m_placements[object.getObjGen()];
            largest.widthInches =
                std::max(largest.widthInches, std::hypot(ctm.a, ctm.b) * m_inchesPerUnit);
            largest.heightInches =
                std::max(largest.heightInches, std::hypot(ctm.c, ctm.d) * m_inchesPerUnit);
            return;
        }
        if (!dictionary.getKey("/Subtype").isNameAndEquals("/Form") || m_depth >= maxFormDepth ||
            m_walk.exhausted || m_walk.open.count(object.getObjGen()) != 0)
            return;
        if (--m_walk.formsLeft < 0) {
            m_walk.exhausted = true;
            return;
        }
        m_walk.open.insert(object.getObjGen());
        Matrix start = ctm;
        QPDFObjectHandle matrix = dictionary.getKey("/Matrix");
        if (matrix.isArray()) {
            if (std::optional<Matrix> own = matrixOf(matrix.getArrayAsVector()))
                start = own->followedBy(ctm);
        }
        QPDFObjectHandle resources = dictionary.getKey("/Resources");
        PlacementWalker inner(m_placements, resources.isDictionary() ? resources : m_resources,
                              start, m_inchesPerUnit, m_walk, m_depth + 1);
        try {
            QPDFObjectHandle::parseContentStream(object, &inner);
        } catch (const std::exception&) {
            // What was read of a damaged form still counts.
        }
        m_walk.open.erase(object.getObjGen());
    }

    ImagePlacements& m_placements;
    QPDFObjectHandle m_resources;
    double m_inchesPerUnit;
    Walk& m_walk;
    int m_depth;
    std::vector<Matrix> m_stack;
    std::vector<QPDFObjectHandle> m_operands;
};

} // namespace

ImagePlacements largestPlacements(QPDF& pdf)
{
    ImagePlacements placements;
    Walk walk;
    for (QPDFPageObjectHelper& page : QPDFPageDocumentHelper(pdf).getAllPages()) {
        QPDFObjectHandle unit = page.getObjectHandle().getKey("/UserUnit");
        const double userUnit =
            unit.isNumber() && unit.getNumericValue() > 0 ? unit.getNumericValue() : 1.0;
        PlacementWalker walker(placements, page.getAttribute("/Resources", false), Matrix{},
                               userUnit / 72.0, walk, 0);
        try {
            page.parseContents(&walker);
        } catch (const std::exception&) {
            // A page whose content cannot be read keeps what was found before the damage.
        }
    }
    // An image seen at a small size may be drawn larger where the walk did
    // not reach: then no size is known for any.
    return walk.exhausted ? ImagePlacements{} : placements;
}

} // namespace batch

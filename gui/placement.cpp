// Where the window opens: where it was last left, or, the first time, centred
// on the screen at a size that fits it with room for a title bar and panel.
#include "gui/batchwindow.h"

#include <QGuiApplication>
#include <QScreen>
#include <QSettings>

#include <algorithm>

using namespace Qt::StringLiterals;

namespace batch {

namespace {

const QString geometryKey = u"window/geometry"_s;

// What the window uses well: beyond this, large screens get margins.
constexpr QSize preferredSize(1600, 1000);
// Room left for the window manager's frame and title bar.
constexpr QSize frameAllowance(48, 56);

} // namespace

QRect firstStartGeometry(const QRect& available)
{
    const QSize size(
        std::max(1, std::min(preferredSize.width(), available.width() - frameAllowance.width())),
        std::max(1,
                 std::min(preferredSize.height(), available.height() - frameAllowance.height())));
    QRect placed(QPoint(0, 0), size);
    placed.moveCenter(available.center());
    // Two thirds of the room above, where the title bar goes.
    placed.moveTop(available.top() + (available.height() - size.height()) * 2 / 3);
    return placed;
}

void BatchWindow::placeOnScreen()
{
    const QScreen* screen = QGuiApplication::primaryScreen();
    const QRect available = screen ? screen->availableGeometry() : QRect(0, 0, 1280, 680);
    // Never a smallest size larger than the screen.
    setMinimumSize(std::min(960, available.width() - frameAllowance.width()),
                   std::min(600, available.height() - frameAllowance.height()));
    // Qt moves a window restored onto a screen that is gone back onto one.
    if (restoreGeometry(QSettings().value(geometryKey).toByteArray()))
        return;
    setGeometry(firstStartGeometry(available));
}

void BatchWindow::saveWindowState() const
{
    QSettings().setValue(geometryKey, saveGeometry());
}

} // namespace batch

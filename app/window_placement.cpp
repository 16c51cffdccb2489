#include "app/window_placement.h"

#include <QGuiApplication>
#include <QScreen>
#include <QWidget>

#include <algorithm>

QSize ClientSizeForOuter(const QSize& outer, const QWidget* reference) {
    QSize extra = kNominalFrameExtra;
    if (reference != nullptr && reference->isVisible()) {
        const QSize framed = reference->frameGeometry().size() - reference->size();
        if (framed.width() > 0 || framed.height() > 0) extra = framed;
    }
    return (outer - extra).expandedTo(QSize(1, 1));
}

QPoint KeepOnScreen(const QRect& frame, const QRect& available) {
    const int x =
        std::max(available.left(), std::min(frame.left(), available.right() + 1 - frame.width()));
    const int y =
        std::max(available.top(), std::min(frame.top(), available.bottom() + 1 - frame.height()));
    return {x, y};
}

void PlaceOnScreen(QWidget& window, const QPoint& frameTopLeft, const QSize& outer) {
    QPoint at = frameTopLeft;
    const QScreen* screen = QGuiApplication::screenAt(frameTopLeft);
    if (screen == nullptr) screen = window.screen();
    if (screen != nullptr)
        at = KeepOnScreen(QRect(frameTopLeft, outer), screen->availableGeometry());
    window.move(at);
}

#include "app/diag/fixed_font.h"

#include <QFontDatabase>
#include <QFontInfo>
#include <QString>
#include <QStringList>

namespace {

bool ResolvesFixed(const QFont& font) {
    return QFontInfo(font).fixedPitch();
}

QFont ChooseFixedFont() {
    QFont system = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    system.setStyleHint(QFont::TypeWriter);
    if (ResolvesFixed(system)) return system;

    const QStringList installed = QFontDatabase::families();
    const QStringList preferred = {
        QStringLiteral("DejaVu Sans Mono"), QStringLiteral("Liberation Mono"),
        QStringLiteral("Noto Mono"),        QStringLiteral("Ubuntu Mono"),
        QStringLiteral("FreeMono"),         QStringLiteral("Nimbus Mono PS"),
        QStringLiteral("Courier New"),
    };
    for (const QString& family : preferred) {
        if (!installed.contains(family)) continue;
        QFont font(family);
        font.setStyleHint(QFont::TypeWriter);
        if (ResolvesFixed(font)) return font;
    }
    for (const QString& family : installed) {
        if (!QFontDatabase::isFixedPitch(family)) continue;
        QFont font(family);
        if (ResolvesFixed(font)) return font;
    }
    return system;  // nothing better on this machine
}

}  // namespace

QFont FixedPitchFont(int pixelSize) {
    // The font database does not change under a running program; look once.
    static const QFont chosen = ChooseFixedFont();
    QFont font = chosen;
    font.setPixelSize(pixelSize);
    return font;
}

#include "DialogUnits.h"

#include <QFontMetrics>
#include <QString>
#include <QStringList>

#include <cstdlib>

CDialogUnits CDialogUnits::FromFont(const QFont& font) {
    QFontMetrics metrics(font);
    static const QString kLetters =
        QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz");
    // Average of the 52 letters, rounded to whole pixels the way the templates' system does
    // it: (width / 26 + 1) / 2.
    int width = metrics.horizontalAdvance(kLetters);
    int baseX = (width / 26 + 1) / 2;
    int baseY = metrics.height();
    return CDialogUnits(baseX > 0 ? baseX : 1, baseY > 0 ? baseY : 1);
}

int CDialogUnits::MulDiv(int a, int b, int c) {
    if (c == 0)
        return -1;
    long long product = static_cast<long long>(a) * b;
    long long half = std::llabs(static_cast<long long>(c)) / 2;
    bool negative = (product < 0) != (c < 0);
    long long magnitude = (std::llabs(product) + half) / std::llabs(static_cast<long long>(c));
    return static_cast<int>(negative ? -magnitude : magnitude);
}

QFont DialogFont() {
    QFont font;
    // The templates' own face where the system has it, else the common sans-serif face of
    // Linux desktops; its line height suits the templates' vertical units better than the
    // URW faces that fontconfig would substitute.
    font.setFamilies(QStringList{QStringLiteral("MS Sans Serif"), QStringLiteral("DejaVu Sans")});
    font.setStyleHint(QFont::SansSerif);
    font.setPointSize(8);
    return font;
}

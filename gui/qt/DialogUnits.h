// Dialog units: the layout unit of the program's dialog templates.
//
// A template gives every position and size in dialog units, which scale with the dialog's font:
// horizontally a quarter of the font's average character width, vertically an eighth of its
// character height. The average width is that of the 52 letters A-Z and a-z, rounded to whole
// pixels, and the height is the font's line height (ascent plus descent). Converting with the
// font the dialog really uses keeps the template's proportions whatever font the system has.
//
// GUI thread only (font metrics need the application's font database).
#pragma once

#include <QFont>
#include <QRect>
#include <QSize>

class CDialogUnits {
public:
    // Base units in pixels: average character width and character height.
    CDialogUnits(int baseX, int baseY) : m_baseX(baseX), m_baseY(baseY) {}

    // Base units of a font.
    static CDialogUnits FromFont(const QFont& font);

    int X(int du) const { return MulDiv(du, m_baseX, 4); }
    int Y(int du) const { return MulDiv(du, m_baseY, 8); }
    QRect Rect(int x, int y, int width, int height) const {
        return QRect(X(x), Y(y), X(width), Y(height));
    }
    QSize Size(int width, int height) const { return QSize(X(width), Y(height)); }

    int BaseX() const { return m_baseX; }
    int BaseY() const { return m_baseY; }

    // a * b / c rounded to the nearest integer (halves away from zero), as template scaling does.
    static int MulDiv(int a, int b, int c);

private:
    int m_baseX;
    int m_baseY;
};

// The font of the program's dialogs: a plain sans-serif face at 8 points, the closest this
// system has to the templates' "MS Sans Serif" 8 pt.
QFont DialogFont();

#pragma once

#include <QFont>
#include <QHash>
#include <QList>
#include <QPointF>
#include <QRawFont>

class QPainter;

namespace quillon::settings {

// Lines of texts of plain characters, drawn as their glyphs side by side. Laying a text out
// (itemizing and shaping it, to measure it and again to draw it) costs several times what
// blending its glyphs does; a text of digits, punctuation and Chinese characters that the
// font's own face holds, each one glyph, looks the same drawn glyph by glyph. A line gathers
// the texts of several cells and is drawn in one call.
class PlainGlyphs {
public:
    // The font the texts are drawn in; a change forgets every glyph met so far.
    void setFont(const QFont& font);

    // Adds `text` to the line at `x` pixels from its start, when every character of it is
    // plain and it is at most `maxWidth` wide; false otherwise (it is then to be drawn laid
    // out). `width`, when given, receives its width.
    bool add(const QString& text, qreal x, qreal maxWidth, qreal* width = nullptr);
    // Draws the line gathered so far, its start at `origin` on the baseline, and empties it.
    void draw(QPainter& painter, const QPointF& origin);

private:
    struct Glyph {
        quint32 index = 0;
        bool plain = false;
    };
    const Glyph& glyph(QChar c);

    QFont font_;
    QRawFont raw_;
    QHash<char16_t, Glyph> glyphs_;
    QList<quint32> text_; // the glyphs of the text being added
    QList<quint32> indexes_;
    QList<QPointF> positions_;
};

} // namespace quillon::settings

#include "ui/settings/PlainGlyphs.h"

#include <QGlyphRun>
#include <QPainter>

namespace quillon::settings {

void PlainGlyphs::setFont(const QFont& font) {
    if (raw_.isValid() && font == font_) {
        return;
    }
    font_ = font;
    raw_ = QRawFont::fromFont(font);
    glyphs_.clear();
}

const PlainGlyphs::Glyph& PlainGlyphs::glyph(QChar c) {
    auto known = glyphs_.constFind(c.unicode());
    if (known != glyphs_.constEnd()) {
        return *known;
    }
    Glyph g;
    // Digits, punctuation, spaces and Chinese characters: what the log's times, addresses,
    // ports and actions are made of. Letters are left to the layout, which may join them
    // (Latin "ff" into one glyph) or mark, join and reorder them in other scripts.
    const bool common = c.script() == QChar::Script_Common &&
                        (c.isDigit() || c.isPunct() || c.isSpace()) && !c.isSurrogate();
    const bool simple = (common || c.script() == QChar::Script_Han) && !c.isMark() &&
                        c.direction() != QChar::DirR && c.direction() != QChar::DirAL;
    if (simple && raw_.supportsCharacter(c)) {
        const QList<quint32> index = raw_.glyphIndexesForString(QString(c));
        if (index.size() == 1 && index[0] != 0) {
            g.index = index[0];
            g.plain = true;
        }
    }
    return *glyphs_.insert(c.unicode(), g);
}

bool PlainGlyphs::add(const QString& text, qreal x, qreal maxWidth, qreal* width) {
    if (!raw_.isValid()) {
        return false;
    }
    text_.clear();
    for (const QChar c : text) {
        const Glyph& g = glyph(c);
        if (!g.plain) {
            return false;
        }
        text_.append(g.index);
    }
    // The font's kerning applies as it would to the laid-out text.
    const QList<QPointF> advances = raw_.advancesForGlyphIndexes(text_, QRawFont::KernedAdvances);
    qreal total = 0;
    for (const QPointF& advance : advances) {
        total += advance.x();
    }
    if (width != nullptr) {
        *width = total;
    }
    if (total > maxWidth) {
        return false;
    }
    for (qsizetype i = 0; i < text_.size(); ++i) {
        indexes_.append(text_[i]);
        positions_.append(QPointF(x, 0));
        x += advances[i].x();
    }
    return true;
}

void PlainGlyphs::draw(QPainter& painter, const QPointF& origin) {
    if (!indexes_.isEmpty()) {
        QGlyphRun run;
        run.setRawFont(raw_);
        run.setGlyphIndexes(indexes_);
        run.setPositions(positions_);
        painter.drawGlyphRun(origin, run);
    }
    indexes_.clear();
    positions_.clear();
}

} // namespace quillon::settings

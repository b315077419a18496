#pragma once

#include <QCheckBox>
#include <QColor>
#include <QFont>
#include <QLabel>
#include <QString>
#include <QWidget>

#include "theme/symbol_set.hpp"

namespace corvel::setup {

using theme::SymbolImage;

// A short tracked caption on a capsule of its own colour; 10 px heavy unless said otherwise.
struct CapsuleStyle {
    int fontPixelSize = 10;
    QFont::Weight weight = QFont::ExtraBold;
    qreal tracking = 0;
    int horizontalPadding = 0;
    int verticalPadding = 0;
    qreal fillOpacity = 0.1;  // of the text colour, for the capsule
};

class CapsuleBadge : public QLabel {
public:
    CapsuleBadge(const QString& text, const QColor& color, const CapsuleStyle& style, QWidget* parent = nullptr);

    void setColor(const QColor& color);
    const QColor& color() const { return color_; }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QColor color_;
    qreal fillOpacity_;
};

// A rounded rectangle filled and, when `stroke` is not clear, outlined; its layout holds the
// content.
class RoundedBox : public QWidget {
public:
    RoundedBox(qreal cornerRadius, const QColor& fill, const QColor& stroke = Qt::transparent, QWidget* parent = nullptr);

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    qreal cornerRadius_;
    QColor fill_;
    QColor stroke_;
};

// The colour at this opacity.
QColor withOpacity(QColor color, qreal opacity);

// A label in a font and colour of the theme.
QLabel* makeLabel(const QString& text, int pixelSize, QFont::Weight weight, const QColor& color,
                  QWidget* parent = nullptr);
// A label whose text the user can select and copy.
QLabel* makeSelectableLabel(const QString& text, int pixelSize, QFont::Weight weight, const QColor& color,
                            QWidget* parent = nullptr);

// A checkbox in the theme's text colour.
QCheckBox* makeCheckbox(const QString& text, int pixelSize, QFont::Weight weight, const QColor& color,
                        QWidget* parent = nullptr);

}  // namespace corvel::setup

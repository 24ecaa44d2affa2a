// Selector buttons: colour schemes drawn through a style sheet, with hover, pressed and disabled looks.
#include "ui/selector_button.h"

namespace {

struct Colours {
    const char* face;
    const char* light;
    const char* shadow;
    const char* hover;
};

constexpr Colours chrome{"#C0C0C0", "#FFFFFF", "#C0C0C0", "#D0D0D0"};
constexpr Colours green{"#00AF00", "#30FF30", "#008000", "#60CF60"};

QString style_for(const Colours& c, const QFont& font) {
    // A style sheet replaces the widget's font resolution, so the window's font is restated here.
    return QStringLiteral("QPushButton { background-color: %1; color: black; border: 2px solid;"
                          " border-top-color: %2; border-left-color: %2;"
                          " border-bottom-color: %3; border-right-color: %3;"
                          " font-family: \"%5\"; font-size: %6px; font-weight: bold; }"
                          "QPushButton:hover { background-color: %4; }"
                          "QPushButton:pressed { background-color: white;"
                          " border-top-color: %3; border-left-color: %3;"
                          " border-bottom-color: %2; border-right-color: %2; }"
                          // Keyboard users must see where the focus is: a dotted black edge.
                          "QPushButton:focus { border-style: dotted; border-color: black; }"
                          "QPushButton:disabled { color: #808080; }")
        .arg(QLatin1String(c.face), QLatin1String(c.light), QLatin1String(c.shadow), QLatin1String(c.hover),
             font.family())
        .arg(font.pixelSize() > 0 ? font.pixelSize() : 13);
}

} // namespace

SelectorButton::SelectorButton(const QString& caption, QWidget* parent) : QPushButton(caption, parent) {
    setAccessibleName(caption);
    setCursor(Qt::PointingHandCursor);
    setCheckable(false);
    setFixedSize(120, 49);
    setScheme(Scheme::chrome);
}

void SelectorButton::setScheme(Scheme scheme) {
    // Unchanged schemes are common (every poll reply): re-applying a style sheet would re-polish for nothing.
    if (scheme == scheme_ && !styleSheet().isEmpty())
        return;
    scheme_ = scheme;
    setStyleSheet(style_for(scheme == Scheme::green ? green : chrome, font()));
    // The colour alone would leave a screen reader without the selection.
    setAccessibleDescription(scheme == Scheme::green ? QStringLiteral("выбран") : QString());
}

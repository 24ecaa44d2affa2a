// The four selector buttons of the main window: a push button with a chrome and a green colour scheme.
#pragma once

#include <QPushButton>

class SelectorButton : public QPushButton {
    Q_OBJECT
public:
    enum class Scheme { chrome, green };

    SelectorButton(const QString& caption, QWidget* parent);

    // Recolours the button; only the scheme marks the selected one, the button never stays down.
    void setScheme(Scheme scheme);
    Scheme scheme() const { return scheme_; }

private:
    Scheme scheme_ = Scheme::chrome;
};

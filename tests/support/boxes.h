// Answering the program's modal message boxes in tests.
#pragma once

#include <QApplication>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>

#include <functional>

// Presses `press` on every message box shown while it lives, after recording the box and letting
// `inspect` look at the program while the box is still open.
class BoxAnswerer : public QObject {
public:
    explicit BoxAnswerer(QMessageBox::StandardButton press, std::function<void(QMessageBox*)> inspect = {})
        : press_(press), inspect_(std::move(inspect)) {
        qApp->installEventFilter(this);
    }
    ~BoxAnswerer() override { qApp->removeEventFilter(this); }

    struct Seen {
        QString title, text;
        QMessageBox::Icon icon;
        QMessageBox::StandardButtons buttons;
        QWidget* parent;
    };
    std::vector<Seen> seen;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        auto* box = qobject_cast<QMessageBox*>(watched);
        if (box && event->type() == QEvent::Show) {
            QTimer::singleShot(0, box, [this, box] {
                seen.push_back({box->windowTitle(), box->text(), box->icon(), box->standardButtons(),
                                box->parentWidget()});
                if (inspect_)
                    inspect_(box);
                // A box without that button (a question) gets its default answer.
                QAbstractButton* b = box->button(press_);
                if (b == nullptr)
                    b = box->defaultButton();
                if (b != nullptr)
                    b->click();
            });
        }
        return false;
    }

private:
    QMessageBox::StandardButton press_;
    std::function<void(QMessageBox*)> inspect_;
};

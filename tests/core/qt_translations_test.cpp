// Qt's own texts in Russian: the standard buttons and the file dialog the window opens.
#include "tests/support/qt_russian.h"

#include <QFileDialog>
#include <QMessageBox>
#include <QPushButton>

#include <gtest/gtest.h>

TEST(QtTranslations, StandardButtonsAndTheFileDialogAreRussianOnceLoaded) {
    const QtRussian russian;
    if (!russian)
        GTEST_SKIP() << "Qt's Russian translation (qtbase_ru.qm) is not installed";

    QMessageBox box(QMessageBox::Question, QStringLiteral("t"), QStringLiteral("t"),
                    QMessageBox::Ok | QMessageBox::Cancel);
    EXPECT_EQ(box.button(QMessageBox::Cancel)->text().toStdString(), "Отмена");

    QFileDialog dialog;
    dialog.setOption(QFileDialog::DontUseNativeDialog);
    const std::pair<QFileDialog::DialogLabel, const char*> labels[] = {
        {QFileDialog::LookIn, "Look in:"},
        {QFileDialog::FileName, "File name:"},
        {QFileDialog::FileType, "Files of type:"},
    };
    for (const auto& [label, english] : labels) {
        const QString shown = dialog.labelText(label);
        EXPECT_FALSE(shown.isEmpty()) << english;
        EXPECT_NE(shown.toStdString(), english);
        EXPECT_TRUE(std::any_of(shown.begin(), shown.end(),
                                [](QChar c) { return c.script() == QChar::Script_Cyrillic; }))
            << english << " is shown as " << shown.toStdString();
    }
}

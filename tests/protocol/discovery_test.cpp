// Bringing the link up and finding the unit: the carried library, discovery and the windows' states.
#include "core/ui_handover.h"
#include "protocol/library_file.h"
#include "protocol/permission_hint.h"
#include "tests/support/boxes.h"
#include "tests/support/unit_double.h"
#include "tests/support/wait.h"
#include "tests/support/window_controls.h"
#include "tests/support/worker.h"
#include "ui/settings.h"
#include "ui/umain.h"
#include "update/uu.h"

#include <QDir>
#include <QFile>
#include <QFrame>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QStatusBar>
#include <QTemporaryDir>

#include <gtest/gtest.h>

using Activation = LinkTest;
using Discovery = LinkTest;
using LibraryFile = LinkTest;

namespace {

QByteArray carried() {
    const auto image = hid_resource();
    return QByteArray(reinterpret_cast<const char*>(image.data()), static_cast<qsizetype>(image.size()));
}

QByteArray file_bytes(const QString& name) {
    QFile f(name);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

QColor indicator(Tfu& u) {
    return u.OpenIndicator->palette().color(QPalette::Window);
}

struct Windows {
    Link& link;
    Tfu update{link};
    Tfmain main{link, &update};
};

} // namespace

TEST_F(LibraryFile, IsWrittenFromTheCarriedImageWhenMissing) {
    ASSERT_FALSE(QFile::exists("HID_Lib.so"));
    put_library_file();
    EXPECT_EQ(file_bytes("HID_Lib.so"), carried());
    EXPECT_GT(carried().size(), 1000);
}

TEST_F(LibraryFile, ThatDiffersFromTheCarriedImageIsReplaced) {
    QFile f("HID_Lib.so");
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write("not our library");
    f.close();
    put_library_file();
    EXPECT_EQ(file_bytes("HID_Lib.so"), carried());
}

TEST_F(LibraryFile, ThatCannotBeWrittenRaisesAnErrorNamingTheFileAndTheReason) {
    QTemporaryDir gone;
    ASSERT_TRUE(QDir::setCurrent(gone.path()));
    ASSERT_TRUE(QDir().rmdir(gone.path())); // even root cannot create files in a removed folder
    try {
        put_library_file();
        FAIL() << "no error";
    } catch (const LibraryFileError& e) {
        const QString text = QString::fromStdString(e.what());
        EXPECT_TRUE(text.contains("HID_Lib.so")) << e.what();
        EXPECT_TRUE(text.contains(':')) << e.what();
    }
}

TEST_F(LibraryFile, TheCarriedImageLoadsAndBindsEveryEntryPoint) {
    QString error;
    ModuleInstance module;
    THIDentries hid;
    ASSERT_TRUE(load_carried_library(module, hid, error)) << error.toStdString();
    EXPECT_NE(hid.HIDGetFeatureReport, nullptr);
    EXPECT_EQ(hid.HIDscanForDevices(), 0); // a private, empty bus
}

TEST_F(Activation, WithAnUnwritableFolderShowsWhyKeepsTheWindowAndTriesAgainNextTime) {
    const QString home = QDir::currentPath();
    QTemporaryDir gone;
    ASSERT_TRUE(QDir::setCurrent(gone.path()));
    ASSERT_TRUE(QDir().rmdir(gone.path()));
    Windows w{link};
    BoxAnswerer answer(QMessageBox::Ok);
    w.main.show();
    w.main.activateWindow();
    ASSERT_TRUE(wait_for([&] { return !answer.seen.empty(); }));
    EXPECT_TRUE(answer.seen[0].text.contains("HID_Lib.so")) << answer.seen[0].text.toStdString();
    EXPECT_TRUE(w.main.isVisible());
    EXPECT_TRUE(controls_disabled(w.main));

    ASSERT_TRUE(QDir::setCurrent(home));
    EXPECT_TRUE(w.main.link_init()); // the next activation succeeds
    EXPECT_TRUE(QFile::exists("HID_Lib.so"));
}

TEST_F(Discovery, FindsTheUnitShowsItsIdentityAndEnablesTheControlsWithItsFirstSettings) {
    UnitDouble unit("unit", "RV-390PKTA", "A-17", 0x0103);
    ASSERT_TRUE(unit.plug());
    Windows w{link};
    ASSERT_TRUE(w.main.link_init());
    EXPECT_TRUE(link.dev_open);
    EXPECT_FALSE(link.boot_mode);
    EXPECT_EQ(w.update.dev_name->text(), "RV-390PKTA");
    EXPECT_EQ(w.update.dev_serial->text(), "A-17");
    EXPECT_EQ(w.update.dev_version->text(), "1.3");
    EXPECT_EQ(indicator(w.update), QColor(0, 255, 0));
    EXPECT_FALSE(w.update.select->isEnabled());
    EXPECT_FALSE(w.update.def->isEnabled());
    EXPECT_TRUE(controls_disabled(w.main)); // nothing from the unit yet

    ASSERT_TRUE(wait_for([&] { return controls_enabled(w.main); }));
    EXPECT_EQ(to_bytes(link.par.get()), unit.block());
    EXPECT_TRUE(link.gate.valid());

    // Rediscovering the same unit (as every activation does) keeps the window usable at once.
    link.usb_connect();
    EXPECT_TRUE(controls_enabled(w.main));
}

TEST_F(Discovery, TakesOnlyTheExactManufacturerAndTheFirstUnit) {
    UnitDouble imposter("a", "RV-390PKTA", "X", 0x0103, "vok-rz");
    UnitDouble first("b", "RV-390PKTA", "FIRST", 0x0A00);
    UnitDouble second("c", "RV-390PKTA", "SECOND", 0x0000);
    for (auto* u : {&imposter, &first, &second})
        ASSERT_TRUE(u->plug());
    Windows w{link};
    ASSERT_TRUE(w.main.link_init());
    EXPECT_EQ(w.update.dev_serial->text(), "FIRST");
    EXPECT_EQ(w.update.dev_version->text(), "10.0");
    first.unplug();
    link.usb_connect();
    EXPECT_EQ(w.update.dev_serial->text(), "SECOND");
    EXPECT_EQ(w.update.dev_version->text(), "0.0");
}

TEST_F(Discovery, TellsTheBootLoaderByBootAfterTheModelName) {
    Windows w{link};
    {
        UnitDouble boot("unit", "RV-390PKTA(boot)");
        ASSERT_TRUE(boot.plug());
        ASSERT_TRUE(w.main.link_init());
        EXPECT_TRUE(link.boot_mode);
        EXPECT_TRUE(w.update.select->isEnabled());
        EXPECT_TRUE(w.update.def->isEnabled());
        EXPECT_TRUE(controls_disabled(w.main));
        EXPECT_EQ(indicator(w.update), QColor(Qt::white)); // not repainted in the boot loader
    }
    UnitDouble leading("unit2", "(boot)RV-390PKTA");
    ASSERT_TRUE(leading.plug());
    // Found through the device changes of its plug and its answer, as the operator would see it.
    ASSERT_TRUE(wait_for([&] { return w.update.dev_name->text() == "(boot)RV-390PKTA" && link.dev_open; }));
    EXPECT_FALSE(link.boot_mode);
    EXPECT_FALSE(w.update.select->isEnabled());
}

TEST_F(Discovery, AnUnplugEmptiesTheFieldsAndAReplugIsFoundWithoutTheOperator) {
    auto unit = std::make_unique<UnitDouble>("unit");
    ASSERT_TRUE(unit->plug());
    Windows w{link};
    ASSERT_TRUE(w.main.link_init());
    ASSERT_TRUE(wait_for([&] { return controls_enabled(w.main); }));

    unit.reset(); // pulled out: the library's device-change handler runs discovery
    ASSERT_TRUE(wait_for([&] { return w.update.dev_name->text().isEmpty(); }));
    EXPECT_FALSE(link.dev_open);
    EXPECT_TRUE(controls_disabled(w.main));
    EXPECT_EQ(indicator(w.update), QColor(0, 255, 0)); // stays green

    UnitDouble again("unit");
    ASSERT_TRUE(again.plug());
    ASSERT_TRUE(wait_for([&] { return w.update.dev_name->text() == "RV-390PKTA"; }));
    EXPECT_TRUE(link.dev_open);
    EXPECT_TRUE(wait_for([&] { return controls_enabled(w.main); }));
}

TEST_F(Discovery, AUnitThatCannotBeOpenedIsNamedInTheMainWindowWithTheReason) {
    auto id = identity("P1");
    id.manufacturer = "VOK-RZ";
    id.product_name = "RV-390PKTA";
    id.flags = vhid_protocol::FLAG_QUERY_ONLY;
    VirtualHidDevice device("locked", id);
    ASSERT_TRUE(device.plug());
    Windows w{link};
    ASSERT_TRUE(w.main.link_init());
    EXPECT_EQ(w.update.dev_serial->text(), "P1");
    const QString line = w.main.statusBar()->currentMessage();
    EXPECT_TRUE(line.contains(QString::fromStdString(device.path()))) << line.toStdString();
    // The bus's model of a node without rights: named as such, without the udev advice of a kernel node.
    EXPECT_TRUE(line.contains("нет прав доступа")) << line.toStdString();
    EXPECT_FALSE(line.contains("udevadm")) << line.toStdString();
    EXPECT_TRUE(controls_disabled(w.main));
    // Not opened, so nothing is sent and the link never claims the unit went silent.
    EXPECT_FALSE(link.dev_open);
    EXPECT_EQ(device.open_count(), 0u);

    // A permission problem's fix is shown whole under the controls; the status bar keeps one line.
    emit link.note(permission_hint(QStringLiteral("/dev/hidraw3")));
    const auto* note = w.main.findChild<QLabel*>(QStringLiteral("unit_note"));
    ASSERT_NE(note, nullptr);
    EXPECT_FALSE(note->isHidden());
    EXPECT_TRUE(note->wordWrap());
    EXPECT_TRUE(note->text().contains(QStringLiteral("udevadm trigger"))) << note->text().toStdString();
    EXPECT_FALSE(w.main.statusBar()->currentMessage().contains('\n'));
    emit link.note(QString());
    EXPECT_TRUE(note->isHidden());
}

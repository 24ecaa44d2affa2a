// The note for a unit found without access: it names the node and the fix that the packaging provides.
#include "protocol/permission_hint.h"
#include "protocol/unit_scan.h"

#include <QStringList>

#include <gtest/gtest.h>

#include <filesystem>

TEST(PermissionHint, NamesTheNodeAndTheFix) {
    const QString hint = permission_hint(QStringLiteral("/dev/hidraw7"));
    const QStringList lines = hint.split(QLatin1Char('\n'));
    ASSERT_EQ(lines.size(), 2) << hint.toStdString();
    // The first line is the note as it was; the second says what to do.
    EXPECT_EQ(lines[0],
              QStringLiteral("Блок найден, но открыть его нельзя: нет прав доступа к /dev/hidraw7"));
    EXPECT_TRUE(lines[1].contains(QStringLiteral("пакет rv390pkta")));
    EXPECT_TRUE(lines[1].contains(QStringLiteral("udevadm control --reload-rules && udevadm trigger")));
    EXPECT_TRUE(lines[1].contains(QStringLiteral("переподключите")));
}

TEST(PermissionHint, NamesTheRuleFileThePackageInstalls) {
    const QString hint = permission_hint(QStringLiteral("/dev/hidraw0"));
    const auto rule = std::filesystem::path(UDEV_RULE_FILE).filename();
    EXPECT_TRUE(hint.contains(QString::fromStdString(rule.string()))) << rule;
    EXPECT_TRUE(std::filesystem::exists(UDEV_RULE_FILE));
}

TEST(PermissionHint, KeepsNodeTextAsGiven) {
    // A node with '%' in its name must not be read as a further placeholder.
    EXPECT_TRUE(permission_hint(QStringLiteral("/dev/odd%1name")).contains(QStringLiteral("/dev/odd%1name")));
}

TEST(PermissionHint, IsGivenForAUnitThatMayNotBeOpenedWithTheUdevFixForAKernelNodeOnly) {
    const struct {
        const char* path;
        bool can_open;
        const char* says; // "" for no note at all
    } cases[] = {
        {"/dev/hidraw3", false, "нет прав доступа к /dev/hidraw3\nУстановите пакет"},
        {"/run/user/1000/vhid/rv390pkta-VU-1", false,
         "нет прав доступа к /run/user/1000/vhid/rv390pkta-VU-1"},
        {"/dev/hidraw3", true, ""},
    };
    for (const auto& c : cases) {
        FoundUnit unit;
        unit.identity.path = QString::fromUtf8(c.path);
        unit.can_open = c.can_open;
        const QString note = cannot_open_note(unit);
        EXPECT_EQ(unit.no_permission(), QString::fromUtf8(c.says).contains(QStringLiteral("прав"))) << c.path;
        if (*c.says == '\0')
            EXPECT_TRUE(note.isEmpty()) << note.toStdString();
        else
            EXPECT_TRUE(note.contains(QString::fromUtf8(c.says))) << note.toStdString();
        EXPECT_EQ(note.contains(QStringLiteral("udevadm")), unit.kernel_node() && !c.can_open) << c.path;
    }
}

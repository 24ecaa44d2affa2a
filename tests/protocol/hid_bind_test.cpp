// Binding the HID access library's entry points by name.
#include "protocol/HID.h"

#include <gtest/gtest.h>

TEST(HidBind, BindsAllEighteenEntryPointsOfAModuleByName) {
    QString error;
    ModuleInstance module;
    THIDentries hid;
    ASSERT_TRUE(hid_bind(QStringLiteral(HID_DOUBLE_MODULE), module, hid, error)) << error.toStdString();
    int bound = 0;
#define COUNT_BOUND(name, result, params) bound += hid.name != nullptr;
    HID_ENTRY_POINTS(COUNT_BOUND)
#undef COUNT_BOUND
    EXPECT_EQ(bound, 18);
    EXPECT_EQ(hid.HIDscanForDevices(), 7); // the double's answer: really its code
}

TEST(HidBind, RefusesAModuleThatLacksAnEntryPointAndNamesIt) {
    QString error;
    ModuleInstance module;
    THIDentries hid;
    EXPECT_FALSE(hid_bind(QStringLiteral(HID_DOUBLE_INCOMPLETE), module, hid, error));
    EXPECT_TRUE(error.contains("HIDGetDeviceInfo")) << error.toStdString();
    EXPECT_EQ(hid.HIDscanForDevices, nullptr); // nothing half-bound
    EXPECT_FALSE(module.loaded());
}

TEST(HidBind, ReportsWhyAModuleCannotBeLoaded) {
    QString error;
    ModuleInstance module;
    THIDentries hid;
    EXPECT_FALSE(hid_bind(QStringLiteral("/nonexistent/HID_Lib.so"), module, hid, error));
    EXPECT_TRUE(error.contains("/nonexistent/HID_Lib.so")) << error.toStdString();
}

// The main window from its real template: controls, versions, system menu,
// bars, colours, and what the first refresh leaves enabled.
#include <gtest/gtest.h>

#include <windows.h>

#include <commctrl.h>

#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "window/window_port.h"
#include "images/images.h"
#include "win32/dialog.h"
#include "win32/dialog_template.h"
#include "win32/window_harness.h"

namespace {

using win32_test::control_text;
using win32_test::DialogTemplate;
using win32_test::load_dialog_template;
using win32_test::MainWindowHarness;
using win32_test::pump_pending;
using win32_test::TemplateItem;
using win32_test::window_text;

constexpr int NO_ID = -1;

struct TemplateControl {
    int id;
    const char* class_name;
    const char* text;
    RECT units;    // left, top, width, height in dialog units
    DWORD styles;  // bits that must be set
};

const std::vector<TemplateControl> TEMPLATE = {
    {IDB_LOGO, "Static", "#200", {5, 5, 10, 10}, SS_BITMAP},
    {NO_ID, "Static", "Versions available", {95, 7, 130, 10}, 0},
    {NO_ID, "Static", "FPGA rev:", {95, 19, 45, 10}, 0},
    {IDC_FPGA_REVISION, "Static", "", {140, 19, 22, 10}, SS_RIGHT},
    {NO_ID, "Static", "Firmware rev:", {95, 31, 45, 10}, 0},
    {IDC_FIRMWARE_REVISION, "Static", "", {140, 31, 22, 10}, SS_RIGHT},
    {NO_ID, "Static", "USB rev:", {170, 19, 35, 10}, 0},
    {IDC_USB_REVISION, "Static", "", {205, 19, 25, 10}, SS_RIGHT},
    {NO_ID, "Static", "Power rev:", {170, 31, 35, 10}, 0},
    {IDC_POWER_REVISION, "Static", "", {205, 31, 25, 10}, SS_RIGHT},
    {NO_ID, "Static", "Device:", {95, 48, 27, 10}, 0},
    {IDC_DEVICE_COMBO,
     "ComboBox",
     "",
     {125, 47, 60, 60},
     CBS_DROPDOWNLIST | WS_VSCROLL | WS_TABSTOP},
    {IDC_REFRESH, "Button", "Refresh", {190, 47, 40, 12}, BS_PUSHBUTTON | WS_TABSTOP},
    {IDC_PROGRAM, "Button", "Program", {145, 67, 40, 12}, BS_PUSHBUTTON | WS_DISABLED},
    {IDC_EXIT, "Button", "Exit", {190, 67, 40, 12}, BS_PUSHBUTTON | WS_TABSTOP},
    {NO_ID, "Static", "Overall progress:", {5, 85, 60, 10}, 0},
    {IDC_OVERALL_PROGRESS, "msctls_progress32", "", {5, 95, 225, 11}, WS_BORDER},
    {NO_ID, "Static", "Current task progress:", {5, 110, 60, 10}, 0},
    {IDC_TASK_PROGRESS, "msctls_progress32", "", {5, 120, 225, 11}, WS_BORDER},
    {IDC_ACTION_LOG_LABEL, "Static", "Action log", {5, 135, 50, 10}, 0},
    {IDC_ACTION_LOG,
     "Edit",
     "",
     {5, 145, 225, 70},
     ES_MULTILINE | ES_READONLY | ES_WANTRETURN | WS_VSCROLL | WS_BORDER},
};

bool same_class(const std::string& name, const char* expected) {
    return CompareStringA(LOCALE_INVARIANT, NORM_IGNORECASE, name.c_str(), -1, expected, -1) ==
           CSTR_EQUAL;
}

RECT pixels(HWND dialog, RECT units) {
    RECT position{units.left, units.top, 0, 0};
    RECT size{0, 0, units.right, units.bottom};
    MapDialogRect(dialog, &position);
    MapDialogRect(dialog, &size);
    return {position.left, position.top, position.left + size.right, position.top + size.bottom};
}

RECT rect_in_dialog(HWND dialog, HWND child) {
    RECT rect;
    GetWindowRect(child, &rect);
    MapWindowPoints(nullptr, dialog, reinterpret_cast<POINT*>(&rect), 2);
    return rect;
}

std::string class_of(HWND window) {
    char name[64] = {};
    GetClassNameA(window, name, sizeof name);
    return name;
}

// The text of a menu item without its accelerator mark and key name.
std::string menu_item_text(HMENU menu, int position) {
    char text[64] = {};
    GetMenuStringA(menu, static_cast<UINT>(position), text, sizeof text, MF_BYPOSITION);
    std::string plain;
    for (const char* c = text; *c != '\0' && *c != '\t'; ++c) {
        if (*c != '&') {
            plain += *c;
        }
    }
    return plain;
}

TEST(MainWindowTemplate, IsAFixedSizeCaptionedDialogInMsSansSerif) {
    const std::optional<DialogTemplate> dialog = load_dialog_template(IDD_MAIN);
    ASSERT_TRUE(dialog.has_value());
    EXPECT_EQ(dialog->style,
              static_cast<DWORD>(WS_VISIBLE | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX |
                                 DS_MODALFRAME | DS_3DLOOK | DS_SETFONT));
    EXPECT_EQ(dialog->units.left, 73);
    EXPECT_EQ(dialog->units.top, 32);
    EXPECT_EQ(dialog->units.right, 235);
    EXPECT_EQ(dialog->units.bottom, 220);
    EXPECT_EQ(dialog->caption, "Ombrix Firmware Upgrade Utility");
    EXPECT_EQ(dialog->font_points, 8);
    EXPECT_EQ(dialog->font_face, "MS Sans Serif");
}

TEST(MainWindowTemplate, HoldsEveryControlInOrder) {
    const std::optional<DialogTemplate> dialog = load_dialog_template(IDD_MAIN);
    ASSERT_TRUE(dialog.has_value());
    ASSERT_EQ(dialog->items.size(), TEMPLATE.size());
    for (std::size_t i = 0; i < TEMPLATE.size(); ++i) {
        const TemplateControl& expected = TEMPLATE[i];
        const TemplateItem& item = dialog->items[i];
        SCOPED_TRACE(testing::Message() << "control " << i << " " << expected.text);
        EXPECT_EQ(item.id, expected.id);
        EXPECT_TRUE(same_class(item.class_name, expected.class_name)) << item.class_name;
        EXPECT_EQ(item.text, expected.text);
        EXPECT_EQ(item.units.left, expected.units.left);
        EXPECT_EQ(item.units.top, expected.units.top);
        EXPECT_EQ(item.units.right, expected.units.right);
        EXPECT_EQ(item.units.bottom, expected.units.bottom);
        EXPECT_EQ(item.style & expected.styles, expected.styles);
        EXPECT_NE(item.style & WS_VISIBLE, 0U);
    }
}

TEST(MainWindow, ControlsSitWhereTheTemplatePutsThem) {
    MainWindowHarness harness;
    HWND dialog = harness.window();
    ASSERT_NE(dialog, nullptr);
    HWND child = GetWindow(dialog, GW_CHILD);
    for (const TemplateControl& expected : TEMPLATE) {
        SCOPED_TRACE(testing::Message() << "control " << expected.id << " " << expected.text);
        ASSERT_NE(child, nullptr);
        EXPECT_EQ(GetDlgCtrlID(child), expected.id);
        EXPECT_TRUE(same_class(class_of(child), expected.class_name)) << class_of(child);
        const RECT want = pixels(dialog, expected.units);
        const RECT got = rect_in_dialog(dialog, child);
        EXPECT_EQ(got.left, want.left);
        EXPECT_EQ(got.top, want.top);
        // A combo box's window is its closed height; the logo takes its bitmap's size.
        if (expected.id != IDC_DEVICE_COMBO && expected.id != IDB_LOGO) {
            EXPECT_EQ(got.right - got.left, want.right - want.left);
            EXPECT_EQ(got.bottom - got.top, want.bottom - want.top);
        }
        child = GetWindow(child, GW_HWNDNEXT);
    }
    EXPECT_EQ(child, nullptr) << "a control beyond the template";
    EXPECT_FALSE(IsWindowEnabled(harness.item(IDC_PROGRAM)));
    EXPECT_EQ(control_text(dialog, IDC_EXIT), "Exit");
}

TEST(MainWindow, FixedSizeWindowWithCaptionFontIconAndLogo) {
    MainWindowHarness harness;
    HWND dialog = harness.window();
    EXPECT_EQ(window_text(dialog), "Ombrix Firmware Upgrade Utility");
    const auto style = static_cast<DWORD>(GetWindowLongPtrA(dialog, GWL_STYLE));
    const DWORD wanted = WS_VISIBLE | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX | DS_MODALFRAME;
    EXPECT_EQ(style & wanted, wanted);
    EXPECT_EQ(style & (WS_MAXIMIZEBOX | WS_THICKFRAME), 0U);

    RECT client;
    GetClientRect(dialog, &client);
    const RECT size = pixels(dialog, {0, 0, 235, 220});
    EXPECT_EQ(client.right, size.right);
    EXPECT_EQ(client.bottom, size.bottom);

    LOGFONTA font{};
    GetObjectA(reinterpret_cast<HFONT>(SendMessageA(dialog, WM_GETFONT, 0, 0)), sizeof font, &font);
    EXPECT_STREQ(font.lfFaceName, "MS Sans Serif");
    HDC screen = GetDC(nullptr);
    EXPECT_EQ(font.lfHeight, -MulDiv(8, GetDeviceCaps(screen, LOGPIXELSY), 72));
    ReleaseDC(nullptr, screen);

    EXPECT_NE(SendMessageA(dialog, WM_GETICON, ICON_BIG, 0), 0);
    auto logo = reinterpret_cast<HBITMAP>(
        SendMessageA(harness.item(IDB_LOGO), STM_GETIMAGE, IMAGE_BITMAP, 0));
    ASSERT_NE(logo, nullptr);
    BITMAP picture{};
    GetObjectA(logo, sizeof picture, &picture);
    EXPECT_EQ(picture.bmWidth, 16);
    EXPECT_EQ(picture.bmHeight, 16);
}

TEST(MainWindow, VersionStaticsShowTheEmbeddedSet) {
    MainWindowHarness harness;
    EXPECT_EQ(control_text(harness.window(), IDC_FPGA_REVISION), "37994");
    EXPECT_EQ(control_text(harness.window(), IDC_FIRMWARE_REVISION), "38322");

    const std::uint8_t* usb = firmware_image(IMAGE_USB_FIRMWARE).data;
    char usb_revision[16];
    std::snprintf(usb_revision, sizeof usb_revision, "%d.%02d", usb[6], usb[5]);
    EXPECT_EQ(control_text(harness.window(), IDC_USB_REVISION), usb_revision);
    const std::string usb_text = control_text(harness.window(), IDC_USB_REVISION);
    ASSERT_GE(usb_text.size(), 4U);
    EXPECT_EQ(usb_text[usb_text.size() - 3], '.');

    const auto* script = reinterpret_cast<const char*>(firmware_image(IMAGE_POWER_SUPPLY_A).data);
    const std::string date = control_text(harness.window(), IDC_POWER_REVISION);
    EXPECT_EQ(date, std::string(script + 3, 6));
    EXPECT_EQ(date.find_first_not_of("0123456789"), std::string::npos) << date;
}

// Items a platform appends after "Close" (Wine adds one of its own) are not ours.
TEST(MainWindow, SystemMenuHasTheCommandsASeparatorAndCloseInThatOrder) {
    MainWindowHarness harness;
    HMENU menu = harness.system_menu();
    int close = -1;
    for (int position = 0; position < GetMenuItemCount(menu); ++position) {
        if (GetMenuItemID(menu, position) == SC_CLOSE) {
            close = position;
        }
    }
    ASSERT_GE(close, 4);
    EXPECT_EQ(menu_item_text(menu, close - 4), "Verify contents");
    EXPECT_EQ(menu_item_text(menu, close - 3), "FPGA Halt");
    EXPECT_EQ(menu_item_text(menu, close - 2), "Power-cycle");
    EXPECT_NE(GetMenuState(menu, static_cast<UINT>(close - 1), MF_BYPOSITION) & MF_SEPARATOR, 0U);
    EXPECT_EQ(menu_item_text(menu, close), "Close");
    EXPECT_EQ(GetMenuItemID(menu, close - 4), static_cast<UINT>(IDM_VERIFY_CONTENTS));
    EXPECT_EQ(GetMenuItemID(menu, close - 3), static_cast<UINT>(IDM_FPGA_HALT));
    EXPECT_EQ(GetMenuItemID(menu, close - 2), static_cast<UINT>(IDM_POWER_CYCLE));
    // The default items before them stay: the commands come after a separator of their own.
    EXPECT_NE(GetMenuState(menu, static_cast<UINT>(close - 5), MF_BYPOSITION) & MF_SEPARATOR, 0U);
}

TEST(MainWindow, BothBarsRunFrom0To129AndStartAt0) {
    MainWindowHarness harness;
    for (const int bar : {IDC_OVERALL_PROGRESS, IDC_TASK_PROGRESS}) {
        PBRANGE range{};
        SendMessageA(harness.item(bar), PBM_GETRANGE, FALSE, reinterpret_cast<LPARAM>(&range));
        EXPECT_EQ(range.iLow, 0);
        EXPECT_EQ(range.iHigh, 129);
        EXPECT_EQ(SendMessageA(harness.item(bar), PBM_GETPOS, 0, 0), 0);
    }
}

TEST(MainWindow, EnterAndEscapeDoNotCloseIt) {
    MainWindowHarness harness;
    const int quits = MainWindowHarness::quit_messages_seen();
    // SendMessage answers a dialog's DWLP_MSGRESULT: ask the procedure itself.
    EXPECT_EQ(main_dialog_procedure(harness.window(), WM_COMMAND, IDOK, 0), TRUE);
    EXPECT_EQ(main_dialog_procedure(harness.window(), WM_COMMAND, IDCANCEL, 0), TRUE);
    pump_pending();
    EXPECT_TRUE(IsWindow(harness.window()));
    EXPECT_EQ(MainWindowHarness::quit_messages_seen(), quits);
}

TEST(MainWindow, ExitAndCloseDestroyItAndEndTheLoop) {
    for (const auto& [message, wparam] : {std::pair<UINT, WPARAM>{WM_COMMAND, IDC_EXIT},
                                          std::pair<UINT, WPARAM>{WM_SYSCOMMAND, SC_CLOSE}}) {
        MainWindowHarness harness;
        const int quits = MainWindowHarness::quit_messages_seen();
        SendMessageA(harness.window(), message, wparam, 0);
        EXPECT_FALSE(IsWindow(harness.window()));
        pump_pending();
        EXPECT_EQ(MainWindowHarness::quit_messages_seen(), quits + 1);
    }
}

TEST(MainWindow, SizingIsHandledAndOtherSystemCommandsGoToTheDefault) {
    MainWindowHarness harness;
    HWND window = harness.window();
    EXPECT_EQ(main_dialog_procedure(window, WM_SIZE, SIZE_RESTORED, MAKELPARAM(10, 10)), TRUE);
    RECT rect{0, 0, 10, 10};
    EXPECT_EQ(main_dialog_procedure(window, WM_SIZING, WMSZ_RIGHT, reinterpret_cast<LPARAM>(&rect)),
              TRUE);
    EXPECT_EQ(main_dialog_procedure(window, WM_SYSCOMMAND, SC_MOVE, 0), FALSE);
    EXPECT_EQ(main_dialog_procedure(window, WM_SYSCOMMAND, SC_MINIMIZE, 0), FALSE);
    EXPECT_EQ(main_dialog_procedure(window, WM_KEYDOWN, VK_TAB, 0), FALSE);
    // Commands on the low 16 bits; without a valid selection they do nothing.
    EXPECT_EQ(main_dialog_procedure(window, WM_SYSCOMMAND, 0x10000 | IDM_FPGA_HALT, 0), TRUE);
    EXPECT_EQ(main_dialog_procedure(window, WM_COMMAND, MAKEWPARAM(IDC_PROGRAM, BN_CLICKED), 0),
              TRUE);
}

TEST(MainWindow, EveryControlColourMessageGetsTheOneWhiteBrush) {
    MainWindowHarness harness;
    HDC context = GetDC(harness.window());
    HBRUSH first = nullptr;
    for (UINT message = WM_CTLCOLORMSGBOX; message <= WM_CTLCOLORSTATIC; ++message) {
        SCOPED_TRACE(message);
        SetBkColor(context, RGB(0, 0, 0));
        const auto brush = reinterpret_cast<HBRUSH>(
            SendMessageA(harness.window(), message, reinterpret_cast<WPARAM>(context),
                         reinterpret_cast<LPARAM>(harness.item(IDC_ACTION_LOG))));
        ASSERT_NE(brush, nullptr);
        LOGBRUSH colour{};
        GetObjectA(brush, sizeof colour, &colour);
        EXPECT_EQ(colour.lbColor, RGB(255, 255, 255));
        EXPECT_EQ(GetBkColor(context), RGB(255, 255, 255));
        if (first == nullptr) {
            first = brush;
        }
        EXPECT_EQ(brush, first);
    }
    ReleaseDC(harness.window(), context);

    // The brush goes with the window.
    SendMessageA(harness.window(), WM_COMMAND, IDC_EXIT, 0);
    LOGBRUSH gone{};
    EXPECT_EQ(GetObjectA(first, sizeof gone, &gone), 0);
}

TEST(MainWindow, WithNoInstrumentTheFirstRefreshLeavesTheCommandsOff) {
    MainWindowHarness harness;
    // Inserted enabled; the refresh posted at initialisation grays them.
    EXPECT_FALSE(harness.menu_item_grayed(IDM_FPGA_HALT));
    pump_pending();
    EXPECT_FALSE(IsWindowEnabled(harness.item(IDC_PROGRAM)));
    for (const int command : {IDM_VERIFY_CONTENTS, IDM_FPGA_HALT, IDM_POWER_CYCLE}) {
        EXPECT_TRUE(harness.menu_item_grayed(command)) << command;
    }
    EXPECT_TRUE(harness.combo_items().empty());
    EXPECT_TRUE(IsWindowEnabled(harness.item(IDC_REFRESH)));

    // Commands without a valid selection do nothing.
    SendMessageA(harness.window(), WM_SYSCOMMAND, IDM_FPGA_HALT, 0);
    SendMessageA(harness.window(), WM_COMMAND, IDC_PROGRAM, 0);
    pump_pending();
    EXPECT_EQ(harness.log(), "");
    EXPECT_TRUE(IsWindow(harness.window()));
}

TEST(MainWindow, TheFirstRefreshListsAnAttachedInstrumentAndEnablesTheCommands) {
    MainWindowHarness harness;
    harness.attach_instrument(sim::Contents::current);
    pump_pending();
    EXPECT_EQ(harness.combo_items(), std::vector<std::string>{"DEV1"});
    EXPECT_EQ(harness.combo_selection(), 0);
    EXPECT_TRUE(IsWindowEnabled(harness.item(IDC_PROGRAM)));
    for (const int command : {IDM_VERIFY_CONTENTS, IDM_FPGA_HALT, IDM_POWER_CYCLE}) {
        EXPECT_FALSE(harness.menu_item_grayed(command)) << command;
    }
    // The versions do not depend on what is attached.
    EXPECT_EQ(control_text(harness.window(), IDC_FPGA_REVISION), "37994");
}

}  // namespace

// The settings dialog's form as data: the same twelve controls, texts and
// places (in dialog units) as the Windows template, for dialog managers
// that build the form themselves. No platform code here.
#pragma once

#include <iterator>

#include "dialog/resources/resource.h"
#include "platform/dialog_form.h"

namespace form {

inline constexpr Item SETTINGS_ITEMS[] = {
    {NO_ID, Kind::GroupBox, " Trellicast settings ", 7, 7, 198, 129, false, false, Align::Left},
    {IDOK, Kind::DefaultButton, "OK", 20, 115, 50, 14, true, false, Align::Left},
    {IDCANCEL, Kind::Button, "Cancel", 85, 115, 50, 14, true, false, Align::Left},
    {IDC_URL_LABEL, Kind::Label, "URL:", 19, 41, 17, 8, false, false, Align::Right},
    {IDC_URL, Kind::Edit, "", 39, 39, 157, 12, true, false, Align::Left},
    {IDC_INTERVAL_LABEL, Kind::Label, "Send updates every:", 19, 58, 66, 8, false, false,
     Align::Right},
    {IDC_INTERVAL, Kind::Edit, "", 88, 56, 49, 12, true, true, Align::Left},
    {IDC_SECONDS_LABEL, Kind::Label, "seconds", 142, 58, 52, 8, false, false, Align::Left},
    {IDC_ENABLED, Kind::CheckBox, "Enabled", 20, 21, 42, 10, true, false, Align::Left},
    {IDC_UTF8, Kind::CheckBox, "Send text as UTF-8", 20, 73, 80, 10, true, false, Align::Left},
    {IDC_STATUS, Kind::Label, "", 20, 89, 176, 20, false, false, Align::Left},
    {IDC_SEND_NOW, Kind::Button, "Send now", 146, 115, 50, 14, true, false, Align::Left},
};

inline constexpr Layout SETTINGS_FORM = {
    IDD_SETTINGS, "Trellicast", 212, 143, SETTINGS_ITEMS, std::size(SETTINGS_ITEMS),
};

}  // namespace form

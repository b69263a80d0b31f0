// The settings dialog's form as data: the same twenty-three controls, texts and
// places (in dialog units) as the Windows template, for dialog managers
// that build the form themselves. No platform code here.
#pragma once

#include <iterator>

#include "dialog/resources/resource.h"
#include "platform/dialog_form.h"

namespace form {

inline constexpr Item SETTINGS_ITEMS[] = {
    {NO_ID, ControlKind::groupBox, " Trellicast settings ", 7, 7, 198, 229, false, false,
     Align::left},
    {IDOK, ControlKind::defaultButton, "OK", 20, 215, 50, 14, true, false, Align::left},
    {IDCANCEL, ControlKind::button, "Cancel", 85, 215, 50, 14, true, false, Align::left},
    {IDC_URL_LABEL, ControlKind::label, "URL:", 19, 41, 17, 8, false, false, Align::right},
    {IDC_URL, ControlKind::edit, "", 39, 39, 157, 12, true, false, Align::left},
    {IDC_INTERVAL_LABEL, ControlKind::label, "Send updates every:", 19, 58, 66, 8, false, false,
     Align::right},
    {IDC_INTERVAL, ControlKind::edit, "", 88, 56, 49, 12, true, true, Align::left},
    {IDC_SECONDS_LABEL, ControlKind::label, "seconds", 142, 58, 52, 8, false, false, Align::left},
    {IDC_ENABLED, ControlKind::checkBox, "Enabled", 20, 21, 42, 10, true, false, Align::left},
    {IDC_UTF8, ControlKind::checkBox, "Send text as UTF-8", 20, 73, 80, 10, true, false,
     Align::left},
    {IDC_SEND_COVER, ControlKind::checkBox, "Send cover art", 110, 73, 80, 10, true, false,
     Align::left},
    {IDC_FOLDER_LABEL, ControlKind::label, "Output folder:", 19, 90, 50, 8, false, false,
     Align::right},
    {IDC_OUTPUT_FOLDER, ControlKind::edit, "", 72, 88, 76, 12, true, false, Align::left},
    {IDC_BROWSE, ControlKind::button, "Browse…", 151, 87, 45, 14, true, false, Align::left},
    {IDC_TEMPLATE_LABEL, ControlKind::label, "Template:", 19, 107, 50, 8, false, false,
     Align::right},
    {IDC_OUTPUT_TEMPLATE, ControlKind::edit, "", 72, 105, 124, 12, true, false, Align::left},
    {IDC_LISTEN_URL_LABEL, ControlKind::label, "Listen URL:", 19, 122, 50, 8, false, false,
     Align::right},
    {IDC_LISTEN_URL, ControlKind::edit, "", 72, 120, 124, 12, true, false, Align::left},
    {IDC_LISTEN_TOKEN_LABEL, ControlKind::label, "Token:", 19, 139, 50, 8, false, false,
     Align::right},
    {IDC_LISTEN_TOKEN, ControlKind::edit, "", 72, 137, 76, 12, true, false, Align::left, true},
    {IDC_LISTEN_TEST, ControlKind::button, "Test", 151, 136, 45, 14, true, false, Align::left},
    {IDC_DISCORD, ControlKind::checkBox, "Show in Discord", 20, 156, 70, 10, true, false,
     Align::left},
    {IDC_DISCORD_APP_LABEL, ControlKind::label, "App id:", 92, 158, 30, 8, false, false,
     Align::right},
    {IDC_DISCORD_APP_ID, ControlKind::edit, "", 124, 156, 72, 12, true, true, Align::left},
    {IDC_DISCORD_PAUSED, ControlKind::checkBox, "Show while paused", 20, 173, 80, 10, true, false,
     Align::left},
    {IDC_STATUS, ControlKind::label, "", 20, 190, 176, 20, false, false, Align::left},
    {IDC_SEND_NOW, ControlKind::button, "Send now", 146, 215, 50, 14, true, false, Align::left},
};

inline constexpr Layout SETTINGS_FORM = {
    IDD_SETTINGS, "Trellicast", 212, 243, SETTINGS_ITEMS, std::size(SETTINGS_ITEMS),
};

}  // namespace form

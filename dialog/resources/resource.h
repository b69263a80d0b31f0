// Control ids of the settings dialog, shared by the code, the Windows
// template and the terminal form.
#pragma once

#define IDD_SETTINGS 101
#define IDC_URL_LABEL 1001
#define IDC_URL 1002
#define IDC_INTERVAL_LABEL 1005
#define IDC_INTERVAL 1006
#define IDC_SECONDS_LABEL 1007
#define IDC_ENABLED 1008
#define IDC_UTF8 1009
#define IDC_STATUS 1010
#define IDC_SEND_NOW 1011
#define IDC_SEND_COVER 1012
#define IDC_FOLDER_LABEL 1013
#define IDC_OUTPUT_FOLDER 1014
#define IDC_BROWSE 1015
#define IDC_TEMPLATE_LABEL 1016
#define IDC_OUTPUT_TEMPLATE 1017
#define IDC_DISCORD 1023
#define IDC_DISCORD_APP_LABEL 1024
#define IDC_DISCORD_APP_ID 1025
#define IDC_DISCORD_PAUSED 1026
#define IDC_LISTEN_URL_LABEL 1018
#define IDC_LISTEN_URL 1019
#define IDC_LISTEN_TOKEN_LABEL 1020
#define IDC_LISTEN_TOKEN 1021
#define IDC_LISTEN_TEST 1022
#ifndef IDOK
#define IDOK 1
#endif
#ifndef IDCANCEL
#define IDCANCEL 2
#endif

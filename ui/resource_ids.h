#pragma once
// Identifiers of the program's resources and of the dialog's controls. Plain defines:
// the resource compiler reads this file too.

#define IDD_UPDATER_DIALOG 102
#define IDI_APP_ICON 128
#define IDR_FW_PACKAGE 134

#define IDS_YES 135
#define IDS_NO 136
#define IDS_CONFIRM 137
#define IDS_LOADING 138
#define IDS_DONE 139
#define IDS_ERROR 140
#define IDS_VERSION_PREFIX 141
#define IDS_WAITING 142
#define IDS_TITLE 143
#define IDS_UNABLE 144

#define IDC_YES_BUTTON 1000
#define IDC_NO_BUTTON 2 /* the dialog's cancel command */
#define IDC_OK_BUTTON 1004
#define IDC_MESSAGE 1002
#define IDC_VERSION 1003
#define IDC_DEFAULT 1005 /* hidden default push button, no handler */

// Identifiers and resource ids of the small sample control the framework tests build.
#pragma once

#define IDS_SAMPLE_TYPE 1
#define IDS_SAMPLE_PAGE_TYPE 2
#define IDS_SAMPLE_PAGE_TITLE 3
#define IDD_SAMPLE_PAGE 100
#define IDD_SAMPLE_DIALOG 200
#define IDC_SPEED_EDIT 1001
#define IDC_MODE_COMBO 1002
#define IDC_ENABLED_CHECK 1003
#define IDC_DIALOG_TEXT 2001

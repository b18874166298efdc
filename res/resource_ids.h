// Resource identifiers of the module: strings, dialogs, dialog items and the bitmap.
// Plain #defines only: this header is read by the resource compiler as well as by C++.
#ifndef TARVEL_RESOURCE_IDS_H
#define TARVEL_RESOURCE_IDS_H

// String table (English US and Russian). The error codes stored in the control's
// Error property are the numbers of their messages.
#define IDS_TARVEL_CTRL          1    // user type name of the control
#define IDS_TARVEL_PPG           2    // user type name of the property page
#define IDS_TARVEL_PPG_CAPTION   108  // tab caption of the property page
#define IDS_DOWNLOAD_URL         145  // download page opened by the about box
#define IDS_ERR_UNKNOWN_PORT     219
#define IDS_ERR_ACCESS_DENIED    220
#define IDS_ERR_IO               221
#define IDS_ERR_BAD_SETTING      222

// Dialogs.
#define IDD_ABOUTBOX             1
#define IDD_PROPPAGE             109

// Toolbox bitmap (16 x 15, 4 bits per pixel).
#define IDB_TOOLBOX              1

// Items of the property page (dialog 109).
#define IDC_PORT_COMBO           110
#define IDC_ERROR_EDIT           181
#define IDC_PARITY_COMBO         234
#define IDC_STOPBITS_COMBO       235
#define IDC_BAUD_COMBO           236
#define IDC_DATABITS_COMBO       237
#define IDC_CONNECTED_CHECK      238

// Items of the about box (dialog 1); its buttons are IDOK ("Visit site") and IDCANCEL ("Close").
#define IDC_VERSION_TEXT         168

// Items without an id (labels).
#ifndef IDC_STATIC
#define IDC_STATIC               (-1)
#endif

// Type library resource id (resource type "TYPELIB").
#define IDR_TYPELIB              1

#endif

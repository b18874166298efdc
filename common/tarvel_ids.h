// Fixed identifiers of the module: classes, interfaces and the type library.
#pragma once
#include <guiddef.h>

// Type library TarvelLib, version 1.74.
#define TARVEL_LIBID_STR      "{9385B16E-95C8-4580-8452-589BB6AAD14D}"
#define TARVEL_LIB_MAJOR      1
#define TARVEL_LIB_MINOR      74
#define TARVEL_LIB_DESCRIPTION "Tarvel ActiveX Control module"

#define TARVEL_DIID_DISPATCH_STR "{3B91B8FE-D1F2-46E0-BFFC-17B4FD54F45B}" /* _DTarvel */
#define TARVEL_DIID_EVENTS_STR   "{35C2C9FC-A637-481B-A469-73C669EAEC41}" /* _DTarvelEvents */
#define TARVEL_IID_DUAL_STR      "{CDE8F418-104D-4166-B135-C8A3AEA82CBE}" /* hidden vtable twin of _DTarvel */
#define TARVEL_CLSID_CTRL_STR    "{53220173-3B27-47CD-87D5-ED74D061E3CB}" /* coclass Tarvel */
#define TARVEL_CLSID_PAGE_STR    "{B933D96B-E080-41F1-B9E6-589B5FC1CE41}" /* property page */
#define TARVEL_CLSID_LEGACY_STR  "{517A7093-E0E8-4ED0-8A8B-70F56BE73894}" /* "Tarvel.Document" */

// Miscellaneous status of the control for the content aspect: OLEMISC_SETCLIENTSITEFIRST |
// INVISIBLEATRUNTIME | ACTIVATEWHENVISIBLE | INSIDEOUT | ONLYICONIC | RECOMPOSEONRESIZE.
#define TARVEL_CTRL_MISC_STATUS 0x20583

// Name of the side-by-side assembly of the module: a program's manifest that names it gets
// the control without registration (its manifest, <name>.manifest, lies beside the module).
#define TARVEL_ASSEMBLY_NAME "QUENBY.Tarvel"

#define TARVEL_PROGID_CTRL "QUENBY.TarvelCtrl.1"
#define TARVEL_PROGID_PAGE "QUENBY.QuenbyPropPage.1"

#ifdef __cplusplus
inline constexpr GUID LIBID_TarvelLib   = {0x9385B16E, 0x95C8, 0x4580, {0x84, 0x52, 0x58, 0x9B, 0xB6, 0xAA, 0xD1, 0x4D}};
inline constexpr GUID DIID__DTarvel     = {0x3B91B8FE, 0xD1F2, 0x46E0, {0xBF, 0xFC, 0x17, 0xB4, 0xFD, 0x54, 0xF4, 0x5B}};
inline constexpr GUID DIID__DTarvelEvents = {0x35C2C9FC, 0xA637, 0x481B, {0xA4, 0x69, 0x73, 0xC6, 0x69, 0xEA, 0xEC, 0x41}};
inline constexpr GUID IID_ITarvelDual   = {0xCDE8F418, 0x104D, 0x4166, {0xB1, 0x35, 0xC8, 0xA3, 0xAE, 0xA8, 0x2C, 0xBE}};
inline constexpr GUID CLSID_Tarvel      = {0x53220173, 0x3B27, 0x47CD, {0x87, 0xD5, 0xED, 0x74, 0xD0, 0x61, 0xE3, 0xCB}};
inline constexpr GUID CLSID_TarvelPropPage = {0xB933D96B, 0xE080, 0x41F1, {0xB9, 0xE6, 0x58, 0x9B, 0x5F, 0xC1, 0xCE, 0x41}};
inline constexpr GUID CLSID_TarvelLegacyDocument = {0x517A7093, 0xE0E8, 0x4ED0, {0x8A, 0x8B, 0x70, 0xF5, 0x6B, 0xE7, 0x38, 0x94}};
#endif
